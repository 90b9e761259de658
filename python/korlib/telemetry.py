"""The telemetry record, the encoder and the decoder, over libKorLib's C interface."""

import ctypes
import enum
import functools
import math
import struct
from dataclasses import dataclass, field, fields
from typing import List, NamedTuple, Optional, Tuple

from . import _native


class MessageType(enum.IntEnum):
    """Message type numbers, as Kor::Protocol::MessageType. 17 to 22 are reserved."""

    Timecode = 0
    BasicLens = 1
    PtpTimestamp = 2
    ProductBrand = 3
    ProductName = 4
    ProductSerial = 5
    LensProperties = 6
    PositionalData = 7
    AxesData = 8
    TickCount = 9
    LensManufacturer = 10
    LensName = 11
    LensSerial = 12
    ProjectFps = 13
    ClipName = 14
    RawLensEncoderWithMask = 15
    ZeissZdData = 16
    IdList = 17
    FileEnd = 18
    FileTransferName = 19
    FileTransferInformation = 20
    FileTransferData = 21
    FileTransferMd5 = 22
    RadioControl = 23
    ChannelId = 24
    SensorSize = 25
    RawAxesEncoderWithMask = 26
    SubjectId = 27


class TransmissionType(enum.IntEnum):
    """Framing of an encoded frame, as Kor::Protocol::TransmissionType."""

    UDP = 0
    Serial = 1


class FrameStatus(enum.IntEnum):
    """Outcome of Device.update, as Kor::Protocol::FrameStatus."""

    NewTimecode = 0
    SameTimecode = 1
    Incomplete = 2
    ChecksumError = 3
    FramingError = 4
    PayloadTooLong = 5
    BadMessageType = 6
    MessageRejected = 7
    LengthError = 8
    HeaderError = 9

    @property
    def applied(self) -> bool:
        """Whether the frame was valid and became the device's state."""
        return self <= FrameStatus.SameTimecode


# Bytes a string of the record holds; longer strings are cut to this by the encoder.
STRING_CAPACITY = 65


@dataclass
class ZeissZdValues:
    """Lens data block carried by ZeissZdData."""

    focusDistance: int = 0
    aperture: float = 14.0
    horizontalFieldOfView: float = 0.0
    entrancePupilPosition: int = 0
    shading: List[float] = field(default_factory=lambda: [0.0] * 6)
    radialDistortion: List[float] = field(default_factory=lambda: [0.0] * 6)


@dataclass
class RadioControlValues:
    """Block carried by RadioControl."""

    radioValue: int = 0
    radioParamA: int = 0
    radioParamB: int = 0
    radioMode: int = 4
    radioParamC: int = 0


@dataclass
class Telemetry:
    """One complete state, with the fields of Kor::Protocol::TelemetryData under the same
    names. Strings are bytes (any byte may travel); floats travel in single precision."""

    focusValid: bool = False
    zoomValid: bool = False
    irisValid: bool = False
    minFocalLengthValid: bool = False
    maxFocalLengthValid: bool = False
    minIrisValid: bool = False
    maxIrisValid: bool = False
    lensPropertiesExtraValid: bool = False
    positionXValid: bool = False
    positionYValid: bool = False
    positionZValid: bool = False
    rollValid: bool = False
    pitchValid: bool = False
    yawValid: bool = False
    rawFocusEncoderValid: bool = False
    rawZoomEncoderValid: bool = False
    rawIrisEncoderValid: bool = False
    productInfoComplete: bool = False
    lensInfoComplete: bool = False
    clipNameReceived: bool = False
    recordFlag: bool = False
    timecodeHours: int = 0
    timecodeMinutes: int = 0
    timecodeSeconds: int = 0
    timecodeFrames: int = 0
    focus: int = 0
    zoom: float = 0.0
    iris: float = 0.0
    ptpSeconds: int = 0
    ptpNanoseconds: int = 0
    productBrand: bytes = b""
    productName: bytes = b""
    productSerial: bytes = b""
    focalRangeFlags: int = 0
    minFocalLength: float = 0.0
    maxFocalLength: float = 0.0
    minIris: float = 0.0
    maxIris: float = 0.0
    lensPropertiesExtra: int = 0
    positionX: float = 0.0
    positionY: float = 0.0
    positionZ: float = 0.0
    roll: float = 0.0
    pitch: float = 0.0
    yaw: float = 0.0
    tickCount: int = 0
    tickCountType: int = 0
    lensManufacturer: bytes = b""
    lensName: bytes = b""
    lensSerial: bytes = b""
    projectFps: int = 0
    clipName: bytes = b""
    rawFocusEncoder: int = 0
    rawZoomEncoder: int = 0
    rawIrisEncoder: int = 0
    zeissZd: ZeissZdValues = field(default_factory=ZeissZdValues)
    radioControl: RadioControlValues = field(default_factory=RadioControlValues)
    channelId: int = 255
    sensorWidth: float = 0.0
    sensorHeight: float = 0.0
    clipWidth: int = 0
    clipHeight: int = 0
    sensorName: bytes = b""
    rawAxesEncoders: List[int] = field(default_factory=lambda: [0, 0, 0])
    subjectId: int = 0xFFFF


