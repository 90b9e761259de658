"""The korlib package itself: its enums against the C++ headers, the decoder's life cycle,
refusal of bad input with exceptions that name the problem, and finding the library."""

import os
import re
import subprocess
import sys

import pytest

import korlib
from conftest import ROOT


def header_enum(header, name):
    """{enumerator: value} of a C++ enum class in a public header."""
    text = (ROOT / "lib/protocol/include/kor" / header).read_text()
    body = re.search(r"enum class " + name + r"\b[^{]*\{(.*?)\};", text, re.S).group(1)
    return {m.group(1): int(m.group(2)) for m in re.finditer(r"(\w+)\s*=\s*(\d+)", body)}


@pytest.mark.parametrize("enum, header, name", [
    (korlib.MessageType, "telemetry.h", "MessageType"),
    (korlib.TransmissionType, "telemetry.h", "TransmissionType"),
    (korlib.FrameStatus, "device.h", "FrameStatus"),
])
def test_enums_carry_the_cpp_names_and_values(enum, header, name):
    assert {member.name: member.value for member in enum} == header_enum(header, name)


def test_round_trip_through_device_with_every_string_byte():
    state = korlib.Telemetry(timecodeHours=1, timecodeFrames=23, recordFlag=True, focus=2500,
                             zoom=50.0, iris=4.0, positionX=-1234.5, roll=12.25,
                             productBrand=bytes(range(65)), channelId=3, subjectId=7)
    types = [korlib.MessageType.Timecode, korlib.MessageType.BasicLens,
             korlib.MessageType.PositionalData, korlib.MessageType.AxesData,
             korlib.MessageType.ProductBrand, korlib.MessageType.ChannelId,
             korlib.MessageType.SubjectId]
    for transmission in korlib.TransmissionType:
        frame = korlib.encode(state, types, transmission)
        with korlib.Device() as device:
            assert device.update(frame) is korlib.FrameStatus.NewTimecode
            got = device.state
            assert device.encode_state(types, transmission) == frame
        assert got.productBrand == bytes(range(65))
        assert (got.timecodeHours, got.timecodeFrames, got.recordFlag) == (1, 23, True)
        assert (got.focus, got.zoom, got.positionX, got.roll) == (2500, 50.0, -1234.5, 12.25)
        assert (got.channelId, got.subjectId, got.positionXValid) == (3, 7, True)


def test_device_from_a_state_and_after_close():
    device = korlib.Device(korlib.Telemetry(focus=77, productName=b"x" * 80))
    assert device.state.focus == 77
    assert device.state.productName == b"x" * 65  # cut as the encoder cuts it
    # A serial chunk without its closing delimiter finishes nothing.
    assert device.update(bytearray(b"\x00\x02\x18")) is korlib.FrameStatus.Incomplete
    assert device.update(b"") is korlib.FrameStatus.Incomplete
    device.close()
    with pytest.raises(ValueError, match="closed"):
        device.update(b"\x00")
    device.close()  # twice is harmless


@pytest.mark.parametrize("change, error, text", [
    ({"focus": -1}, ValueError, r"focus: -1 is outside 0\.\.4294967295"),
    ({"timecodeHours": 256}, ValueError, r"timecodeHours: 256 is outside 0\.\.255"),
    ({"ptpSeconds": 1 << 64}, ValueError, r"ptpSeconds: .* is outside"),
    ({"zoom": "35"}, TypeError, r"zoom must be a number, not str"),
    ({"zoom": 1e39}, ValueError, r"zoom: 1e\+39 does not fit a 32-bit float"),
    ({"productBrand": "Cam"}, TypeError, r"productBrand must be bytes, not str"),
    ({"focusValid": "yes"}, TypeError, r"focusValid must be True or False"),
    ({"channelId": 2.0}, TypeError, r"channelId must be an integer, not float"),
    ({"rawAxesEncoders": [1, 2]}, ValueError, r"rawAxesEncoders must hold 3 values, not 2"),
    ({"rawAxesEncoders": 5}, TypeError, r"rawAxesEncoders must be a list of 3"),
])
def test_encode_refuses_values_that_do_not_fit(change, error, text):
    state = korlib.Telemetry(**change)
    with pytest.raises(error, match=text):
        korlib.encode(state, [korlib.MessageType.BasicLens])
    with pytest.raises(error, match=text):
        korlib.Device(state)


