#!/usr/bin/python3
"""kor-send.exe under Wine streams to a receiver on this (Linux) machine over loopback.

Runs kor-send.exe for a few seconds with its default stream (identity strings at 1 Hz,
lens and position at 24 fps) and, when the Linux build is there, the Linux kor-send with
the same options; a UDP socket here receives both. Checks the exit status, that every
datagram the program counted arrived, the frame rates measured at the receiver, and that
both builds send the same streams at the same rates. Then kor-send.exe --cameras 3: three
sources (source ports) with subjects 1 to 3 and three product serials, each with both
streams at their rates; and, when the Linux build is there, the same three cameras received
by the Linux kor-monitor, whose summary must list three sources.

    windows-send-check.py WIN_BUILD_DIR [LINUX_BUILD_DIR]
"""
import json
import os
import socket
import subprocess
import sys
import tempfile
import time

SECONDS = 5
SUBJECT_ID = 0x1B
PRODUCT_SERIAL = 0x05
HERE = os.path.dirname(os.path.abspath(__file__))


def records(data):
    """The (type, payload) records of a UDP frame, after its 8-byte header."""
    found = []
    i = 8
    while i + 2 <= len(data):
        size = data[i + 1] + 1
        found.append((data[i], data[i + 2:i + 2 + size]))
        i += 2 + size
    return found