# ---- The layout of kor_telemetry ------------------------------------------------------------
#
# Every member in order, with explicit padding, exactly as kor/kor_c.h pins it. A name with
# a dot is a member of a nested block.

_FORMATS = {"flag": "?", "u8": "B", "u16": "H", "u32": "I", "u64": "Q", "i16": "h",
            "f32": "f", "str": "B65s", "f32x6": "6f", "u32x3": "3I"}
_RANGES = {"u8": (0, 0xFF), "u16": (0, 0xFFFF), "u32": (0, 0xFFFFFFFF),
           "u64": (0, 0xFFFFFFFFFFFFFFFF), "i16": (-0x8000, 0x7FFF)}
_FLAGS = [f.name for f in fields(Telemetry) if f.type in (bool, "bool")]

_LAYOUT = (
    [(name, "flag") for name in _FLAGS]
    + [("timecodeHours", "u8"), ("timecodeMinutes", "u8"), ("timecodeSeconds", "u8"),
       ("timecodeFrames", "u8"), (None, "3x"),
       ("focus", "u32"), ("zoom", "f32"), ("iris", "f32"), ("ptpSeconds", "u64"),
       ("ptpNanoseconds", "u32"),
       ("productBrand", "str"), ("productName", "str"), ("productSerial", "str"),
       ("focalRangeFlags", "u8"), (None, "1x"), ("minFocalLength", "f32"),
       ("maxFocalLength", "f32"), ("minIris", "f32"), ("maxIris", "f32"),
       ("lensPropertiesExtra", "u8"), (None, "3x"),
       ("positionX", "f32"), ("positionY", "f32"), ("positionZ", "f32"), ("roll", "f32"),
       ("pitch", "f32"), ("yaw", "f32"), ("tickCount", "u64"), ("tickCountType", "u8"),
       ("lensManufacturer", "str"), ("lensName", "str"), ("lensSerial", "str"),
       ("projectFps", "u8"), ("clipName", "str"),
       ("rawFocusEncoder", "u16"), ("rawZoomEncoder", "u16"), ("rawIrisEncoder", "u16"),
       ("zeissZd.focusDistance", "u32"), ("zeissZd.aperture", "f32"),
       ("zeissZd.horizontalFieldOfView", "f32"), ("zeissZd.entrancePupilPosition", "i16"),
       (None, "2x"), ("zeissZd.shading", "f32x6"), ("zeissZd.radialDistortion", "f32x6"),
       ("radioControl.radioValue", "u32"), ("radioControl.radioParamA", "u8"),
       ("radioControl.radioParamB", "u8"), ("radioControl.radioMode", "u8"),
       ("radioControl.radioParamC", "u8"),
       ("channelId", "u8"), (None, "3x"), ("sensorWidth", "f32"), ("sensorHeight", "f32"),
       ("clipWidth", "u16"), ("clipHeight", "u16"), ("sensorName", "str"), (None, "2x"),
       ("rawAxesEncoders", "u32x3"), ("subjectId", "u32"), (None, "4x")]
)

