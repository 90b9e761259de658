#!/usr/bin/env python3
# Writes the Kor telemetry test vectors (framing, messages, limits, malformed) as JSON files.
"""Kor telemetry test vectors.

The expected bytes below are written by hand from the wire format: every record (type byte,
length byte, payload) is spelled out in hex, and the frames of framing.json are spelled out
completely, checksum and stuffing included. The script only frames hand-written records (UDP
header, or checksum + byte stuffing + delimiters, with its own small implementation) and builds
the long, repetitive records of limits.json. It never calls the library.

Run from anywhere:  python3 vectors/generate.py   (rewrites the four JSON files next to it)
"""

import json
import pathlib
import sys

HEADER = bytes.fromhex("00FF000000000000")


def hx(text):
    """'00 ff|0A' -> b'\\x00\\xff\\x0a'; spaces and '|' only help reading."""
    return bytes.fromhex(text.replace("|", " "))


def udp(records):
    return HEADER + records


def checksum(records):
    return (~sum(records)) & 0xFF


def stuff(raw):
    """Consistent Overhead Byte Stuffing, written forward: each code byte counts the bytes up
    to the next zero (or the end) plus one."""
    out = bytearray([0])
    code_at = 0
    for b in raw:
        if b == 0:
            out[code_at] = len(out) - code_at
            code_at = len(out)
            out.append(0)
        else:
            out.append(b)
    out[code_at] = len(out) - code_at
    if any(b == 0 for b in out):
        raise ValueError("a run longer than 254 bytes cannot be stuffed")
    return bytes(out)


def serial(records):
    return b"\x00" + stuff(records + bytes([checksum(records)])) + b"\x00"


def string_record(type_byte, text):
    data = text.encode("latin-1") if isinstance(text, str) else text
    assert 1 <= len(data) <= 65
    return bytes([type_byte, len(data) - 1]) + data


def abc(n):
    """'abcdefghijklmnopqrstuvwxyzabc...' of n bytes: cuts are easy to see."""
    return "".join(chr(ord("a") + i % 26) for i in range(n))


def spaced(data):
    return " ".join(f"{b:02X}" for b in data)


CASES = {"framing": [], "messages": [], "limits": [], "malformed": []}


def case(group, name, description, transmission, frame, status, fields,
         types=None, record=None, records=None):
    """Adds one case. `records`, when given with a hand-written `frame`, must frame to it."""
    if records is not None:
        built = udp(records) if transmission == "UDP" else serial(records)
        if frame is None:
            frame = built
        elif frame != built:
            sys.exit(f"{name}: hand-written frame {spaced(frame)} != framed {spaced(built)}")
    assert (types is None) == (record is None), name
    entry = {"name": name, "description": description, "transmissionType": transmission}
    if types is not None:
        entry["messageTypes"] = types
        entry["record"] = record
    entry["frame"] = spaced(frame)
    entry["decode"] = {"status": status, "fields": fields}
    CASES[group].append(entry)


def both(group, name, description, types, record, records, status, fields,
         transmissions=("UDP",)):
    for t in transmissions:
        suffix = "" if len(transmissions) == 1 else "-" + t.lower()
        case(group, name + suffix, description, t, None, status, fields, types, record, records)


# ---- framing.json: whole frames by hand ----------------------------------------------------

G = "framing"
case(G, "udp-channel-id-default",
     "Default record, ChannelId only: the 8-byte header and the record 18 00 FF.",
     "UDP", hx("00 FF 00 00 00 00 00 00 | 18 00 FF"), "SameTimecode", {"channelId": 255},
     ["ChannelId"], {}, hx("18 00 FF"))
case(G, "udp-channel-id-7",
     "The shortest datagram the receiver accepts: 11 bytes, one 1-byte record.",
     "UDP", hx("00 FF 00 00 00 00 00 00 | 18 00 07"), "SameTimecode", {"channelId": 7},
     ["ChannelId"], {"channelId": 7}, hx("18 00 07"))
case(G, "serial-channel-id-default",
     "Records 18 00 FF sum to 0x117; checksum ~0x17 = E8; raw 18 00 FF E8 stuffs to "
     "02 18 03 FF E8.",
     "Serial", hx("00 | 02 18 03 FF E8 | 00"), "SameTimecode", {"channelId": 255},
     ["ChannelId"], {}, hx("18 00 FF"))
case(G, "serial-channel-id-7",
     "Records 18 00 07 sum to 0x1F; checksum E0.",
     "Serial", hx("00 | 02 18 03 07 E0 | 00"), "SameTimecode", {"channelId": 7},
     ["ChannelId"], {"channelId": 7}, hx("18 00 07"))

TC_LENS_RECORD = {"timecodeHours": 10, "timecodeMinutes": 20, "timecodeSeconds": 30,
                  "timecodeFrames": 12, "focus": 1500, "zoom": 35.0, "iris": 2.8}
TC_LENS_FIELDS = dict(TC_LENS_RECORD, recordFlag=False, focusValid=True, zoomValid=True,
                      irisValid=True)
TC_LENS_RECORDS = hx("00 03 10 20 30 12 | 01 07 00 05 DC 00 0D AC 01 18")
case(G, "udp-timecode-basic-lens",
     "10:20:30 frame 12 in BCD; focus 1500 = 0005DC, zoom 35.00 = 000DAC, iris 2.80 = 0118.",
     "UDP", hx("00 FF 00 00 00 00 00 00 | 00 03 10 20 30 12 | 01 07 00 05 DC 00 0D AC 01 18"),
     "NewTimecode", TC_LENS_FIELDS, ["Timecode", "BasicLens"], TC_LENS_RECORD, TC_LENS_RECORDS)
case(G, "serial-timecode-basic-lens",
     "Records sum to 0x30 mod 256, checksum CF; the first record's type byte 00 is a zero, so "
     "the leading code is 01.",
     "Serial", hx("00 | 01 08 03 10 20 30 12 01 07 03 05 DC 06 0D AC 01 18 CF | 00"),
     "NewTimecode", TC_LENS_FIELDS, ["Timecode", "BasicLens"], TC_LENS_RECORD, TC_LENS_RECORDS)