@pytest.mark.parametrize("nested, error, text", [
    ({"entrancePupilPosition": 40000}, ValueError, r"zeissZd\.entrancePupilPosition: 40000"),
    ({"shading": [0.0] * 5}, ValueError, r"zeissZd\.shading must hold 6 values"),
    ({"shading": [0.0] * 5 + [None]}, TypeError, r"zeissZd\.shading\[5\] must be a number"),
])
def test_encode_names_the_nested_field(nested, error, text):
    state = korlib.Telemetry(zeissZd=korlib.ZeissZdValues(**nested))
    with pytest.raises(error, match=text):
        korlib.encode(state, [korlib.MessageType.ZeissZdData])


@pytest.mark.parametrize("call, error, text", [
    (lambda: korlib.encode({"focus": 1}, []), TypeError, r"expected a korlib\.Telemetry"),
    (lambda: korlib.encode(korlib.Telemetry(), [200]), ValueError,
     r"200 is not a MessageType"),
    (lambda: korlib.encode(korlib.Telemetry(), ["Basic"]), ValueError,
     r"'Basic' is not a MessageType name"),
    (lambda: korlib.encode(korlib.Telemetry(), [1.0]), TypeError, r"1\.0 is not a MessageType"),
    (lambda: korlib.encode(korlib.Telemetry(), korlib.MessageType.BasicLens), TypeError,
     r"types must be a list"),
    (lambda: korlib.encode(korlib.Telemetry(), [], 256), ValueError,
     r"transmission 256 is outside 0\.\.255"),
    (lambda: korlib.Device().update("00ff00"), TypeError, r"update takes bytes, not str"),
    (lambda: korlib.Device().encode_state([1], "udp"), ValueError,
     r"'udp' is not a TransmissionType name"),
    (lambda: korlib.encode(korlib.Telemetry(zeissZd={"apperture": 2.8}), []), TypeError,
     r"zeissZd: .*'apperture'"),
    (lambda: korlib.encode(korlib.Telemetry(radioControl=4), []), TypeError,
     r"radioControl must be a korlib\.RadioControlValues, not int 4"),
])
def test_calls_refuse_bad_arguments(call, error, text):
    with pytest.raises(error, match=text):
        call()


def test_names_and_blocks_given_as_dictionaries():
    by_name = korlib.encode(korlib.Telemetry(zeissZd={"aperture": 2.8}, channelId=4),
                            ["ZeissZdData", "ChannelId"], "Serial")
    by_value = korlib.encode(korlib.Telemetry(zeissZd=korlib.ZeissZdValues(aperture=2.8),
                                              channelId=4),
                             [korlib.MessageType.ZeissZdData, korlib.MessageType.ChannelId],
                             korlib.TransmissionType.Serial)
    assert by_name == by_value


def test_records_alone_for_other_transmission_values():
    frame = korlib.encode(korlib.Telemetry(channelId=5),
                          [korlib.MessageType.ChannelId] * 100, transmission=7)
    assert frame == bytes([24, 0, 5]) * 100  # more than one frame buffer: the size is asked


def run_python(code, **environment):
    env = dict(os.environ, PYTHONPATH=str(ROOT / "python"), PYTHONDONTWRITEBYTECODE="1")
    env.update(environment)
    return subprocess.run([sys.executable, "-c", code], env=env, capture_output=True,
                          text=True, timeout=60)


def test_a_library_that_cannot_be_loaded_is_named():
    result = run_python("import korlib; korlib.Device()",
                        KORLIB_LIBRARY="/nonexistent/libKorLib.so.1")
    assert result.returncode != 0
    assert "LibraryNotFound: cannot load KORLIB_LIBRARY: /nonexistent/libKorLib.so.1: " \
        in result.stderr


def test_the_library_is_found_beside_the_package(tmp_path):
    library = os.environ.get("KORLIB_LIBRARY")
    if not library:
        pytest.skip("KORLIB_LIBRARY names no built library")
    package = tmp_path / "korlib"
    package.mkdir()
    for source in (ROOT / "python/korlib").glob("*.py"):
        (package / source.name).write_bytes(source.read_bytes())
    os.symlink(library, package / "libKorLib.so.1")
    env = dict(os.environ, PYTHONPATH=str(tmp_path), PYTHONDONTWRITEBYTECODE="1")
    env.pop("KORLIB_LIBRARY")
    result = subprocess.run(
        [sys.executable, "-c", "import korlib; print(korlib.library_version(), "
                               "korlib.Device().state.channelId)"],
        env=env, capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    version = re.search(r"VERSION (\d+\.\d+\.\d+)",
                        (ROOT / "CMakeLists.txt").read_text()).group(1)
    assert result.stdout.split() == [version, "255"]