_STRUCT = struct.Struct("=" + "".join(_FORMATS.get(kind, kind) for _, kind in _LAYOUT))
TELEMETRY_SIZE = _STRUCT.size
assert TELEMETRY_SIZE == _native.TELEMETRY_SIZE, "the layout above must match kor/kor_c.h"
_FLOAT_MAX = struct.unpack("=f", b"\xff\xff\x7f\x7f")[0]

# (kind, top-level name, nested name or None) for every member that holds values.
_MEMBERS = [(kind, *(name.split(".") if "." in name else (name, None)))
            for name, kind in _LAYOUT if name is not None]


def _describe(value) -> str:
    return f"{type(value).__name__} {value!r}"


def _check_number(name: str, kind: str, value):
    if kind == "f32":
        if isinstance(value, bool) or not isinstance(value, (int, float)):
            raise TypeError(f"{name} must be a number, not {_describe(value)}")
        value = float(value)
        if math.isfinite(value) and abs(value) > _FLOAT_MAX:
            raise ValueError(f"{name}: {value!r} does not fit a 32-bit float")
        return value
    if kind == "flag":
        if not isinstance(value, (bool, int)) or value not in (0, 1):
            raise TypeError(f"{name} must be True or False, not {_describe(value)}")
        return bool(value)
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an integer, not {_describe(value)}")
    low, high = _RANGES[kind]
    if not low <= value <= high:
        raise ValueError(f"{name}: {value} is outside {low}..{high}")
    return value


def _pack(state: Telemetry) -> bytes:
    """The kor_telemetry bytes of a record; refuses values that do not fit their fields."""
    if not isinstance(state, Telemetry):
        raise TypeError(f"expected a korlib.Telemetry, not {type(state).__name__}")
    blocks = {}
    for name, block_type in (("zeissZd", ZeissZdValues), ("radioControl", RadioControlValues)):
        block = getattr(state, name)
        if isinstance(block, dict):  # the block's fields by name, the others at defaults
            try:
                block = block_type(**block)
            except TypeError as error:
                raise TypeError(f"{name}: {error}") from None
        elif not isinstance(block, block_type):
            raise TypeError(f"{name} must be a korlib.{block_type.__name__}, "
                            f"not {_describe(block)}")
        blocks[name] = block
    return _pack_members(state, blocks["zeissZd"], blocks["radioControl"])


def _check_string(name: str, value) -> bytes:
    if not isinstance(value, (bytes, bytearray)):
        raise TypeError(f"{name} must be bytes, not {_describe(value)}")
    return bytes(value[:STRING_CAPACITY])  # as the encoder cuts longer strings


def _check_array(name: str, kind: str, value) -> list:
    count, element = (6, "f32") if kind == "f32x6" else (3, "u32")
    try:
        items = list(value)
    except TypeError:
        raise TypeError(f"{name} must be a list of {count} numbers, "
                        f"not {_describe(value)}") from None
    if len(items) != count:
        raise ValueError(f"{name} must hold {count} values, not {len(items)}")
    return [_check_number(f"{name}[{i}]", element, v) for i, v in enumerate(items)]