case(G, "serial-empty-list",
     "No records: checksum FF of an empty sum. A valid frame without ChannelId or SubjectId "
     "resets both to their absent values.",
     "Serial", hx("00 02 FF 00"), "SameTimecode", {"channelId": 255, "subjectId": 65535},
     [], {}, b"")
case(G, "udp-empty-list",
     "No records: the bare 8-byte header, which the receiver rejects as too short.",
     "UDP", hx("00 FF 00 00 00 00 00 00"), "LengthError", {"channelId": 255}, [], {}, b"")
case(G, "types-without-encoder-skipped",
     "IdList, FileEnd and the file transfer types have no encoder and add nothing.",
     "UDP", hx("00 FF 00 00 00 00 00 00 | 18 00 03 | 1B 01 01 02"), "SameTimecode",
     {"channelId": 3, "subjectId": 258},
     ["ChannelId", "IdList", "FileEnd", "FileTransferName", "FileTransferInformation",
      "FileTransferData", "FileTransferMd5", "SubjectId"],
     {"channelId": 3, "subjectId": 258}, hx("18 00 03 | 1B 01 01 02"))
case(G, "type-listed-three-times",
     "A type listed three times is sent three times.",
     "UDP", hx("00 FF 00 00 00 00 00 00 | 18 00 05 | 18 00 05 | 18 00 05"), "SameTimecode",
     {"channelId": 5}, ["ChannelId", "ChannelId", "ChannelId"], {"channelId": 5},
     hx("18 00 05 18 00 05 18 00 05"))
case(G, "serial-checksum-zero",
     "18 00 E7 sums to 0xFF, so the checksum is 00; it becomes the code byte 01 before the "
     "closing delimiter.",
     "Serial", hx("00 | 02 18 02 E7 01 | 00"), "SameTimecode", {"channelId": 231},
     ["ChannelId"], {"channelId": 231}, hx("18 00 E7"))
case(G, "serial-zeros-in-a-row",
     "ProjectFps 0: raw 0D 00 00 F2, two zeros in a row stuff to 01 02.",
     "Serial", hx("00 | 02 0D 01 02 F2 | 00"), "SameTimecode", {"projectFps": 0},
     ["ProjectFps"], {}, hx("0D 00 00"))
case(G, "serial-records-end-in-zero",
     "ChannelId 0: raw 18 00 00 E7.",
     "Serial", hx("00 | 02 18 01 02 E7 | 00"), "SameTimecode", {"channelId": 0},
     ["ChannelId"], {"channelId": 0}, hx("18 00 00"))
case(G, "serial-no-zero-byte",
     "ClipName \"AB\": raw 0E 01 41 42 6D holds no zero, one code byte 06.",
     "Serial", hx("00 | 06 0E 01 41 42 6D | 00"), "SameTimecode",
     {"clipName": "AB", "clipNameReceived": True}, ["ClipName"], {"clipName": "AB"},
     hx("0E 01 41 42"))
case(G, "serial-two-frames",
     "Two frames in one input: both are applied, the second one last.",
     "Serial", hx("00 02 18 03 07 E0 00 | 00 02 18 03 09 DE 00"), "SameTimecode",
     {"channelId": 9})
case(G, "serial-shared-delimiter",
     "One 00 closes a frame and opens the next.",
     "Serial", hx("00 02 18 03 07 E0 00 02 18 03 09 DE 00"), "SameTimecode", {"channelId": 9})
case(G, "serial-repeated-delimiters",
     "Repeated 00 bytes between frames are harmless.",
     "Serial", hx("00 00 00 02 18 03 07 E0 00"), "SameTimecode", {"channelId": 7})
case(G, "serial-bytes-before-first-delimiter",
     "Bytes before the first 00 of a stream are ignored.",
     "Serial", hx("41 42 | 00 02 18 03 07 E0 00"), "SameTimecode", {"channelId": 7})
case(G, "serial-same-timecode-twice",
     "The same Timecode frame twice: the first gives NewTimecode, the second (whose status is "
     "the one returned) SameTimecode.",
     "Serial", hx("00 01 07 03 10 20 30 12 8A 00 | 00 01 07 03 10 20 30 12 8A 00"),
     "SameTimecode", {"timecodeHours": 10, "timecodeMinutes": 20, "timecodeSeconds": 30,
                      "timecodeFrames": 12})
case(G, "udp-later-record-wins",
     "Two ChannelId records: the later one overwrites the earlier.",
     "UDP", hx("00 FF 00 00 00 00 00 00 | 18 00 01 | 18 00 02"), "SameTimecode",
     {"channelId": 2})

# ---- messages.json: every message type -----------------------------------------------------
# The records are hand-written; the framing around them is the script's.

G = "messages"
ZEISS_DEFAULT = hx("40 40 40 40 EE 86 40 40 40 40 | 03 E8 03 E8 03 E8 03 E8 03 E8 03 E8 |"
                   " 00 00 00 00 00 00 00 00 00 00 00 00")
ZEISS_ZERO = [0, 0, 0, 0, 0, 0]

