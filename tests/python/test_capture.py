"""Reading pcap captures: what the package writes, other byte orders, resolutions and link
types, packets that are skipped, and files that are refused with the file and offset."""

import struct

import pytest

import korlib

FRAME = korlib.encode(korlib.Telemetry(focus=1500, timecodeFrames=3),
                      [korlib.MessageType.Timecode, korlib.MessageType.BasicLens])
SOURCE = ("10.0.0.2", 40000)
DESTINATION = ("127.0.0.1", 33322)


def udp_ipv4(payload, source=SOURCE, destination=DESTINATION, fragment=0x4000):
    def address(text):
        return bytes(int(p) for p in text.split("."))
    ip = struct.pack("!BBHHHBBH", 0x45, 0, 28 + len(payload), 1, fragment, 64, 17, 0)
    udp = struct.pack("!HHHH", source[1], destination[1], 8 + len(payload), 0)
    return ip + address(source[0]) + address(destination[0]) + udp + payload


def capture(records, link=1, order="<", nano=True, version=(2, 4)):
    """A capture file of (seconds, fraction, frame[, original length]) records."""
    magic = 0xA1B23C4D if nano else 0xA1B2C3D4
    out = struct.pack(order + "IHHiIII", magic, *version, 0, 0, 65535, link)
    for seconds, fraction, frame, *original in records:
        out += struct.pack(order + "IIII", seconds, fraction, len(frame),
                           original[0] if original else len(frame)) + frame
    return out


ETHERNET = bytes(12) + b"\x08\x00"


def test_written_capture_reads_back(tmp_path):
    path = tmp_path / "take.pcap"
    sent = [(1_700_000_000_123_456_789 + n, SOURCE, DESTINATION, FRAME + bytes([n]))
            for n in range(3)]
    assert korlib.write_capture(path, sent) == 3
    datagrams = korlib.read_capture(path)
    assert [(d.time_ns, d.source, d.destination, d.payload) for d in datagrams] == sent
    assert [d.packet for d in datagrams] == [1, 2, 3]
    assert datagrams[0].time == pytest.approx(1_700_000_000.123456789)


@pytest.mark.parametrize("link, frame", [
    (1, ETHERNET + udp_ipv4(FRAME)),
    (1, bytes(12) + b"\x81\x00\x00\x05" + b"\x08\x00" + udp_ipv4(FRAME)),  # VLAN tag
    (1, ETHERNET + udp_ipv4(FRAME) + bytes(6)),  # Ethernet padding after the packet
    (101, udp_ipv4(FRAME)),
    (228, udp_ipv4(FRAME)),
    (113, bytes(14) + b"\x08\x00" + udp_ipv4(FRAME)),
    (276, b"\x08\x00" + bytes(18) + udp_ipv4(FRAME)),
], ids=["ethernet", "vlan", "padding", "raw", "ipv4", "linux-cooked", "linux-cooked-2"])
@pytest.mark.parametrize("order", ["<", ">"], ids=["little-endian", "big-endian"])
def test_link_types_and_byte_orders(tmp_path, link, frame, order):
    path = tmp_path / "c.pcap"
    path.write_bytes(capture([(1000, 250, frame)], link=link, order=order, nano=False))
    [datagram] = korlib.read_capture(path)
    assert datagram.payload == FRAME
    assert (datagram.source, datagram.destination) == (SOURCE, DESTINATION)
    assert datagram.time_ns == 1000 * 10**9 + 250 * 1000  # microseconds


def test_packets_that_are_not_whole_udp_datagrams_are_skipped(tmp_path):
    tcp = bytearray(udp_ipv4(FRAME))
    tcp[9] = 6
    records = [
        (1, 0, ETHERNET + udp_ipv4(FRAME), 2000),  # cut by the snapshot length
        (2, 0, ETHERNET + bytes(tcp)),
        (3, 0, bytes(12) + b"\x86\xdd" + bytes(40)),  # IPv6
        (4, 0, ETHERNET + udp_ipv4(FRAME, fragment=0x2000)),  # first of several fragments
        (5, 0, ETHERNET + udp_ipv4(FRAME)[:30]),  # shorter than its IPv4 length
        (6, 0, ETHERNET + udp_ipv4(FRAME)),
    ]
    path = tmp_path / "mixed.pcap"
    path.write_bytes(capture(records))
    assert [(d.packet, d.time_ns) for d in korlib.read_capture(path)] == [(6, 6 * 10**9)]


GOOD = capture([(1, 0, ETHERNET + udp_ipv4(FRAME))] * 2)


@pytest.mark.parametrize("data, offset, text", [
    (b"", 0, r"not a pcap capture \(0 bytes\)"),
    (b"time,focus\n1,1500\n" * 3, 0, r"not a pcap capture \(magic number 0x656d6974\)"),
    (b"\x0a\x0d\x0d\x0a" + bytes(40), 0, r"a pcapng capture"),
    (GOOD[:20], 20, r"cut short inside its global header"),
    (capture([], version=(3, 0)), 4, r"unsupported pcap version 3\.0"),
    (capture([], link=105), 20, r"unsupported link type 105"),
    (GOOD[:len(GOOD) - 60], 24 + 16 + len(ETHERNET + udp_ipv4(FRAME)),
     r"cut short inside packet 2 \(\d+ bytes announced, \d+ present\)"),
    (GOOD + bytes(10), len(GOOD), r"cut short inside the header of packet 3"),
], ids=["empty", "text", "pcapng", "short-header", "version", "link-type", "short-packet",
        "short-record-header"])
def test_bad_files_are_refused_with_the_file_and_offset(tmp_path, data, offset, text):
    path = tmp_path / "bad.pcap"
    path.write_bytes(data)
    with pytest.raises(korlib.CaptureError, match=text) as raised:
        korlib.read_capture(path)
    assert raised.value.offset == offset
    assert str(raised.value) == f"{path}: {raised.value.problem} at offset {offset}"
    with pytest.raises(korlib.CaptureError):
        korlib.decode_capture(path)


def test_decode_capture_gives_every_datagram_with_its_status(tmp_path):
    frames = [FRAME,
              korlib.encode(korlib.Telemetry(focus=1600, timecodeFrames=3),
                            [korlib.MessageType.Timecode, korlib.MessageType.BasicLens]),
              FRAME[:10],
              korlib.encode(korlib.Telemetry(timecodeFrames=4), [korlib.MessageType.Timecode])]
    other_port = ("127.0.0.1", 9)
    path = tmp_path / "take.pcap"
    korlib.write_capture(path, [(n, SOURCE, DESTINATION, f) for n, f in enumerate(frames)]
                         + [(9, SOURCE, other_port, FRAME)])
    decoded = list(korlib.decode_capture(path, port=DESTINATION[1]))
    assert [d.status for d in decoded] == [
        korlib.FrameStatus.NewTimecode, korlib.FrameStatus.SameTimecode,
        korlib.FrameStatus.LengthError, korlib.FrameStatus.NewTimecode]
    # The state after each frame: a rejected frame leaves the previous one.
    assert [d.state.focus for d in decoded] == [1500, 1600, 1600, 1600]
    assert [d.state.timecodeFrames for d in decoded] == [3, 3, 3, 4]
    assert len(list(korlib.decode_capture(path))) == 5
