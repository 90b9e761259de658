#!/usr/bin/python3
"""kor-send.exe under Wine streams to a receiver on this (Linux) machine over loopback.

Runs kor-send.exe for a few seconds with its default stream (identity strings at 1 Hz,
lens and position at 24 fps) and, when the Linux build is there, the Linux kor-send with
the same options; a UDP socket here receives both. Checks the exit status, that every
datagram the program counted arrived, the frame rates measured at the receiver, and that
both builds send the same streams at the same rates.

    windows-send-check.py WIN_BUILD_DIR [LINUX_BUILD_DIR]
"""
import os
import socket
import subprocess
import sys
import tempfile
import time

SECONDS = 5
HERE = os.path.dirname(os.path.abspath(__file__))


def run(command):
    """Runs one sender against a fresh socket; returns (status, output, arrivals by type)."""
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
            data = receiver.recv(65536)
        except socket.timeout:
            if sender.poll() is not None:
                ended_at = ended_at or time.monotonic()
                if time.monotonic() - ended_at > 0.5:
                    break
            continue
        # The first record's type names the stream (byte 8, after the UDP frame header).
        kind = data[8] if len(data) > 8 else -1
        arrivals.setdefault(kind, []).append(time.monotonic())
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
    rates = sorted(rate(t) for t in arrivals.values())
    if len(rates) != 2 or abs(rates[0] - 1.0) > 0.05 or abs(rates[1] - 24.0) > 0.5:
        failures.append(f"{name}: expected streams at 1 Hz and 24 Hz, measured {rates}")
    return failures


def main():
    win_build = sys.argv[1]
    linux_build = sys.argv[2] if len(sys.argv) > 2 else None
    failures = []
    win = run([os.path.join(HERE, "wine-run.sh"), os.path.join(win_build, "bin", "kor-send.exe")])
    failures += check("kor-send.exe (Wine)", *win)
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
    for failure in failures:
        print("FAILED:", failure)
    print(f"kor-send end to end: {0 if failures else 1} passed, {len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