# (name, description, types, record, records, status, fields, transmissions)
MESSAGES = [
    ("timecode-record-flag",
     "23:59:59 frame 29 in BCD; the record flag is bit 7 of the frames byte (29 -> 29 | 80).",
     ["Timecode"],
     {"timecodeHours": 23, "timecodeMinutes": 59, "timecodeSeconds": 59, "timecodeFrames": 29,
      "recordFlag": True},
     hx("00 03 23 59 59 A9"), "NewTimecode",
     {"timecodeHours": 23, "timecodeMinutes": 59, "timecodeSeconds": 59, "timecodeFrames": 29,
      "recordFlag": True}, ("UDP", "Serial")),
    ("timecode",
     "01:02:03 frame 4, record flag clear.",
     ["Timecode"],
     {"timecodeHours": 1, "timecodeMinutes": 2, "timecodeSeconds": 3, "timecodeFrames": 4},
     hx("00 03 01 02 03 04"), "NewTimecode",
     {"timecodeHours": 1, "timecodeMinutes": 2, "timecodeSeconds": 3, "timecodeFrames": 4,
      "recordFlag": False}, ("UDP",)),
    ("basic-lens",
     "focus 1500 mm = 0005DC, zoom 35 mm x 100 = 000DAC, iris T2.8 x 100 = 0118.",
     ["BasicLens"], {"focus": 1500, "zoom": 35.0, "iris": 2.8},
     hx("01 07 00 05 DC 00 0D AC 01 18"), "SameTimecode",
     {"focus": 1500, "zoom": 35.0, "iris": 2.8, "focusValid": True, "zoomValid": True,
      "irisValid": True}, ("UDP",)),
    ("basic-lens-zero-focus",
     "A zero field means not available: focus and zoom stay invalid, iris is stored.",
     ["BasicLens"], {"iris": 2.8},
     hx("01 07 00 00 00 00 00 00 01 18"), "SameTimecode",
     {"focus": 0, "zoom": 0.0, "iris": 2.8, "focusValid": False, "zoomValid": False,
      "irisValid": True}, ("UDP",)),
    ("ptp-timestamp",
     "48-bit seconds 0123456789AB, nanoseconds 999999999 = 3B9AC9FF.",
     ["PtpTimestamp"], {"ptpSeconds": 0x0123456789AB, "ptpNanoseconds": 999999999},
     hx("02 09 01 23 45 67 89 AB 3B 9A C9 FF"), "SameTimecode",
     {"ptpSeconds": 0x0123456789AB, "ptpNanoseconds": 999999999}, ("UDP",)),
    ("product-info",
     "Brand, name and serial: all three non-empty make the product info complete.",
     ["ProductBrand", "ProductName", "ProductSerial"],
     {"productBrand": "Kor", "productName": "Cam 1", "productSerial": "SN-0042"},
     hx("03 02 4B 6F 72 | 04 04 43 61 6D 20 31 | 05 06 53 4E 2D 30 30 34 32"), "SameTimecode",
     {"productBrand": "Kor", "productName": "Cam 1", "productSerial": "SN-0042",
      "productInfoComplete": True}, ("UDP",)),
    ("product-brand-only",
     "A brand alone leaves the product info incomplete.",
     ["ProductBrand"], {"productBrand": "Kor"},
     hx("03 02 4B 6F 72"), "SameTimecode",
     {"productBrand": "Kor", "productName": "", "productInfoComplete": False}, ("Serial",)),
    ("lens-info",
     "Lens manufacturer, name and serial: all three make the lens info complete.",
     ["LensManufacturer", "LensName", "LensSerial"],
     {"lensManufacturer": "Optik", "lensName": "Prime 50", "lensSerial": "L-7"},
     hx("0A 04 4F 70 74 69 6B | 0B 07 50 72 69 6D 65 20 35 30 | 0C 02 4C 2D 37"),
     "SameTimecode",
     {"lensManufacturer": "Optik", "lensName": "Prime 50", "lensSerial": "L-7",
      "lensInfoComplete": True}, ("UDP", "Serial")),
    ("clip-name",
     "ClipName \"A001C003\".",
     ["ClipName"], {"clipName": "A001C003"},
     hx("0E 07 41 30 30 31 43 30 30 33"), "SameTimecode",
     {"clipName": "A001C003", "clipNameReceived": True}, ("UDP",)),
    ("string-bytes-unchanged",
     "String bytes travel unchanged, zero bytes included (00 FF 41).",
     ["LensName"], {"lensName": {"hex": "00 FF 41"}},
     hx("0B 02 00 FF 41"), "SameTimecode",
     {"lensName": {"hex": "00 FF 41"}, "lensInfoComplete": False}, ("UDP", "Serial")),
    ("lens-properties",
     "24-70 mm (000960, 001B58), T2.8-T22 (0118, 0898), extra byte 3.",
     ["LensProperties"],
     {"minFocalLength": 24.0, "maxFocalLength": 70.0, "minIris": 2.8, "maxIris": 22.0,
      "lensPropertiesExtra": 3},
     hx("06 0A 00 09 60 00 1B 58 01 18 08 98 03"), "SameTimecode",
     {"minFocalLength": 24.0, "maxFocalLength": 70.0, "minIris": 2.8, "maxIris": 22.0,
      "lensPropertiesExtra": 3, "minFocalLengthValid": True, "maxFocalLengthValid": True,
      "minIrisValid": True, "maxIrisValid": True, "lensPropertiesExtraValid": True,
      "focalRangeFlags": 3}, ("UDP",)),
    ("lens-properties-700mm",
     "700 mm x 100 = 70000 = 011170 needs all 24 bits, which the receiver reads.",
     ["LensProperties"], {"minFocalLength": 700.0},
     hx("06 0A 01 11 70 00 00 00 00 00 00 00 00"), "SameTimecode",
     {"minFocalLength": 700.0, "minFocalLengthValid": True, "maxFocalLengthValid": False,
      "minIrisValid": False, "lensPropertiesExtraValid": False, "focalRangeFlags": 2},
     ("UDP",)),
    ("positional-data",
     "x 100 as i32: 1234.5 -> 0001E23A, -250.25 -> FFFF9E3F, 0.5 -> 00000032.",
     ["PositionalData"], {"positionX": 1234.5, "positionY": -250.25, "positionZ": 0.5},
     hx("07 0B 00 01 E2 3A FF FF 9E 3F 00 00 00 32"), "SameTimecode",
     {"positionX": 1234.5, "positionY": -250.25, "positionZ": 0.5, "positionXValid": True,
      "positionYValid": True, "positionZValid": True}, ("UDP",)),
    ("axes-data",
     "x 100 as i16, truncated: roll -12.345 -> -1234 = FB2E, pitch 90 -> 2328, yaw -180 -> "
     "B9B0; roll comes back as -12.34.",
     ["AxesData"], {"roll": -12.345, "pitch": 90.0, "yaw": -180.0},
     hx("08 05 FB 2E 23 28 B9 B0"), "SameTimecode",
     {"roll": -12.34, "pitch": 90.0, "yaw": -180.0, "rollValid": True, "pitchValid": True,
      "yawValid": True}, ("UDP",)),
    ("tick-count-seconds",
     "tickCountType 0: 3 bytes, the low 24 bits of 01234567.",
     ["TickCount"], {"tickCount": 0x01234567},
     hx("09 02 23 45 67"), "SameTimecode", {"tickCount": 0x234567, "tickCountType": 0},
     ("UDP",)),
    ("tick-count-milliseconds",
     "tickCountType 1: 4 bytes; 2^32 + 5 arrives as 5.",
     ["TickCount"], {"tickCount": 2**32 + 5, "tickCountType": 1},
     hx("09 03 00 00 00 05"), "SameTimecode", {"tickCount": 5, "tickCountType": 1}, ("UDP",)),
    ("tick-count-microseconds",
     "tickCountType 2: 5 bytes.",
     ["TickCount"], {"tickCount": 0x123456789A, "tickCountType": 2},
     hx("09 04 12 34 56 78 9A"), "SameTimecode",
     {"tickCount": 0x123456789A, "tickCountType": 2}, ("UDP",)),
    ("project-fps",
     "ProjectFps 5 (30 frames per second).",
     ["ProjectFps"], {"projectFps": 5},
     hx("0D 00 05"), "SameTimecode", {"projectFps": 5}, ("UDP",)),
    ("raw-lens-encoder-focus-only",
     "Mask 01: all three values are sent, only the focus value is stored.",
     ["RawLensEncoderWithMask"],
     {"rawFocusEncoderValid": True, "rawFocusEncoder": 0x1234, "rawZoomEncoder": 0xABCD,
      "rawIrisEncoder": 1},
     hx("0F 06 01 12 34 AB CD 00 01"), "SameTimecode",
     {"rawFocusEncoder": 0x1234, "rawFocusEncoderValid": True, "rawZoomEncoder": 0,
      "rawZoomEncoderValid": False, "rawIrisEncoder": 0, "rawIrisEncoderValid": False},
     ("UDP",)),
    ("raw-lens-encoder-all",
     "Mask 07: all three values stored.",
     ["RawLensEncoderWithMask"],
     {"rawFocusEncoderValid": True, "rawZoomEncoderValid": True, "rawIrisEncoderValid": True,
      "rawFocusEncoder": 100, "rawZoomEncoder": 2000, "rawIrisEncoder": 65535},
     hx("0F 06 07 00 64 07 D0 FF FF"), "SameTimecode",
     {"rawFocusEncoder": 100, "rawZoomEncoder": 2000, "rawIrisEncoder": 65535,
      "rawFocusEncoderValid": True, "rawZoomEncoderValid": True, "rawIrisEncoderValid": True},
     ("Serial",)),
    ("zeiss-zd-default",
     "Default block: aperture 14 = base 110 (6E) + 6 steps of 0.5 -> EE 86; shading slots "
     "03E8 (1000), distortion slots 0.",
     ["ZeissZdData"], {},
     hx("10 21") + ZEISS_DEFAULT, "SameTimecode",
     {"zeissZd": {"focusDistance": 0, "aperture": 14.0, "horizontalFieldOfView": 0.0,
                  "entrancePupilPosition": 0, "shading": ZEISS_ZERO,
                  "radialDistortion": ZEISS_ZERO}}, ("UDP",)),
    ("zeiss-zd-every-field",
     "focusDistance 123456 in 6-bit groups 04 23 11 16; aperture 2.8 = base 28, 0 steps "
     "(9C 80); field of view 63.5 -> 635 = 9 * 64 + 59 (49 7B); pupil -100 (61 64); shading "
     "12.5 -> 875 (036B), 100 -> 0, 150 and -5 -> 1000 (read back as 0); distortion x 100 as "
     "i16. Element 0 of both arrays is not sent.",
     ["ZeissZdData"],
     {"zeissZd": {"focusDistance": 0x123456, "aperture": 2.8, "horizontalFieldOfView": 63.5,
                  "entrancePupilPosition": -100, "shading": [99, 12.5, 100, 150, -5, 0],
                  "radialDistortion": [7, 1.5, -1.5, 300, -0.25, 0]}},
     hx("10 21 | 44 63 51 56 9C 80 49 7B 61 64 | 03 E8 03 6B 00 00 03 E8 03 E8 03 E8 |"
        " 00 00 00 96 FF 6A 75 30 FF E7 00 00"), "SameTimecode",
     {"zeissZd": {"focusDistance": 0x123456, "aperture": 2.8, "horizontalFieldOfView": 63.5,
                  "entrancePupilPosition": -100, "shading": [0, 12.5, 100, 0, 0, 0],
                  "radialDistortion": [0, 1.5, -1.5, 300, -0.25, 0]}}, ("UDP", "Serial")),
    ("zeiss-zd-aperture-2.2",
     "Aperture 2.2: base 20 (94), round(0.2 / 0.08) = 3 steps (83); read back as 2.24.",
     ["ZeissZdData"], {"zeissZd": {"aperture": 2.2}},
     hx("10 21 | 40 40 40 40 94 83 40 40 40 40 | 03 E8 03 E8 03 E8 03 E8 03 E8 03 E8 |"
        " 00 00 00 00 00 00 00 00 00 00 00 00"), "SameTimecode",
     {"zeissZd": {"aperture": 2.24}}, ("UDP",)),
    ("zeiss-zd-aperture-19.6",
     "Aperture 19.6: base 160 = A0, whose bit 7 moves to bit 6 of the next byte; 6 steps of "
     "0.6 (C6).",
     ["ZeissZdData"], {"zeissZd": {"aperture": 19.6}},
     hx("10 21 | 40 40 40 40 A0 C6 40 40 40 40 | 03 E8 03 E8 03 E8 03 E8 03 E8 03 E8 |"
        " 00 00 00 00 00 00 00 00 00 00 00 00"), "SameTimecode",
     {"zeissZd": {"aperture": 19.6}}, ("UDP",)),
    ("radio-control-short",
     "radioMode 4 selects the 5-byte form; radioParamB 22 travels as 22 - 5 = 1D.",
     ["RadioControl"],
     {"radioControl": {"radioValue": 0x123456, "radioParamA": 0x11, "radioParamB": 0x22,
                       "radioParamC": 0x33}},
     hx("17 04 12 34 56 11 1D"), "SameTimecode",
     {"radioControl": {"radioValue": 0x123456, "radioParamA": 0x11, "radioParamB": 0x22,
                       "radioMode": 4, "radioParamC": 0}}, ("UDP",)),
    ("radio-control-long",
     "radioMode 0 selects the 7-byte form; radioParamB 2 travels as 2 - 5 = FD.",
     ["RadioControl"],
     {"radioControl": {"radioValue": 0x123456, "radioParamA": 0x11, "radioParamB": 2,
                       "radioMode": 0, "radioParamC": 0x33}},
     hx("17 06 12 34 56 11 FD 00 33"), "SameTimecode",
     {"radioControl": {"radioValue": 0x123456, "radioParamA": 0x11, "radioParamB": 2,
                       "radioMode": 0, "radioParamC": 0x33}}, ("UDP", "Serial")),
    ("channel-id",
     "ChannelId 7.",
     ["ChannelId"], {"channelId": 7},
     hx("18 00 07"), "SameTimecode", {"channelId": 7}, ("UDP",)),
    ("sensor-size",
     "36 x 24 mm (0E10, 0960), 4096 x 2160 pixels (1000, 0870), name \"Sensor A\".",
     ["SensorSize"],
     {"sensorWidth": 36.0, "sensorHeight": 24.0, "clipWidth": 4096, "clipHeight": 2160,
      "sensorName": "Sensor A"},
     hx("19 0F 0E 10 09 60 10 00 08 70 53 65 6E 73 6F 72 20 41"), "SameTimecode",
     {"sensorWidth": 36.0, "sensorHeight": 24.0, "clipWidth": 4096, "clipHeight": 2160,
      "sensorName": "Sensor A"}, ("UDP",)),
    ("sensor-size-no-name",
     "An empty sensor name sends the 8-byte payload.",
     ["SensorSize"], {"sensorWidth": 25.6, "sensorHeight": 18.5, "clipWidth": 1920,
                      "clipHeight": 1080},
     hx("19 07 0A 00 07 3A 07 80 04 38"), "SameTimecode",
     {"sensorWidth": 25.6, "sensorHeight": 18.5, "clipWidth": 1920, "clipHeight": 1080,
      "sensorName": ""}, ("UDP",)),
    ("raw-axes-encoder",
     "Mask always 07; each value's low 24 bits (1000001 -> 000001).",
     ["RawAxesEncoderWithMask"], {"rawAxesEncoders": [0x123456, 0xABCDEF, 0x1000001]},
     hx("1A 09 07 12 34 56 AB CD EF 00 00 01"), "SameTimecode",
     {"rawAxesEncoders": [0x123456, 0xABCDEF, 1]}, ("UDP",)),
    ("subject-id",
     "The low 16 bits of 12345.",
     ["SubjectId"], {"subjectId": 0x12345},
     hx("1B 01 23 45"), "SameTimecode", {"subjectId": 0x2345}, ("UDP",)),
    ("subject-id-default",
     "The default subjectId FFFF is sent as FF FF.",
     ["SubjectId"], {},
     hx("1B 01 FF FF"), "SameTimecode", {"subjectId": 0xFFFF}, ("Serial",)),
]
for m in MESSAGES:
    both(G, m[0], m[1], m[2], m[3], m[4], m[5], m[6], m[7])

