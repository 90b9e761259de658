"""Frame reports in korlib: Device.messages, Device.update_frames on a serial stream cut
anywhere and on every refused kind of frame, DecodedFrame.messages, and the library's names."""

import pytest

import korlib
from korlib import FrameStatus as S
from korlib import MessageType as T

# Written by hand: 18 00 07 is ChannelId 7 (checksum E0), 18 00 09 channel 9 (DE); the lens
# frame holds Timecode 10:20:30:12 and BasicLens (its records sum to 0x30, checksum CF).
LENS = bytes.fromhex("00 01 08 03 10 20 30 12 01 07 03 05 DC 06 0D AC 01 18 CF 00")
STREAM = b"".join([
    bytes.fromhex("41 42"),                 # before the first delimiter: ignored
    LENS,
    bytes.fromhex("00"),                    # a repeated delimiter: nothing
    bytes.fromhex("02 18 03 07 E1 00"),     # checksum off by one
    bytes.fromhex("02 18 03 07 E0 00"),
    bytes.fromhex("41 42 00"),              # garbage between delimiters
    bytes.fromhex("02 18 04 09 DE 00"),     # a code byte pointing past the checksum
    bytes.fromhex("05 1C 01 01 00"),        # type 28
    bytes.fromhex("03 03 FF 07 00"),        # length 255
    bytes.fromhex("02 0D 03 06 EC 00"),     # ProjectFps 6
    b"\x41" * 257 + b"\x00",                # overflow at the 257th byte
    bytes.fromhex("02 18 03 09 DE 00"),
])
EXPECTED = [
    (S.NewTimecode, (T.Timecode, T.BasicLens), 255),
    (S.ChecksumError, (), 255),
    (S.SameTimecode, (T.ChannelId,), 7),
    (S.FramingError, (), 7),
    (S.FramingError, (), 7),
    (S.BadMessageType, (), 7),
    (S.PayloadTooLong, (), 7),
    (S.MessageRejected, (), 7),
    (S.LengthError, (), 7),
    (S.SameTimecode, (T.ChannelId,), 9),
]
HEADER = bytes.fromhex("00 FF 00 00 00 00 00 00")


def seen(reports):
    return [(r.status, r.messages, r.state.channelId) for r in reports]


@pytest.mark.parametrize("step", [1, 7, 50])
def test_update_frames_reports_every_frame_wherever_the_stream_is_cut(step):
    for split in range(0, len(STREAM) + 1, step):
        with korlib.Device() as device:
            first = device.update_frames(STREAM[:split])
            second = device.update_frames(bytearray(STREAM[split:]))
            assert seen(first + second) == EXPECTED, f"split at {split}"
            # The last report of the latest call is what messages shows.
            assert device.messages == (second[-1].messages if second else ())


def test_update_frames_on_datagrams_gives_one_report_each():
    cases = [
        (HEADER + bytes.fromhex("18 00 05 1B 00 2A"), S.SameTimecode,
         (T.ChannelId, T.SubjectId)),
        (HEADER + bytes.fromhex("18 00 05 18 00 06"), S.SameTimecode, (T.ChannelId,) * 2),
        (HEADER[:-1] + bytes.fromhex("01 18 00 07"), S.HeaderError, ()),
        (HEADER + bytes.fromhex("18 00"), S.LengthError, ()),
        (HEADER + bytes.fromhex("18 00 07 11 00 00"), S.MessageRejected, ()),
    ]
    with korlib.Device() as device:
        for datagram, status, messages in cases:
            reports = device.update_frames(memoryview(datagram))
            assert [(r.status, r.messages) for r in reports] == [(status, messages)]
            assert device.update(datagram) is status
            assert device.messages == messages


def test_messages_after_update():
    with korlib.Device() as device:
        assert device.messages == ()
        assert device.update(STREAM[:2 + len(LENS)]) is S.NewTimecode
        assert device.messages == (T.Timecode, T.BasicLens)
        assert all(isinstance(t, T) for t in device.messages)
        # A chunk that finishes nothing leaves nothing; a refused frame has no types.
        assert device.update(b"\x02\x18") is S.Incomplete
        assert device.messages == ()
        assert device.update(bytes.fromhex("03 07 E1 00")) is S.ChecksumError
        assert device.messages == ()
        device.close()
        with pytest.raises(ValueError, match="closed"):
            device.messages
        with pytest.raises(ValueError, match="closed"):
            device.update_frames(LENS)


def test_update_frames_raises_what_reading_a_report_raised(monkeypatch):
    def broken(_self):
        raise RuntimeError("no state")
    monkeypatch.setattr(korlib.Device, "state", property(broken))
    with korlib.Device() as device:
        with pytest.raises(RuntimeError, match="no state"):
            device.update_frames(LENS)
        with pytest.raises(TypeError, match="update_frames takes bytes, not str"):
            device.update_frames("00")


def test_names_come_from_the_library_and_match_the_enums():
    for member in T:
        assert korlib.message_type_name(member) == member.name
        assert korlib.message_type_name(int(member)) == member.name
    for member in S:
        assert korlib.status_name(member) == member.name
    assert [korlib.message_type_name(v) for v in (28, -1, 1 << 40)] == ["Unknown"] * 3
    assert korlib.status_name(-3) == "KOR_ERROR_OUT_OF_MEMORY"
    assert korlib.status_name(10) == "unknown"
    with pytest.raises(TypeError):
        korlib.message_type_name("BasicLens")


def test_decoded_frames_carry_their_messages_and_still_unpack_in_three(tmp_path):
    frames = [HEADER + bytes.fromhex("00 03 10 20 30 12 18 00 05"),
              HEADER + bytes.fromhex("18 00 07 1C 00 07"),
              HEADER + bytes.fromhex("1B 00 2A 1B 01 00 2B 18 00 03")]
    path = tmp_path / "take.pcap"
    korlib.write_capture(path, [(n, ("10.0.0.2", 4000), ("127.0.0.1", 33322), f)
                                for n, f in enumerate(frames)])
    decoded = list(korlib.decode_capture(path))
    assert [d.messages for d in decoded] == [
        (T.Timecode, T.ChannelId), (), (T.SubjectId, T.SubjectId, T.ChannelId)]
    datagram, status, state = decoded[2]
    assert (status, state.subjectId, state.channelId) == (S.SameTimecode, 0x2B, 3)
    assert "messages=(<MessageType.SubjectId: 27>" in repr(decoded[2])
