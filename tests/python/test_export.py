"""python3 -m korlib export: on a capture recorded here from kor-send through kor-monitor
--record, row by row against kor-monitor's own JSON of the same frames; and its refusals."""

import csv
import datetime
import json
import os
import pty
import re
import stat
import subprocess
import sys
import time

import pytest

import korlib
from conftest import ROOT

PATIENCE = 60  # seconds; generous for a loaded machine and sanitizer builds
SEND = os.environ.get("KOR_SEND")
MONITOR = os.environ.get("KOR_MONITOR")


def run_export(*arguments, stderr=subprocess.PIPE, cwd=None):
    env = dict(os.environ, PYTHONPATH=str(ROOT / "python"), PYTHONDONTWRITEBYTECODE="1")
    return subprocess.run([sys.executable, "-m", "korlib", "export", *map(str, arguments)],
                          env=env, stdout=subprocess.PIPE, stderr=stderr, text=True,
                          timeout=PATIENCE, cwd=cwd)


def wait_for(condition, what):
    deadline = time.monotonic() + PATIENCE
    while not condition():
        if time.monotonic() > deadline:
            pytest.fail(f"timed out waiting for {what}")
        time.sleep(0.02)


@pytest.fixture(scope="module")
def recording(tmp_path_factory):
    """(capture path, kor-monitor's JSON lines) of 40 frames of kor-send's simulated
    stream, received and recorded by one kor-monitor."""
    if not (SEND and MONITOR):
        pytest.skip("KOR_SEND and KOR_MONITOR name no built tools")
    directory = tmp_path_factory.mktemp("recording")
    capture = directory / "take.pcap"
    out = open(directory / "monitor.out", "w+")
    err = open(directory / "monitor.err", "w+")
    monitor = subprocess.Popen([MONITOR, "--json", "--bind", "127.0.0.1", "--port", "0",
                                "--count", "40", "--record", str(capture)],
                               stdout=out, stderr=err)
    send = None
    try:
        def port():
            found = re.search(r"receiving from UDP 127\.0\.0\.1:(\d+)\D", open(err.name).read())
            return int(found.group(1)) if found else None

        wait_for(lambda: port() is not None or monitor.poll() is not None, "kor-monitor's port")
        assert port() is not None, open(err.name).read()
        send = subprocess.Popen([SEND, "--to", f"127.0.0.1:{port()}", "--simulate",
                                 "--duration", str(PATIENCE)],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        assert monitor.wait(timeout=PATIENCE) == 0, open(err.name).read()
    finally:
        for process in (send, monitor):
            if process is not None and process.poll() is None:
                process.kill()
                process.wait()
        out.close()
        err.close()
    lines = [json.loads(line) for line in open(out.name)]
    assert "summary" in lines.pop()  # the run's summary closes the JSON lines
    assert len(lines) == 40
    return capture, lines


def test_export_matches_the_monitors_json_field_by_field(recording, tmp_path):
    capture, lines = recording
    csv_path, json_path = tmp_path / "take.csv", tmp_path / "take.jsonl"
    result = run_export(capture, "--csv", csv_path, "--json", json_path)
    assert result.returncode == 0, result.stderr
    assert result.stderr == f"korlib export: 40 frames of 40 datagrams from {capture}\n"

    rows = [json.loads(line) for line in json_path.read_text().splitlines()]
    applied = [line for line in lines if line["status"] in ("NewTimecode", "SameTimecode")]
    assert len(rows) == len(applied) == 40
    compared = set()
    for number, (row, line) in enumerate(zip(rows, applied), 1):
        assert row["packet"] == number
        assert row["status"] == line["status"]
        for name, value in line.items():
            if name in row and name != "status":
                assert row[name] == value, (number, name)
                compared.add(name)
        if "projectFps" in line:
            # The rate the timecode counts in, as kor-send's --fps names it (24 by default).
            assert row["frameRate"] == {2: "24"}.get(line["projectFps"]), number
            compared.add("frameRate")
        if "timecodeHours" in line:
            assert row["timecode"] == "%02d:%02d:%02d:%02d" % tuple(
                line[f"timecode{part}"] for part in ("Hours", "Minutes", "Seconds", "Frames"))
            compared.add("timecode")
        # The capture holds the system's receive time, taken just before the monitor's.
        lag = line["receiveEpochSeconds"] - row["arrivalEpochSeconds"]
        assert -1e-6 <= lag < 5, (number, lag)
        # The ISO time and the epoch seconds name the same instant.
        whole = datetime.datetime.strptime(row["arrivalTime"][:19], "%Y-%m-%dT%H:%M:%S")
        stamp = whole.replace(tzinfo=datetime.timezone.utc).timestamp()
        assert row["arrivalTime"][19] == "." and row["arrivalTime"][29:] == "Z"
        stamp += int(row["arrivalTime"][20:29]) / 1e9
        assert abs(stamp - row["arrivalEpochSeconds"]) < 1e-6, row["arrivalTime"]
    # kor-send's stream carries all of these; each was checked against the monitor.
    assert {"timecode", "frameRate", "recordFlag", "focus", "zoom", "iris", "positionX",
            "positionZ", "roll", "yaw", "rollValid", "ptpSeconds", "tickCount", "channelId",
            "subjectId"} <= compared, compared
    # The simulation moves the lens: the rows are not all alike.
    assert len({row["focus"] for row in rows}) > 1

    with open(csv_path, newline="") as file:
        table = list(csv.reader(file))
    assert table[0] == list(rows[0])
    text = {True: "true", False: "false"}
    assert table[1:] == [[text.get(v, str(v)) if isinstance(v, bool) else
                          "" if v is None else str(v) for v in row.values()] for row in rows]


def test_export_shows_progress_on_a_terminal(recording, tmp_path):
    capture, _ = recording
    leader, follower = pty.openpty()
    try:
        result = run_export(capture, "--json", tmp_path / "out.jsonl", stderr=follower)
        os.close(follower)
        follower = None
        shown = b""
        while True:
            try:
                chunk = os.read(leader, 4096)
            except OSError:
                break
            if not chunk:
                break
            shown += chunk
    finally:
        if follower is not None:
            os.close(follower)
        os.close(leader)
    assert result.returncode == 0
    assert b"\rkorlib export: take.pcap [" in shown and b"100% 40/40" in shown


def truncated(path, data):
    path.write_bytes(data)
    return path


@pytest.mark.parametrize("make, message", [
    (lambda d: truncated(d / "notes.txt", b"take 1, focus pull\n"),
     "{path}: not a pcap capture (magic number 0x656b6174) at offset 0"),
    (lambda d: truncated(d / "cut.pcap", (d / "full.pcap").read_bytes()[:-5]),
     "{path}: capture cut short inside packet 3 (62 bytes announced, 57 present) at offset "
     "177"),
    (lambda d: d / "missing.pcap", "cannot read {path}: No such file or directory"),
])
def test_bad_input_is_one_line_with_status_2_and_no_output(tmp_path, make, message):
    frame = korlib.encode(korlib.Telemetry(focus=1), [korlib.MessageType.BasicLens])
    korlib.write_capture(tmp_path / "full.pcap",
                         [(n, ("127.0.0.1", 1), ("127.0.0.1", 2), frame + bytes(n))
                          for n in range(3)])
    path = make(tmp_path)
    out = tmp_path / "out.csv"
    result = run_export(path, "--csv", out)
    assert result.returncode == 2
    assert result.stderr == "korlib export: " + message.format(path=path) + "\n"
    assert not out.exists()
    assert sorted(p.name for p in tmp_path.iterdir() if p.name.startswith(".korlib")) == []


@pytest.mark.parametrize("arguments, text", [
    ([], "the following arguments are required: CAPTURE.pcap"),
    (["take.pcap"], "export needs --csv OUT.csv or --json OUT.jsonl"),
    (["take.pcap", "--csv"], "argument --csv: expected one argument"),
    (["take.pcap", "--csv", "x.csv", "--port", "http"], "argument --port: invalid int value"),
])
def test_bad_options_are_one_line_with_status_2(arguments, text):
    result = run_export(*arguments)
    assert result.returncode == 2
    assert result.stderr.count("\n") == 1 and text in result.stderr, result.stderr


def small_capture(path, frames=3, port=2):
    """A capture of `frames` BasicLens frames, focus 1, 2, ..., sent to `port`."""
    korlib.write_capture(path, [
        (n, ("127.0.0.1", 1), ("127.0.0.1", port),
         korlib.encode(korlib.Telemetry(focus=n + 1), [korlib.MessageType.BasicLens]))
        for n in range(frames)])
    return path


def csv_focus(path):
    return [int(row["focus"]) for row in csv.DictReader(open(path))]


def test_one_file_for_both_outputs_or_for_the_capture_is_refused(tmp_path):
    capture = small_capture(tmp_path / "take.pcap")
    kept = capture.read_bytes()
    (tmp_path / "sub").mkdir()
    (tmp_path / "old.out").write_text("kept\n")
    os.link(tmp_path / "old.out", tmp_path / "hard.out")
    os.symlink(tmp_path / "old.out", tmp_path / "soft.out")
    for csv_path, json_path in [("same.out", "same.out"), ("same.out", "./same.out"),
                                ("same.out", "sub/../same.out"),
                                ("same.out", str(tmp_path / "same.out")),
                                ("old.out", "hard.out"), ("soft.out", "old.out"), ("-", "-")]:
        result = run_export(capture, "--csv", csv_path, "--json", json_path, cwd=tmp_path)
        assert result.returncode == 2, (csv_path, json_path)
        assert result.stderr.count("\n") == 1 and "name one file" in result.stderr, result.stderr
        assert result.stdout == ""
    for name in ("take.pcap", "./take.pcap"):
        result = run_export(capture, "--json", name, cwd=tmp_path)
        assert result.returncode == 2
        assert result.stderr.count("\n") == 1 and "is the capture itself" in result.stderr
    assert capture.read_bytes() == kept
    assert (tmp_path / "old.out").read_text() == "kept\n"
    assert sorted(p.name for p in tmp_path.iterdir()) == [
        "hard.out", "old.out", "soft.out", "sub", "take.pcap"]


def test_ports_outside_0_to_65535_are_refused(tmp_path):
    capture = small_capture(tmp_path / "take.pcap", port=65535)
    for port in ("99999", "65536", "-1"):
        result = run_export(capture, "--csv", tmp_path / "out.csv", "--port", port)
        assert result.returncode == 2, port
        assert result.stderr.count("\n") == 1 and "is not a UDP port (0 to 65535)" in \
            result.stderr, result.stderr
        assert not (tmp_path / "out.csv").exists()
    for port, frames in (("65535", 3), ("0", 0)):
        result = run_export(capture, "--csv", tmp_path / "out.csv", "--port", port)
        assert result.returncode == 0, result.stderr
        assert len(csv_focus(tmp_path / "out.csv")) == frames


@pytest.mark.parametrize("umask", [0o022, 0o002, 0o077])
def test_new_files_get_the_mode_the_umask_allows(tmp_path, umask):
    capture = small_capture(tmp_path / "take.pcap")
    old = os.umask(umask)
    try:
        result = run_export(capture, "--csv", tmp_path / "a.csv", "--json", tmp_path / "a.jsonl")
    finally:
        os.umask(old)
    assert result.returncode == 0, result.stderr
    for name in ("a.csv", "a.jsonl"):
        assert stat.S_IMODE(os.stat(tmp_path / name).st_mode) == 0o666 & ~umask, name


def test_a_replaced_file_keeps_its_mode(tmp_path):
    capture = small_capture(tmp_path / "take.pcap")
    out = tmp_path / "out.csv"
    out.write_text("old\n")
    os.chmod(out, 0o640)
    result = run_export(capture, "--csv", out)
    assert result.returncode == 0, result.stderr
    assert stat.S_IMODE(os.stat(out).st_mode) == 0o640
    assert csv_focus(out) == [1, 2, 3]


def test_salvage_exports_the_packets_before_the_cut(tmp_path):
    whole = small_capture(tmp_path / "whole.pcap", frames=4).read_bytes()
    cut = tmp_path / "cut.pcap"
    cut.write_bytes(whole[:-10])  # the recording was killed inside the fourth packet
    out = tmp_path / "out.csv"
    refused = run_export(cut, "--csv", out)
    assert refused.returncode == 2 and not out.exists()
    assert refused.stderr.count("\n") == 1

    result = run_export(cut, "--csv", out, "--salvage")
    assert result.returncode == 0, result.stderr
    assert csv_focus(out) == [1, 2, 3]
    warning = result.stderr.splitlines()[0]
    assert warning.startswith(f"korlib export: warning: {cut}: capture cut short inside packet "
                              "4 ("), warning
    packet_size = (len(whole) - 24) // 4
    assert f" at offset {24 + 3 * packet_size}; exporting the 3 datagrams before it" in warning

    # A header cut short is refused even with --salvage: nothing in it can be trusted.
    (tmp_path / "header.pcap").write_bytes(whole[:20])
    result = run_export(tmp_path / "header.pcap", "--csv", out, "--salvage")
    assert result.returncode == 2 and "global header" in result.stderr