# Every type with an encoder in one frame, built from the hand-written records above.
ALL = ["timecode", "basic-lens", "ptp-timestamp", "product-info", "lens-properties",
       "positional-data", "axes-data", "tick-count-milliseconds", "project-fps",
       "raw-lens-encoder-focus-only", "zeiss-zd-every-field", "radio-control-long",
       "channel-id", "sensor-size", "raw-axes-encoder", "subject-id"]
by_name = {m[0]: m for m in MESSAGES}
all_types, all_record, all_records, all_fields = [], {}, b"", {}
for n in ALL:
    m = by_name[n]
    all_types += m[2]
    all_record.update(m[3])
    all_records += m[4]
    all_fields.update(m[6])
case(G, "mixed-frame", f"{len(all_types)} records of as many types in one "
     f"datagram of {len(all_records) + 8} bytes.", "UDP", None, "NewTimecode", all_fields,
     all_types, all_record, all_records)

# Decode-only payloads that the encoder never produces.
case(G, "subject-id-one-byte", "A 1-byte SubjectId payload is the value itself.",
     "UDP", udp(hx("1B 00 07")), "SameTimecode", {"subjectId": 7})
case(G, "positional-data-not-available",
     "80000000 means not available: the flag is cleared and the field keeps its value.",
     "UDP", udp(hx("07 0B 80 00 00 00 00 00 00 64 FF FF FF 9C")), "SameTimecode",
     {"positionX": 0.0, "positionXValid": False, "positionY": 1.0, "positionYValid": True,
      "positionZ": -1.0, "positionZValid": True})
