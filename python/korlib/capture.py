"""Classic pcap captures of UDP datagrams: reading (as kor-monitor --record, tcpdump and
packet analysers write them), writing, and decoding every datagram with a Device."""

import functools
import struct
from typing import Iterator, List, NamedTuple, Optional, Tuple

from .telemetry import Device, FrameStatus, MessageType, Telemetry

_MAGIC_MICRO = 0xA1B2C3D4
_MAGIC_NANO = 0xA1B23C4D
_MAGIC_PCAPNG = 0x0A0D0D0A
_FILE_HEADER = 24
_RECORD_HEADER = 16

LINK_ETHERNET = 1
LINK_RAW = 101
LINK_LINUX_SLL = 113
LINK_IPV4 = 228
LINK_LINUX_SLL2 = 276
_LINK_TYPES = (LINK_ETHERNET, LINK_RAW, LINK_LINUX_SLL, LINK_IPV4, LINK_LINUX_SLL2)

_ETHERTYPE_IPV4 = 0x0800
_ETHERTYPE_VLAN = (0x8100, 0x88A8)
_PROTOCOL_UDP = 17


class CaptureError(ValueError):
    """A file that is not a pcap capture this package reads, or one cut short. `path` and
    `offset` (the byte where the problem lies) are attributes; the message names both."""

    def __init__(self, path, offset: int, problem: str):
        super().__init__(f"{path}: {problem} at offset {offset}")
        self.path = path
        self.offset = offset
        self.problem = problem


class Datagram(NamedTuple):
    """One UDP datagram of a capture."""

    time_ns: int  # capture time stamp, nanoseconds since 1970-01-01 UTC
    source: Tuple[str, int]  # IPv4 address and port
    destination: Tuple[str, int]
    payload: bytes
    packet: int  # the packet record's number in the file, from 1

    @property
    def time(self) -> float:
        """The time stamp in seconds since 1970-01-01 UTC."""
        return self.time_ns / 1e9


@functools.lru_cache(maxsize=1024)
def _address(value: int) -> str:
    return f"{value >> 24}.{(value >> 16) & 255}.{(value >> 8) & 255}.{value & 255}"


_IPV4 = struct.Struct("!BxH2xHxB2xII")  # version and length, total, fragment, protocol,
_UDP = struct.Struct("!HHH")             # addresses; ports and length


def _ipv4_packet(link: int, frame: bytes) -> Optional[bytes]:
    """The IPv4 packet inside a link-layer frame, or None."""
    if link == LINK_ETHERNET:
        offset = 14
        if len(frame) < offset:
            return None
        ether_type = int.from_bytes(frame[12:14], "big")
        for _ in range(2):  # up to two VLAN tags
            if ether_type not in _ETHERTYPE_VLAN:
                break
            if len(frame) < offset + 4:
                return None
            ether_type = int.from_bytes(frame[offset + 2:offset + 4], "big")
            offset += 4
    elif link == LINK_LINUX_SLL:
        offset = 16
        if len(frame) < offset:
            return None
        ether_type = int.from_bytes(frame[14:16], "big")
    elif link == LINK_LINUX_SLL2:
        offset = 20
        if len(frame) < offset:
            return None
        ether_type = int.from_bytes(frame[0:2], "big")
    else:  # raw IP: the version field tells IPv4 from IPv6
        offset, ether_type = 0, _ETHERTYPE_IPV4
    return frame[offset:] if ether_type == _ETHERTYPE_IPV4 else None


def _udp(packet: bytes):
    """(source, destination, payload) of a whole unfragmented IPv4 UDP datagram, or None."""
    if len(packet) < 20:
        return None
    first, total, fragment, protocol, source, destination = _IPV4.unpack_from(packet)
    header = (first & 0x0F) * 4
    # The total length bounds the packet: an Ethernet frame may carry padding after it.
    if (first >> 4 != 4 or header < 20 or total < header + 8 or total > len(packet)
            or protocol != _PROTOCOL_UDP or fragment & 0x3FFF):  # not a fragment either
        return None
    source_port, destination_port, length = _UDP.unpack_from(packet, header)
    if length < 8 or length > total - header:
        return None
    return ((_address(source), source_port), (_address(destination), destination_port),
            bytes(packet[header + 8:header + length]))


def read_capture(path) -> List[Datagram]:
    """The UDP datagrams of a classic pcap capture, in file order, with their time stamps.

    Ethernet (with VLAN tags), raw IP and Linux cooked captures in either byte order and
    with micro- or nanosecond time stamps are read; packets that are not whole IPv4 UDP
    datagrams are skipped. A file that is not such a capture or ends inside a header or a
    packet raises CaptureError naming the file and the offset; OSError if it cannot be read.
    """
    datagrams, cut = read_capture_salvaged(path)
    if cut is not None:
        raise cut
    return datagrams


