#!/usr/bin/python3
"""States decoded per second by korlib.decode_capture, and by the C interface alone, on
one capture of kor-send-like frames (100,000 by default).

    bench/korlib_bench.py [--frames N] [--runs N] [--c-bench PATH] [--keep PATH]

Needs the korlib package on PYTHONPATH (python/) and the library (KORLIB_LIBRARY, or the
package's own search); `make bench-korlib` sets both up."""

import argparse
import os
import subprocess
import sys
import tempfile
import time

import korlib

M = korlib.MessageType
# What kor-send sends at the project frame rate, and its identity strings once a second.
FRAME_TYPES = [M.ProjectFps, M.BasicLens, M.RawLensEncoderWithMask, M.LensProperties,
               M.PositionalData, M.AxesData, M.SubjectId, M.ChannelId, M.Timecode,
               M.PtpTimestamp, M.TickCount]
IDENTITY_TYPES = [M.ProductBrand, M.ProductName, M.ProductSerial, M.LensManufacturer,
                  M.LensName, M.LensSerial, M.Timecode, M.PtpTimestamp, M.TickCount]


def write_sample_capture(path, frames):
    state = korlib.Telemetry(projectFps=2, minFocalLength=24.0, maxFocalLength=70.0,
                             minIris=2.8, maxIris=22.0, channelId=1, subjectId=1,
                             productBrand=b"Camera", productName=b"Model 1",
                             productSerial=b"0001", lensManufacturer=b"Lens",
                             lensName=b"24-70", lensSerial=b"L-0001", tickCountType=1)
    start_ns = 1_700_000_000_000_000_000
    period_ns = 1_000_000_000 // 24

    def datagrams():
        for n in range(frames):
            seconds, frame = divmod(n, 24)
            state.timecodeHours, rest = divmod(seconds, 3600)
            state.timecodeHours %= 24
            state.timecodeMinutes, state.timecodeSeconds = divmod(rest, 60)
            state.timecodeFrames = frame
            state.focus = 500 + n % 5000
            state.zoom = 24.0 + (n % 460) / 10
            state.iris = 2.8 + (n % 50) / 10
            state.positionX, state.positionY, state.positionZ = n % 1000, -(n % 700), 1500.0
            state.roll, state.pitch, state.yaw = (n % 90) / 4, -(n % 60) / 4, (n % 360) / 2
            time_ns = start_ns + n * period_ns
            state.ptpSeconds, state.ptpNanoseconds = divmod(time_ns, 1_000_000_000)
            state.tickCount = n * 41
            types = IDENTITY_TYPES if frame == 0 and n % 48 == 0 else FRAME_TYPES
            yield (time_ns, ("127.0.0.1", 50000), ("127.0.0.1", 33322),
                   korlib.encode(state, types))

    return korlib.write_capture(path, datagrams())


def best_of(runs, work):
    best = None
    for _ in range(runs):
        start = time.perf_counter()
        result = work()
        elapsed = time.perf_counter() - start
        best = elapsed if best is None or elapsed < best else best
    return best, result


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--frames", type=int, default=100_000)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--c-bench", help="path of kor_c_decode_bench")
    parser.add_argument("--keep", help="write the capture here and keep it")
    arguments = parser.parse_args()

    with tempfile.TemporaryDirectory() as directory:
        path = arguments.keep or os.path.join(directory, "bench.pcap")
        start = time.perf_counter()
        count = write_sample_capture(path, arguments.frames)
        print(f"capture: {count} datagrams, {os.path.getsize(path)} bytes, written in "
              f"{time.perf_counter() - start:.1f} s (korlib {korlib.library_version()}, "
              f"Python {sys.version.split()[0]})")

        seconds, datagrams = best_of(arguments.runs, lambda: korlib.read_capture(path))
        print(f"korlib.read_capture: {len(datagrams)} datagrams in {seconds:.3f} s: "
              f"{len(datagrams) / seconds:.0f} datagrams/s")

        def decode_all():
            applied = 0
            for frame in korlib.decode_capture(path):
                applied += frame.status.applied
            return applied

        seconds, applied = best_of(arguments.runs, decode_all)
        print(f"korlib.decode_capture: {count} states ({applied} applied) in {seconds:.3f} s: "
              f"{count / seconds:.0f} states/s (best of {arguments.runs})")

        if arguments.c_bench:
            sys.stdout.flush()
            subprocess.run([arguments.c_bench, path, "5"], check=True)


if __name__ == "__main__":
    main()