case(G, "axes-data-not-available", "8000 means not available.",
     "UDP", udp(hx("08 05 80 00 00 64 80 00")), "SameTimecode",
     {"roll": 0.0, "rollValid": False, "pitch": 1.0, "pitchValid": True, "yaw": 0.0,
      "yawValid": False})
case(G, "lens-properties-zero-fields",
     "Only the maximum focal length is set: focalRangeFlags 1.",
     "UDP", udp(hx("06 0A 00 00 00 00 1B 58 00 00 00 00 00")), "SameTimecode",
     {"minFocalLength": 0.0, "minFocalLengthValid": False, "maxFocalLength": 70.0,
      "maxFocalLengthValid": True, "maxIrisValid": False, "lensPropertiesExtraValid": False,
      "focalRangeFlags": 1})
case(G, "raw-axes-encoder-mask-5", "Mask 05: values 0 and 2 are stored, value 1 is not.",
     "UDP", udp(hx("1A 09 05 12 34 56 AB CD EF 00 00 01")), "SameTimecode",
     {"rawAxesEncoders": [0x123456, 0, 1]})
case(G, "radio-control-param-b-wraps", "Byte FF + 5 = 04 (mod 256).",
     "UDP", udp(hx("17 04 00 00 01 00 FF")), "SameTimecode",
     {"radioControl": {"radioValue": 1, "radioParamA": 0, "radioParamB": 4, "radioMode": 4}})

# ---- limits.json: the encoder's documented limits and the longest frames -------------------