def _packer():
    """A function (state, zeissZd, radioControl) -> kor_telemetry bytes, written out from
    the layout: values of the expected type and range pass one inline test, anything else
    goes through the checks that convert it or raise naming the field."""
    lines = ["def pack_members(state, z, r):"]
    arguments = []
    for number, (kind, top, nested) in enumerate(_MEMBERS):
        name = f"{top}.{nested}" if nested else top
        holder = {"zeissZd": "z", "radioControl": "r"}.get(top, "state") if nested else "state"
        v = f"v{number}"
        lines.append(f"    {v} = {holder}.{nested or top}")
        if kind == "str":
            lines.append(f"    if {v}.__class__ is not bytes or len({v}) > {STRING_CAPACITY}: "
                         f"{v} = check_string({name!r}, {v})")
            arguments += [f"len({v})", v]
        elif kind in ("f32x6", "u32x3"):
            lines.append(f"    {v} = check_array({name!r}, {kind!r}, {v})")
            arguments.append(f"*{v}")
        else:
            if kind == "flag":
                test = f"{v}.__class__ is not bool"
            elif kind == "f32":
                test = f"{v}.__class__ is not float or not -FMAX <= {v} <= FMAX"
            else:
                low, high = _RANGES[kind]
                test = f"{v}.__class__ is not int or not {low} <= {v} <= {high}"
            lines.append(f"    if {test}: {v} = check({name!r}, {kind!r}, {v})")
            arguments.append(v)
    lines.append(f"    return struct_pack({', '.join(arguments)})")
    scope = {"struct_pack": _STRUCT.pack, "check": _check_number,
             "check_string": _check_string, "check_array": _check_array, "FMAX": _FLOAT_MAX}
    exec("\n".join(lines) + "\n", scope)
    return scope["pack_members"]


_pack_members = _packer()


def _unpacker():
    """A function that turns kor_telemetry bytes into a Telemetry: one unpack_from call and
    three dictionaries, written out from the layout above (a loop over the members would
    cost several times as much per decoded frame)."""
    top, nested = [], {"zeissZd": [], "radioControl": []}
    at = 0
    for kind, name, member in _MEMBERS:
        if kind == "str":
            value, at = f"v[{at + 1}][:v[{at}]]", at + 2  # length <= 255, bytes 65
        elif kind in ("f32x6", "u32x3"):
            width = 6 if kind == "f32x6" else 3
            value, at = f"list(v[{at}:{at + width}])", at + width
        else:
            value, at = f"v[{at}]", at + 1
        if member is None:
            top.append(f"'{name}': {value}")
        else:
            nested[name].append(f"'{member}': {value}")
    # The objects are filled in directly: a dataclass constructor with 64 keyword
    # arguments costs more than everything else of a decoded frame together.
    source = (
        "def unpack(buffer):\n"
        "    v = unpack_from(buffer)\n"
        "    zeiss = new(ZeissZdValues)\n"
        f"    zeiss.__dict__ = {{{', '.join(nested['zeissZd'])}}}\n"
        "    radio = new(RadioControlValues)\n"
        f"    radio.__dict__ = {{{', '.join(nested['radioControl'])}}}\n"
        "    state = new(Telemetry)\n"
        f"    state.__dict__ = {{{', '.join(top)}, 'zeissZd': zeiss, 'radioControl': radio}}\n"
        "    return state\n")
    scope = {"unpack_from": _STRUCT.unpack_from, "new": object.__new__, "Telemetry": Telemetry,
             "ZeissZdValues": ZeissZdValues, "RadioControlValues": RadioControlValues}
    exec(source, scope)
    return scope["unpack"]


_unpack = _unpacker()


# ---- Encoding ---------------------------------------------------------------------------------

class KorlibError(RuntimeError):
    """The library refused a call for a reason this package did not foresee."""


def _raise_for(status: int, what: str):
    if status == _native.KOR_ERROR_OUT_OF_MEMORY:
        raise MemoryError(f"{what}: KorLib ran out of memory")
    name = _native.library().kor_status_name(status).decode("ascii", "replace")
    raise KorlibError(f"{what}: {name}")


def _by_name(enum_type, value):
    """An enum member from a member, its value or its name ("BasicLens")."""
    if isinstance(value, str):
        try:
            return enum_type[value]
        except KeyError:
            raise ValueError(f"{value!r} is not a {enum_type.__name__} name") from None
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{value!r} is not a {enum_type.__name__}")
    return value


def _type_list(types):
    if isinstance(types, (str, bytes)) or not hasattr(types, "__iter__"):
        raise TypeError(f"types must be a list of MessageType, not {_describe(types)}")
    checked = []
    for value in types:
        try:
            checked.append(MessageType(_by_name(MessageType, value)))
        except ValueError as error:
            if isinstance(value, str):
                raise
            raise ValueError(f"{value} is not a MessageType (0 to 27)") from error
    return (ctypes.c_uint16 * len(checked))(*checked), len(checked)