def read_capture_salvaged(path) -> Tuple[List[Datagram], Optional[CaptureError]]:
    """As read_capture, for a capture that may have been cut short (a recording killed while
    it wrote): the datagrams of the whole packets before the cut, and the CaptureError that
    names where it ends (None for a whole capture). A file that is no capture, or ends
    inside its global header, still raises CaptureError."""
    with open(path, "rb") as file:
        data = file.read()
    if len(data) < 4:
        raise CaptureError(path, 0, f"not a pcap capture ({len(data)} bytes)")
    magic = int.from_bytes(data[0:4], "little")
    if magic in (_MAGIC_MICRO, _MAGIC_NANO):
        order = "<"
    elif int.from_bytes(data[0:4], "big") in (_MAGIC_MICRO, _MAGIC_NANO):
        order = ">"
        magic = int.from_bytes(data[0:4], "big")
    elif magic == _MAGIC_PCAPNG:
        raise CaptureError(path, 0, "a pcapng capture, not a classic pcap capture "
                                    "(save it as pcap)")
    else:
        raise CaptureError(path, 0, f"not a pcap capture (magic number 0x{magic:08x})")
    if len(data) < _FILE_HEADER:
        raise CaptureError(path, len(data), "capture cut short inside its global header")
    major, minor = struct.unpack_from(order + "HH", data, 4)
    if major != 2:
        raise CaptureError(path, 4, f"unsupported pcap version {major}.{minor}")
    link = struct.unpack_from(order + "I", data, 20)[0] & 0xFFFF
    if link not in _LINK_TYPES:
        raise CaptureError(path, 20, f"unsupported link type {link} (Ethernet, raw IP and "
                                     "Linux cooked captures are read)")
    fraction_ns = 1 if magic == _MAGIC_NANO else 1000
    record = struct.Struct(order + "IIII")
    view = memoryview(data)
    datagrams = []
    at = _FILE_HEADER
    packet = 0
    while at < len(data):
        left = len(data) - at
        if left < _RECORD_HEADER:
            return datagrams, CaptureError(path, at, f"capture cut short inside the header "
                                                     f"of packet {packet + 1}")
        seconds, fraction, included, original = record.unpack_from(data, at)
        if included > left - _RECORD_HEADER:
            return datagrams, CaptureError(path, at, f"capture cut short inside packet "
                                                     f"{packet + 1} ({included} bytes "
                                                     f"announced, {left - _RECORD_HEADER} "
                                                     "present)")
        packet += 1
        frame = view[at + _RECORD_HEADER:at + _RECORD_HEADER + included]
        at += _RECORD_HEADER + included
        if included < original:  # cut by the snapshot length: not the whole datagram
            continue
        ip = _ipv4_packet(link, frame)
        found = _udp(ip) if ip is not None else None
        if found is None:
            continue
        datagrams.append(Datagram(seconds * 1_000_000_000 + fraction * fraction_ns, *found,
                                  packet))
    return datagrams, None


def _ipv4_checksum(header: bytes) -> int:
    total = sum(struct.unpack("!10H", header))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return ~total & 0xFFFF


def _address_value(address: str) -> int:
    parts = [int(p) for p in address.split(".")]
    if len(parts) != 4 or not all(0 <= p <= 255 for p in parts):
        raise ValueError(f"{address!r} is not an IPv4 address")
    return int.from_bytes(bytes(parts), "big")


def write_capture(path, datagrams) -> int:
    """Writes datagrams (Datagram, or (time_ns, source, destination, payload) tuples) as a
    pcap capture with nanosecond time stamps, each behind Ethernet, IPv4 and UDP headers,
    as kor-monitor --record does. Returns the number written."""
    count = 0
    with open(path, "wb") as file:
        file.write(struct.pack("<IHHiIII", _MAGIC_NANO, 2, 4, 0, 0, 262144, LINK_ETHERNET))
        for item in datagrams:
            time_ns, source, destination, payload = item[:4]
            if len(payload) > 65507:
                raise ValueError(f"a datagram of {len(payload)} bytes does not fit in IPv4")
            ip = struct.pack("!BBHHHBBH", 0x45, 0, 28 + len(payload), count & 0xFFFF, 0x4000,
                             64, _PROTOCOL_UDP, 0)
            ip += struct.pack("!II", _address_value(source[0]), _address_value(destination[0]))
            ip = ip[:10] + struct.pack("!H", _ipv4_checksum(ip)) + ip[12:]
            udp = struct.pack("!HHHH", source[1], destination[1], 8 + len(payload), 0)
            frame = bytes(12) + b"\x08\x00" + ip + udp + bytes(payload)
            seconds, fraction = divmod(max(int(time_ns), 0), 1_000_000_000)
            file.write(struct.pack("<IIII", seconds, fraction, len(frame), len(frame)))
            file.write(frame)
            count += 1
    return count


class _DecodedFields(NamedTuple):
    datagram: Datagram
    status: FrameStatus
    state: Telemetry


class DecodedFrame(_DecodedFields):
    """One datagram of a capture, the status of decoding it and the state after it (the
    previous state when the frame was not applied), and `messages`: the frame's record types
    in frame order, empty unless it was applied. It unpacks as (datagram, status, state)."""

    messages: Tuple[MessageType, ...] = ()

    def __new__(cls, datagram: Datagram, status: FrameStatus, state: Telemetry,
                messages: Tuple[MessageType, ...] = ()):
        frame = super().__new__(cls, datagram, status, state)
        frame.messages = tuple(messages)
        return frame

    def __repr__(self):
        return (f"DecodedFrame(datagram={self.datagram!r}, status={self.status!r}, "
                f"state={self.state!r}, messages={self.messages!r})")


def decode_capture(path, port: Optional[int] = None) -> Iterator[DecodedFrame]:
    """Decodes every UDP datagram of a capture (only those sent to `port`, if given) with
    one Device, in file order. The capture is read completely first, so a bad file raises
    CaptureError before the first frame."""
    datagrams = read_capture(path)
    return _decode(datagrams, port)


def _decode(datagrams, port):
    with Device() as device:
        for datagram in datagrams:
            if port is not None and datagram.destination[1] != port:
                continue
            status = device.update(datagram.payload)
            yield DecodedFrame(datagram, status, device.state, device.messages)