G = "limits"
A65 = "a" * 65
CLIP65 = string_record(0x0E, A65)  # 0E 40 + 65 x 61
case(G, "udp-longest-string", "A 65-byte string: length byte 40.", "UDP", None,
     "SameTimecode", {"clipName": abc(65), "clipNameReceived": True}, ["ClipName"],
     {"clipName": abc(65)}, string_record(0x0E, abc(65)))
case(G, "udp-string-cut-to-65", "A 70-byte string is cut to its first 65 bytes.", "UDP", None,
     "SameTimecode", {"productName": abc(65)}, ["ProductName"], {"productName": abc(70)},
     string_record(0x04, abc(65)))
case(G, "serial-string-cut-to-65", "A 300-byte string is cut to its first 65 bytes.",
     "Serial", None, "SameTimecode", {"lensSerial": abc(65)}, ["LensSerial"],
     {"lensSerial": abc(300)}, string_record(0x0C, abc(65)))
SENSOR_HEAD = hx("0E 10 09 60 10 00 08 70")
case(G, "sensor-name-56", "A 56-byte sensor name: payload 64 bytes, length byte 3F.", "UDP",
     None, "SameTimecode", {"sensorName": abc(56), "sensorWidth": 36.0}, ["SensorSize"],
     {"sensorWidth": 36.0, "sensorHeight": 24.0, "clipWidth": 4096, "clipHeight": 2160,
      "sensorName": abc(56)}, hx("19 3F") + SENSOR_HEAD + abc(56).encode())
case(G, "sensor-name-cut-to-56", "A 60-byte sensor name is cut to 56 bytes.", "Serial", None,
     "SameTimecode", {"sensorName": abc(56), "clipHeight": 2160}, ["SensorSize"],
     {"sensorWidth": 36.0, "sensorHeight": 24.0, "clipWidth": 4096, "clipHeight": 2160,
      "sensorName": abc(60)}, hx("19 3F") + SENSOR_HEAD + abc(56).encode())
case(G, "empty-strings-left-out", "String records with an empty string are left out.", "UDP",
     hx("00 FF 00 00 00 00 00 00 18 00 07"), "SameTimecode",
     {"channelId": 7, "productBrand": "", "clipNameReceived": False},
     ["ProductBrand", "LensName", "ChannelId", "ClipName"], {"channelId": 7}, hx("18 00 07"))
case(G, "project-fps-6-left-out", "A ProjectFps above 5 is left out.", "UDP",
     hx("00 FF 00 00 00 00 00 00 18 00 07"), "SameTimecode", {"channelId": 7, "projectFps": 0},
     ["ProjectFps", "ChannelId"], {"projectFps": 6, "channelId": 7}, hx("18 00 07"))

LONGEST_RECORD = {"clipName": A65, "lensName": "b" * 50}
LONGEST_TYPES = ["ClipName", "ClipName", "ClipName", "LensName"]
LONGEST_RECORDS = CLIP65 * 3 + string_record(0x0B, "b" * 50)  # 3 x 67 + 52 = 253 bytes
assert len(LONGEST_RECORDS) == 253
case(G, "udp-longest-frame",
     "253 bytes of records (3 x ClipName of 65 bytes, LensName of 50): a 261-byte datagram.",
     "UDP", None, "SameTimecode", {"clipName": A65, "lensName": "b" * 50}, LONGEST_TYPES,
     LONGEST_RECORD, LONGEST_RECORDS)
case(G, "serial-longest-frame",
     "The same 253 bytes as Serial: sum 5E2D, checksum D2; raw is a run of 254 non-zero bytes "
     "under the one code byte FF. 257 bytes with delimiters.",
     "Serial", hx("00 FF") + LONGEST_RECORDS + hx("D2 00"), "SameTimecode",
     {"clipName": A65, "lensName": "b" * 50}, LONGEST_TYPES, LONGEST_RECORD, LONGEST_RECORDS)
case(G, "serial-run-253",
     "252 bytes of records and the checksum 35: a run of 253 non-zero bytes, code FE.",
     "Serial", hx("00 FE") + CLIP65 * 3 + string_record(0x0B, "b" * 49) + hx("35 00"),
     "SameTimecode", {"lensName": "b" * 49}, LONGEST_TYPES,
     {"clipName": A65, "lensName": "b" * 49}, CLIP65 * 3 + string_record(0x0B, "b" * 49))
LENS_ZERO_SUM = "b" * 49 + "4"
case(G, "serial-run-253-then-zero-checksum",
     "253 non-zero bytes of records summing to 5DFF, so the checksum is 00 and becomes the "
     "final code byte 01.",
     "Serial", hx("00 FE") + CLIP65 * 3 + string_record(0x0B, LENS_ZERO_SUM) + hx("01 00"),
     "SameTimecode", {"lensName": LENS_ZERO_SUM}, LONGEST_TYPES,
     {"clipName": A65, "lensName": LENS_ZERO_SUM},
     CLIP65 * 3 + string_record(0x0B, LENS_ZERO_SUM))
TC11 = {"timecodeHours": 11, "timecodeMinutes": 11, "timecodeSeconds": 11, "timecodeFrames": 11}
case(G, "serial-zero-then-run-253",
     "Timecode first (its type byte 00 gives the leading code 01), then 253 non-zero bytes "
     "under the code FE; checksum DD.",
     "Serial", hx("00 01 FE 03 11 11 11 11") + CLIP65 * 3 + string_record(0x0B, "b" * 44) +
     hx("DD 00"), "NewTimecode", dict(TC11, lensName="b" * 44),
     ["Timecode"] + LONGEST_TYPES, dict(TC11, clipName=A65, lensName="b" * 44),
     hx("00 03 11 11 11 11") + CLIP65 * 3 + string_record(0x0B, "b" * 44))
case(G, "udp-record-past-limit-left-out",
     "A LensName of 51 bytes would make 254 bytes of records: it is left out, and the "
     "ChannelId after it still fits.",
     "UDP", None, "SameTimecode", {"lensName": "", "channelId": 7},
     LONGEST_TYPES + ["ChannelId"], {"clipName": A65, "lensName": "b" * 51, "channelId": 7},
     CLIP65 * 3 + hx("18 00 07"))