def _transmission(value) -> int:
    value = _by_name(TransmissionType, value)
    if not 0 <= value <= 255:
        raise ValueError(f"transmission {value} is outside 0..255 (UDP 0, Serial 1, "
                         "any other value: the records alone)")
    return int(value)


def _encode_with(call, what: str) -> bytes:
    """Runs an encoding call with a frame-sized buffer, and once more if it needs more."""
    size = ctypes.c_size_t(0)
    buffer = ctypes.create_string_buffer(_native.MAX_FRAME_SIZE)
    status = call(buffer, len(buffer), ctypes.byref(size))
    if status == _native.KOR_ERROR_BUFFER_TOO_SMALL:
        buffer = ctypes.create_string_buffer(size.value)
        status = call(buffer, len(buffer), ctypes.byref(size))
    if status != _native.KOR_OK:
        _raise_for(status, what)
    return buffer.raw[:size.value]


def encode(state: Telemetry, types, transmission=TransmissionType.UDP) -> bytes:
    """One frame holding one record of `state` per listed type, in list order (types
    without an encoder add nothing; strings over 65 bytes are cut to 65)."""
    packed = _pack(state)
    type_array, count = _type_list(types)
    framing = _transmission(transmission)
    lib = _native.library()
    return _encode_with(
        lambda buffer, capacity, size: lib.kor_encode(packed, framing, type_array, count,
                                                      buffer, capacity, size),
        "encode")


# ---- Names ------------------------------------------------------------------------------------

def message_type_name(value) -> str:
    """The library's name of a message type number, as the C++ enumerator is spelled
    ("BasicLens"); "Unknown" for a number outside 0 to 27."""
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{value!r} is not a message type number")
    if not -2**31 <= value < 2**31:
        return "Unknown"
    return _native.library().kor_message_type_name(value).decode("ascii")


def status_name(value) -> str:
    """The library's name of a FrameStatus value ("HeaderError") or of a negative KOR_ERROR_*
    code; "unknown" for anything else."""
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{value!r} is not a status")
    if not -2**31 <= value < 2**31:
        return "unknown"
    return _native.library().kor_status_name(value).decode("ascii")


# ---- Decoding ---------------------------------------------------------------------------------

# MessageType and FrameStatus members by value (both run from 0 without a gap).
_MESSAGE_TYPES = tuple(MessageType)
_STATUSES = tuple(FrameStatus)
assert all(member.value == i for i, member in enumerate(_MESSAGE_TYPES))
assert all(member.value == i for i, member in enumerate(_STATUSES))
_REPORT_HEAD = struct.Struct("=iH")  # kor_frame_report: status, messageCount
_REPORT_COUNT_AT = 4
_REPORT_MESSAGES_AT = 8


@functools.lru_cache(maxsize=1024)
def _types_of(raw: bytes) -> tuple:
    """The MessageType tuple of a report's messages array; a stream repeats a few lists, so
    they are built once each."""
    return tuple(_MESSAGE_TYPES[v] for v in struct.unpack(f"={len(raw) // 2}H", raw))


def _report(buffer) -> Tuple[FrameStatus, tuple]:
    """The status and record types of a kor_frame_report (a ctypes buffer or bytes)."""
    status, count = _REPORT_HEAD.unpack_from(buffer)
    end = _REPORT_MESSAGES_AT + 2 * count
    return _STATUSES[status], _types_of(bytes(buffer[_REPORT_MESSAGES_AT:end]))


def _input(data, what: str) -> bytes:
    """Received bytes as the C interface takes them."""
    if isinstance(data, bytes):
        return data
    if not isinstance(data, (bytearray, memoryview)):
        raise TypeError(f"{what} takes bytes, not {type(data).__name__}")
    return bytes(data)


class FrameReport(NamedTuple):
    """One frame that Device.update_frames finished: its status, its record types in frame
    order (empty unless the frame was applied) and the state right after it."""

    status: FrameStatus
    messages: Tuple[MessageType, ...]
    state: Telemetry


