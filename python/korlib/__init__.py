"""korlib: the Kor telemetry protocol for Python, over libKorLib's C interface.

    import korlib

    state = korlib.Telemetry(focus=1500, zoom=35.0, iris=2.8)
    frame = korlib.encode(state, [korlib.MessageType.BasicLens])

    device = korlib.Device()
    status = device.update(frame)          # korlib.FrameStatus.SameTimecode
    print(device.state.focus)              # 1500
    print(device.messages)                 # (<MessageType.BasicLens: 1>,)

    for report in device.update_frames(serial_chunk):   # every frame the chunk finishes
        print(report.status.name, [t.name for t in report.messages], report.state.focus)

    for frame in korlib.decode_capture("take.pcap"):
        if frame.status.applied:
            print(frame.datagram.time, frame.state.focus, frame.messages)

The library is found through KORLIB_LIBRARY (its path), beside this package, or in the
install prefix this package was installed into.
"""

from ._native import ABI_VERSION, LibraryNotFound
from .capture import (CaptureError, Datagram, DecodedFrame, decode_capture, read_capture,
                      read_capture_salvaged, write_capture)
from .telemetry import (STRING_CAPACITY, Device, FrameReport, FrameStatus, KorlibError,
                        MessageType, RadioControlValues, Telemetry, TransmissionType,
                        ZeissZdValues, encode, message_type_name, status_name)

__all__ = [
    "ABI_VERSION", "CaptureError", "Datagram", "DecodedFrame", "Device", "FrameReport",
    "FrameStatus", "KorlibError", "LibraryNotFound", "MessageType", "RadioControlValues",
    "STRING_CAPACITY", "Telemetry", "TransmissionType", "ZeissZdValues", "decode_capture",
    "encode", "library_version", "message_type_name", "read_capture", "read_capture_salvaged",
    "status_name", "write_capture",
]


def library_version() -> str:
    """The version of the loaded libKorLib, e.g. "1.6.0"."""
    from ._native import library
    return library().kor_version_string().decode("ascii")