case(G, "serial-record-past-limit-left-out",
     "253 bytes of records fill the frame; the ChannelId after them is left out.",
     "Serial", hx("00 FF") + LONGEST_RECORDS + hx("D2 00"), "SameTimecode",
     {"channelId": 255, "lensName": "b" * 50}, LONGEST_TYPES + ["ChannelId"],
     dict(LONGEST_RECORD, channelId=7), LONGEST_RECORDS)

# Decode-only: 254 bytes of records (one more than the encoder sends) with a zero checksum
# are 256 stuffed bytes, the most the receiver collects: FF, 254 bytes, then the final code
# 01 for the zero checksum (the group of a code FF also ends in a zero).
# 3 x 6383 + 0B + 32 = 19210 = 10 mod 256, so the name's 51 bytes must sum to F5 mod 256:
# 46 x 62 + 4 x 7A + 71 = 5109 = 13F5.
LENS_254 = "b" * 46 + "zzzzq"
REC_254 = CLIP65 * 3 + string_record(0x0B, LENS_254)
assert len(REC_254) == 254 and checksum(REC_254) == 0
case(G, "serial-longest-accepted",
     "254 bytes of records and a zero checksum: FF, 254 bytes, 01 - 256 stuffed bytes, the "
     "longest frame the receiver collects (the encoder stops at 253 bytes of records).",
     "Serial", hx("00 FF") + REC_254 + hx("01 00"), "SameTimecode",
     {"clipName": A65, "lensName": LENS_254})
LENS_255 = "b" * 51
REC_255 = CLIP65 * 3 + string_record(0x0B, LENS_255)
assert len(REC_255) == 254 and checksum(REC_255) != 0
case(G, "serial-run-255-too-long",
     "254 bytes of records and a non-zero checksum are a run of 255 non-zero bytes; stuffed in "
     "two groups (FF, 254 bytes, 02, checksum) they make 257 stuffed bytes, one more than the "
     "receiver collects.",
     "Serial", hx("00 FF") + REC_255[:254] + hx("02") + bytes([checksum(REC_255)]) + hx("00"),
     "LengthError", {"clipName": "", "lensName": ""})

case(G, "float-nan-and-infinity",
     "Floats are truncated in saturating conversions: zoom NaN gives 0, iris +inf gives "
     "INT32_MAX, whose low 16 bits FFFF travel.",
     "UDP", None, "SameTimecode",
     {"focus": 1, "zoom": 0.0, "zoomValid": False, "iris": 655.35, "irisValid": True},
     ["BasicLens"], {"focus": 1, "zoom": "NaN", "iris": "Infinity"},
     hx("01 07 00 00 01 00 00 00 FF FF"))
case(G, "float-zoom-infinity",
     "zoom is formed in 64 bits: +inf gives INT64_MAX, low 24 bits FFFFFF; iris -inf gives "
     "INT32_MIN, low 16 bits 0000.",
     "UDP", None, "SameTimecode",
     {"zoom": 167772.15, "zoomValid": True, "iris": 0.0, "irisValid": False},
     ["BasicLens"], {"zoom": "Infinity", "iris": "-Infinity"},
     hx("01 07 00 00 00 FF FF FF 00 00"))
case(G, "float-position-saturates",
     "positionX -inf saturates at -7FFFFFFF = 80000001 (80000000 would read as not "
     "available); positionY 1e30 gives 7FFFFFFF; positionZ NaN gives 0.",
     "UDP", None, "SameTimecode",
     {"positionXValid": True, "positionX": -21474836.47, "positionY": 21474836.47,
      "positionYValid": True, "positionZ": 0.0, "positionZValid": True},
     ["PositionalData"], {"positionX": "-Infinity", "positionY": 1e30, "positionZ": "NaN"},
     hx("07 0B 80 00 00 01 7F FF FF FF 00 00 00 00"))
case(G, "axes-wrap-by-whole-turns",
     "Angles beyond +/-327.67 degrees are brought into -180..180 by whole turns before "
     "scaling: 400 degrees -> 40 -> 4000 = 0FA0; 327.67 and -327.67 travel as they are.",
     "UDP", None, "SameTimecode", {"roll": 40.0, "pitch": 327.67, "yaw": -327.67},
     ["AxesData"], {"roll": 400.0, "pitch": 327.67, "yaw": -327.67},
     hx("08 05 0F A0 7F FF 80 01"))

# ---- malformed.json: one or more frames for every FrameStatus ------------------------------

G = "malformed"
M_FRESH = {"channelId": 255}
case(G, "incomplete-empty-input", "No bytes at all.", "Serial", b"", "Incomplete", M_FRESH)
case(G, "incomplete-no-leading-delimiter",
     "A valid empty frame without the 00 before it: the device has not seen a delimiter yet.",
     "Serial", hx("02 FF 00"), "Incomplete", M_FRESH)
case(G, "incomplete-unterminated", "A frame whose closing 00 has not arrived.", "Serial",
     hx("00 02 18 03 07 E0"), "Incomplete", M_FRESH)
case(G, "checksum-error-off-by-one", "ChannelId 7 with checksum E1 instead of E0.", "Serial",
     hx("00 02 18 03 07 E1 00"), "ChecksumError", M_FRESH)
case(G, "checksum-error-one-byte", "A one-byte frame: checksum 00 of nothing should be FF.",
     "Serial", hx("00 02 00"), "ChecksumError", M_FRESH)
case(G, "checksum-error-after-valid-frame",
     "A valid frame then one with a bad checksum: the first is applied, the status is that of "
     "the last.",
     "Serial", hx("00 02 18 03 07 E0 00 02 18 03 09 DF 00"), "ChecksumError", {"channelId": 7})
case(G, "checksum-error-beats-rejection",
     "ProjectFps 6 with a wrong checksum: the checksum is checked first.", "Serial",
     hx("00 02 0D 03 06 ED 00"), "ChecksumError", {"projectFps": 0})
case(G, "framing-error-one-byte", "A lone code byte 05 points past the end.", "Serial",
     hx("00 05 00"), "FramingError", M_FRESH)
case(G, "framing-error-group-past-end", "The second code 04 points one byte past the end.",
     "Serial", hx("00 02 18 04 07 E0 00"), "FramingError", M_FRESH)