def run(command, by_source=None):
    """Runs one sender against a fresh socket; returns (status, output, arrivals by type).

    With `by_source` (a dict), also fills it with each source port's arrivals by type,
    subject IDs and product serials."""
    receiver = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    receiver.bind(("127.0.0.1", 0))
    receiver.settimeout(0.2)
    port = receiver.getsockname()[1]
    # Output to a file, not a pipe: Wine's own services may inherit and keep a pipe open.
    log = tempfile.TemporaryFile(mode="w+")
    sender = subprocess.Popen(command + ["--to", f"127.0.0.1:{port}", "--duration", str(SECONDS)],
                              stdout=log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
    arrivals = {}
    deadline = time.monotonic() + SECONDS + 60
    ended_at = None
    while time.monotonic() < deadline:
        try:
            data, (_, source_port) = receiver.recvfrom(65536)
        except socket.timeout:
            if sender.poll() is not None:
                ended_at = ended_at or time.monotonic()
                if time.monotonic() - ended_at > 0.5:
                    break
            continue
        # The first record's type names the stream (byte 8, after the UDP frame header).
        kind = data[8] if len(data) > 8 else -1
        now = time.monotonic()
        arrivals.setdefault(kind, []).append(now)
        if by_source is not None:
            source = by_source.setdefault(source_port,
                                          {"arrivals": {}, "subjects": set(), "serials": set()})
            source["arrivals"].setdefault(kind, []).append(now)
            for record_type, payload in records(data):
                if record_type == SUBJECT_ID and len(payload) == 2:
                    source["subjects"].add(int.from_bytes(payload, "big"))
                elif record_type == PRODUCT_SERIAL:
                    source["serials"].add(payload.decode("utf-8", "replace"))
    if sender.poll() is None:
        sender.kill()
    sender.wait()
    log.seek(0)
    output = log.read()
    log.close()
    receiver.close()
    return sender.returncode, output, arrivals


def rate(times):
    return (len(times) - 1) / (times[-1] - times[0]) if len(times) > 1 else 0.0


def number_after(text, label):
    at = text.find(label)
    return int(text[at + len(label):].split()[0].rstrip(",")) if at >= 0 else -1


def check_rates(name, arrivals):
    rates = sorted(rate(t) for t in arrivals.values())
    if len(rates) != 2 or abs(rates[0] - 1.0) > 0.05 or abs(rates[1] - 24.0) > 0.5:
        return [f"{name}: expected streams at 1 Hz and 24 Hz, measured {rates}"]
    return []


def check_cameras(name, status, output, arrivals, sources):
    """Three sources from one kor-send --cameras 3: subjects 1 to 3, three serials."""
    failures = []
    received = sum(len(t) for t in arrivals.values())
    sent = number_after(output, "datagrams sent: ")
    print(f"{name}: exit {status}, sent {sent}, received {received}; sources " +
          "; ".join(f"port {port}: subjects {sorted(s['subjects'])}, serials "
                    f"{sorted(s['serials'])}" for port, s in sorted(sources.items())))
    if status != 0:
        failures.append(f"{name} exited with {status}:\n{output}")
    if sent != received:
        failures.append(f"{name} counted {sent} datagrams, {received} arrived")
    if len(sources) != 3:
        failures.append(f"{name}: {len(sources)} source ports instead of 3")
    subjects = [sorted(s["subjects"]) for s in sources.values()]
    if sorted(subjects) != [[1], [2], [3]]:
        failures.append(f"{name}: subjects {subjects} instead of 1, 2 and 3, one per source")
    serials = sorted(serial for s in sources.values() for serial in s["serials"])
    if len(serials) != 3 or len(set(serials)) != 3 or \
            not all(serial.endswith(f"-{k}") for k, serial in zip((1, 2, 3), serials)):
        failures.append(f"{name}: serials {serials} instead of three ending -1, -2 and -3")
    for port, source in sorted(sources.items()):
        failures += check_rates(f"{name} source port {port}", source["arrivals"])
    return failures


def check_monitor(win_send, monitor):
    """kor-send.exe --cameras 3 into the Linux kor-monitor: three sources in its summary,
    subjects 1 to 3, each with its own serial and about 24 frames a second of lens data."""
    name = "kor-send.exe --cameras 3 (Wine) to kor-monitor (Linux)"
    probe = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    probe.bind(("127.0.0.1", 0))
    port = probe.getsockname()[1]
    probe.close()
    log = tempfile.TemporaryFile(mode="w+")
    # The monitor listens longer than the sender sends: Wine takes a moment to start.
    receiver = subprocess.Popen([monitor, "--port", str(port), "--bind", "127.0.0.1", "--json",
                                 "--duration", str(SECONDS + 15)],
                                stdout=log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
    time.sleep(0.5)
    sender = subprocess.run(win_send + ["--cameras", "3", "--to", f"127.0.0.1:{port}",
                                        "--duration", str(SECONDS)],
                            stdout=subprocess.DEVNULL, stderr=subprocess.STDOUT,
                            stdin=subprocess.DEVNULL, timeout=SECONDS + 60)
    receiver.wait(timeout=SECONDS + 60)
    log.seek(0)
    lines = log.read().splitlines()
    log.close()
    summary = {}
    for line in lines:
        try:
            summary = json.loads(line).get("summary", summary)
        except ValueError:
            pass
    sources = summary.get("sources", [])
    found = sorted((s.get("subjectId"), s.get("productSerial")) for s in sources)
    print(f"{name}: sender exit {sender.returncode}, monitor exit {receiver.returncode}; "
          f"sources {found}")
    failures = []
    if sender.returncode != 0 or receiver.returncode != 0:
        failures.append(f"{name}: exit {sender.returncode} (sender), "
                        f"{receiver.returncode} (monitor)")
    if [subject for subject, _ in found] != [1, 2, 3]:
        failures.append(f"{name}: the monitor saw {found} instead of subjects 1 to 3")
    if len({serial for _, serial in found}) != 3:
        failures.append(f"{name}: the monitor saw serials {found}, not three different ones")
    return failures


def check(name, status, output, arrivals):
    failures = []
    received = sum(len(t) for t in arrivals.values())
    sent = number_after(output, "datagrams sent: ")
    print(f"{name}: exit {status}, sent {sent}, received {received}; " +
          ", ".join(f"type 0x{k:02x}: {len(t)} at {rate(t):.3f} Hz"
                    for k, t in sorted(arrivals.items())))
    if status != 0:
        failures.append(f"{name} exited with {status}:\n{output}")
    if sent != received:
        failures.append(f"{name} counted {sent} datagrams, {received} arrived")
    failures += check_rates(name, arrivals)
    return failures


def main():
    win_build = sys.argv[1]
    linux_build = sys.argv[2] if len(sys.argv) > 2 else None
    failures = []
    win_send = [os.path.join(HERE, "wine-run.sh"), os.path.join(win_build, "bin", "kor-send.exe")]
    win = run(win_send)
    failures += check("kor-send.exe (Wine)", *win)
    sources = {}
    cameras = run(win_send + ["--cameras", "3"], sources)
    failures += check_cameras("kor-send.exe --cameras 3 (Wine)", *cameras, sources)
    linux_send = linux_build and os.path.join(linux_build, "tools", "send", "kor-send")
    if linux_send and os.access(linux_send, os.X_OK):
        linux = run([linux_send])
        failures += check("kor-send (Linux)", *linux)
        if sorted(win[2]) != sorted(linux[2]):
            failures.append(f"the builds send different streams: {sorted(win[2])} and "
                            f"{sorted(linux[2])}")
        for kind in set(win[2]) & set(linux[2]):
            if abs(len(win[2][kind]) - len(linux[2][kind])) > 2:
                failures.append(f"type 0x{kind:02x}: {len(win[2][kind])} frames from "
                                f"Windows, {len(linux[2][kind])} from Linux")
    else:
        print("the Linux kor-send is not built: compared with the expected rates only")
    linux_monitor = linux_build and os.path.join(linux_build, "tools", "monitor", "kor-monitor")
    if linux_monitor and os.access(linux_monitor, os.X_OK):
        failures += check_monitor(win_send, linux_monitor)
    else:
        print("the Linux kor-monitor is not built: three cameras checked with a socket only")
    for failure in failures:
        print("FAILED:", failure)
    print(f"kor-send end to end: {0 if failures else 1} passed, {len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
