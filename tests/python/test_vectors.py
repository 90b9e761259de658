"""Every published vector (vectors/*.json) through the korlib package: the record encoded
must give the frame byte for byte, and the frame decoded must give the status and fields."""

import json
import math

import pytest

import korlib
from conftest import VECTORS

FILES = ["framing", "messages", "limits", "malformed"]


def load_cases():
    cases = []
    for name in FILES:
        for case in json.loads((VECTORS / f"{name}.json").read_text()):
            cases.append(pytest.param(case, id=f"{name}:{case['name']}"))
    return cases


CASES = load_cases()


def parse_hex(text):
    return bytes.fromhex(text)


def to_value(value):
    """A vector value as korlib takes it: {"hex": ...} is bytes, a string is its bytes,
    "NaN" and the infinities are floats."""
    if isinstance(value, dict) and set(value) == {"hex"}:
        return parse_hex(value["hex"])
    if value in ("NaN", "Infinity", "-Infinity"):
        return float(value.replace("Infinity", "inf"))
    if isinstance(value, str):
        return value.encode("latin-1")
    return value


def flatten(fields, prefix=""):
    """(holder path, name, value) for every field, nested blocks as "zeissZd"."""
    for key, value in fields.items():
        if isinstance(value, dict) and "hex" not in value:
            yield from ((key, name, v) for _, name, v in flatten(value))
        else:
            yield prefix, key, value


def holder(state, path):
    return getattr(state, path) if path else state


def matches(held, want):
    if isinstance(held, list):
        return isinstance(want, list) and len(held) == len(want) and all(
            matches(h, w) for h, w in zip(held, want))
    want = to_value(want)
    if isinstance(held, float):
        want = float(want)
        if math.isnan(held) or math.isnan(want):
            return math.isnan(held) and math.isnan(want)
        return held == want or abs(held - want) <= 1e-4 * max(1.0, abs(want))
    return held == want


@pytest.mark.parametrize("case", [c for c in CASES if "record" in c.values[0]])
def test_encode(case):
    state = korlib.Telemetry()
    for path, name, value in flatten(case["record"]):
        target = holder(state, path)
        assert hasattr(target, name), f"no field {path}.{name}"
        setattr(target, name, [to_value(v) for v in value] if isinstance(value, list)
                else to_value(value))
    types = [korlib.MessageType[t] for t in case["messageTypes"]]
    transmission = korlib.TransmissionType[case["transmissionType"]]
    assert korlib.encode(state, types, transmission).hex(" ").upper() == case["frame"]


@pytest.mark.parametrize("case", CASES)
def test_decode(case):
    with korlib.Device() as device:
        status = device.update(parse_hex(case["frame"]))
        state = device.state
    assert status is korlib.FrameStatus[case["decode"]["status"]]
    wrong = {f"{path}.{name}".lstrip("."): (getattr(holder(state, path), name), want)
             for path, name, want in flatten(case["decode"]["fields"])
             if not matches(getattr(holder(state, path), name), want)}
    assert not wrong, wrong