case(G, "framing-error-group-ends-early", "The second code 02 ends before the checksum byte.",
     "Serial", hx("00 02 18 02 07 E0 00"), "FramingError", M_FRESH)
CLIP66 = hx("0E 41") + b"a" * 66
case(G, "payload-too-long-udp", "A ClipName announcing 66 payload bytes (length byte 41).",
     "UDP", udp(CLIP66), "PayloadTooLong", {"clipName": "", "clipNameReceived": False})
case(G, "payload-too-long-serial",
     "The same record as a correctly stuffed serial frame with a valid checksum.",
     "Serial", serial(CLIP66), "PayloadTooLong", {"clipName": ""})
case(G, "bad-message-type-udp",
     "Type 28 after a valid ChannelId: the whole frame is dropped.",
     "UDP", udp(hx("18 00 07 1C 00 07")), "BadMessageType", M_FRESH)
case(G, "bad-message-type-serial-beats-framing",
     "Type 28 is found while unstuffing, before the broken stuffing is.",
     "Serial", hx("00 05 1C 01 01 00"), "BadMessageType", M_FRESH)
case(G, "bad-message-type-255", "Type byte FF.", "UDP", udp(hx("FF 00 07")),
     "BadMessageType", M_FRESH)
case(G, "rejected-reserved-type", "Type 17 (IdList) has no message class.", "UDP",
     udp(hx("18 00 07 11 00 00")), "MessageRejected", M_FRESH)
case(G, "rejected-project-fps-6", "ProjectFps 6 after a valid ChannelId.", "UDP",
     udp(hx("18 00 07 0D 00 06")), "MessageRejected", {"channelId": 255, "projectFps": 0})
case(G, "rejected-project-fps-6-serial", "ProjectFps 6 in a serial frame with a valid "
     "checksum.", "Serial", hx("00 02 0D 03 06 EC 00"), "MessageRejected", {"projectFps": 0})
case(G, "rejected-wrong-length", "A ChannelId with a 2-byte payload.", "UDP",
     udp(hx("18 01 07 07")), "MessageRejected", M_FRESH)
case(G, "rejected-truncated-record",
     "A BasicLens record cut short by the end of the datagram (3 of 8 bytes).", "UDP",
     udp(hx("01 07 00 05 DC")), "MessageRejected", {"focus": 0, "focusValid": False})
case(G, "rejected-empty-payload",
     "The frame ends right after a length byte: the record has no payload.", "UDP",
     udp(hx("18 00 07 0E 00")), "MessageRejected", {"channelId": 255, "clipName": ""})
case(G, "rejected-zeiss-zd-marker",
     "ZeissZdData whose first byte 80 lacks the marker bits 01.", "UDP",
     udp(hx("10 21") + b"\x80" + ZEISS_DEFAULT[1:]), "MessageRejected",
     {"zeissZd": {"aperture": 14.0, "focusDistance": 0}})
case(G, "length-error-udp-10", "A 10-byte datagram.", "UDP",
     hx("00 FF 00 00 00 00 00 00 18 00"), "LengthError", M_FRESH)
case(G, "length-error-udp-3", "00 FF 00 alone is a datagram, and far too short.", "UDP",
     hx("00 FF 00"), "LengthError", M_FRESH)
case(G, "length-error-udp-262", "A 262-byte datagram (254 bytes of records).", "UDP",
     udp(REC_255), "LengthError", {"clipName": ""})
case(G, "length-error-udp-beats-header", "10 bytes with a non-zero byte 3.", "UDP",
     hx("00 FF 00 01 00 00 00 00 18 00"), "LengthError", M_FRESH)
case(G, "length-error-serial-257", "257 non-zero bytes after a delimiter.", "Serial",
     b"\x00" + b"\x41" * 257 + b"\x00", "LengthError", M_FRESH)
case(G, "length-error-then-valid-frame",
     "After an over-long frame everything up to the next 00 is dropped; the frame after it "
     "decodes.", "Serial", b"\x00" + b"\x41" * 300 + hx("00 02 18 03 07 E0 00"),
     "SameTimecode", {"channelId": 7})
case(G, "header-error-byte-3", "Byte 3 (the transmission type) is 01.", "UDP",
     hx("00 FF 00 01 00 00 00 00 18 00 07"), "HeaderError", M_FRESH)
case(G, "header-error-byte-7", "Byte 7 is FF.", "UDP",
     hx("00 FF 00 00 00 00 00 FF 18 00 07"), "HeaderError", M_FRESH)
case(G, "header-error-beats-type", "A header error and type 28: the header is checked first.",
     "UDP", hx("00 FF 00 00 00 00 00 01 1C 00 07"), "HeaderError", M_FRESH)
case(G, "accepted-trailing-type-byte",
     "A type byte as the last byte of a datagram creates no message.", "UDP",
     udp(hx("18 00 07 18")), "SameTimecode", {"channelId": 7})
case(G, "accepted-shortened-string",
     "A ClipName announcing 9 bytes but cut after 3: a shortened string is accepted.", "UDP",
     udp(hx("0E 08 41 42 43")), "SameTimecode", {"clipName": "ABC", "clipNameReceived": True})
case(G, "accepted-serial-lone-type-byte", "Raw 05 FA: one type byte and the checksum.",
     "Serial", hx("00 03 05 FA 00"), "SameTimecode", M_FRESH)


def dump(cases):
    """One case per block, nested values on one line, so that a frame is one line."""
    lines = ["["]
    for i, c in enumerate(cases):
        items = [f'    {json.dumps(k)}: {json.dumps(v, ensure_ascii=True, allow_nan=False)}'
                 for k, v in c.items()]
        lines.append("  {\n" + ",\n".join(items) + "\n  }" + ("," if i + 1 < len(cases) else ""))
    lines.append("]")
    return "\n".join(lines) + "\n"


def main():
    out = pathlib.Path(__file__).resolve().parent
    names = set()
    for group, cases in CASES.items():
        for c in cases:
            if c["name"] in names:
                sys.exit(f"duplicate case name {c['name']}")
            names.add(c["name"])
        (out / f"{group}.json").write_text(dump(cases))
        print(f"{group}.json: {len(cases)} cases")


if __name__ == "__main__":
    main()