class Device:
    """A decoder: feed it received datagrams or chunks of a serial stream with update(),
    read the state it holds with the `state` property.

        device = korlib.Device()
        if device.update(datagram).applied:
            print(device.state.focus)
    """

    def __init__(self, state: Optional[Telemetry] = None):
        self._handle = None
        lib = _native.library()
        handle = ctypes.c_void_p()
        if state is None:
            status = lib.kor_device_create(ctypes.byref(handle))
        else:
            status = lib.kor_device_create_with_state(_pack(state), ctypes.byref(handle))
        if status != _native.KOR_OK:
            _raise_for(status, "Device")
        self._lib = lib
        self._handle = handle
        self._state = ctypes.create_string_buffer(TELEMETRY_SIZE)
        self._report = ctypes.create_string_buffer(_native.FRAME_REPORT_SIZE)
        self._report_count = ctypes.c_uint16.from_buffer(self._report, _REPORT_COUNT_AT)

    def _live(self):
        if self._handle is None:
            raise ValueError("the Device is closed")
        return self._handle

    def update(self, data) -> FrameStatus:
        """Feeds received bytes: input that starts 00 FF 00 is one whole datagram, anything
        else the next chunk of a serial byte stream. Returns the status of the last frame
        finished, Incomplete if none; `messages` then holds that frame's record types."""
        data = _input(data, "update")
        status = self._lib.kor_device_update(self._live(), data, len(data))
        if status < 0:
            _raise_for(status, "update")
        return FrameStatus(status)

    def update_frames(self, data) -> List[FrameReport]:
        """Feeds received bytes as update() does and returns one FrameReport per frame they
        finished, in order: one for a datagram; for a chunk of a serial stream one per frame
        (or overflow, LengthError) it completes, none if it completes none.

            for frame in device.update_frames(chunk):
                if frame.status.applied:
                    print([t.name for t in frame.messages], frame.state.focus)
        """
        data = _input(data, "update_frames")
        handle = self._live()
        reports = []
        failures = []

        def on_frame(report, _context):
            try:
                status, messages = _report(ctypes.string_at(report, _native.FRAME_REPORT_SIZE))
                reports.append(FrameReport(status, messages, self.state))
            except BaseException as error:  # ctypes would print and drop it
                failures.append(error)

        callback = _native.FRAME_CALLBACK(on_frame)
        status = self._lib.kor_device_update_report(handle, data, len(data), callback, None)
        if failures:
            raise failures[0]
        if status < 0:
            _raise_for(status, "update_frames")
        return reports

    @property
    def messages(self) -> Tuple[MessageType, ...]:
        """The record types, in frame order, of the last frame that the latest update
        finished; empty when that frame was not applied or the update finished none."""
        status = self._lib.kor_device_last_frame(self._live(), self._report)
        if status != _native.KOR_OK:
            _raise_for(status, "messages")
        count = self._report_count.value
        if count == 0:
            return ()
        return _types_of(self._report[_REPORT_MESSAGES_AT:_REPORT_MESSAGES_AT + 2 * count])

    @property
    def state(self) -> Telemetry:
        """A copy of the current state."""
        status = self._lib.kor_device_get_state(self._live(), self._state)
        if status != _native.KOR_OK:
            _raise_for(status, "state")
        return _unpack(self._state)

    def encode_state(self, types, transmission=TransmissionType.UDP) -> bytes:
        """The current state encoded as one frame, as encode() does."""
        type_array, count = _type_list(types)
        framing = _transmission(transmission)
        handle = self._live()
        return _encode_with(
            lambda buffer, capacity, size: self._lib.kor_device_encode_state(
                handle, framing, type_array, count, buffer, capacity, size),
            "encode_state")

    def close(self):
        """Releases the decoder; the Device cannot be used afterwards."""
        if self._handle is not None:
            self._lib.kor_device_destroy(self._handle)
            self._handle = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __del__(self):
        if getattr(self, "_handle", None) is not None:
            self.close()
