"""python3 -m korlib export: the applied frames of a capture as CSV or JSON Lines, one row
per frame with its arrival time, timecode, lens, position and orientation."""

import argparse
import csv
import json
import os
import secrets
import stat
import struct
import sys
import time

from ._native import LibraryNotFound
from .capture import CaptureError, read_capture_salvaged, _decode

# The columns, in order. Values come from the state after the frame; the arrival time is
# the capture's time stamp of the datagram.
COLUMNS = [
    "packet", "arrivalTime", "arrivalEpochSeconds", "status", "timecode", "frameRate",
    "recordFlag", "projectFps",
    "focus", "focusValid", "zoom", "zoomValid", "iris", "irisValid",
    "positionX", "positionY", "positionZ", "positionXValid", "positionYValid", "positionZValid",
    "roll", "pitch", "yaw", "rollValid", "pitchValid", "yawValid",
    "ptpSeconds", "ptpNanoseconds", "tickCount", "tickCountType", "channelId", "subjectId",
    "sensorWidth", "sensorHeight",
]
_STATE_FIELDS = COLUMNS[6:]
# The frame rate the timecode counts in, by projectFps code, as the tools label it.
_FRAME_RATES = {1: "23.98", 2: "24", 3: "25", 4: "29.97", 5: "30"}
_FLOATS = {"zoom", "iris", "positionX", "positionY", "positionZ", "roll", "pitch", "yaw",
           "sensorWidth", "sensorHeight"}
_F32 = struct.Struct("=f")


def float32_text(value: float) -> str:
    """The shortest decimal that reads back as the same single-precision float (2.8 rather
    than 2.799999952316284)."""
    if value != value or value in (float("inf"), float("-inf")):
        return repr(value)
    single = _F32.unpack(_F32.pack(value))[0]
    for digits in range(6, 10):
        text = "%.*g" % (digits, single)
        if _F32.unpack(_F32.pack(float(text)))[0] == single:
            return text
    return repr(single)


def iso_utc(time_ns: int) -> str:
    seconds, fraction = divmod(time_ns, 1_000_000_000)
    return time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(seconds)) + f".{fraction:09d}Z"


def row(frame) -> dict:
    """The export row of one decoded frame, with values as Python numbers and booleans."""
    state = frame.state
    values = {
        "packet": frame.datagram.packet,
        "arrivalTime": iso_utc(frame.datagram.time_ns),
        "arrivalEpochSeconds": frame.datagram.time_ns / 1e9,
        "status": frame.status.name,
        "timecode": "%02d:%02d:%02d:%02d" % (state.timecodeHours, state.timecodeMinutes,
                                             state.timecodeSeconds, state.timecodeFrames),
        "frameRate": _FRAME_RATES.get(state.projectFps),
    }
    for name in _STATE_FIELDS:
        value = getattr(state, name)
        values[name] = float(float32_text(value)) if name in _FLOATS else value
    return values


def _csv_text(value) -> str:
    if value is None:
        return ""
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, float):
        return repr(value)
    return str(value)


class _Progress:
    """A one-line progress bar on standard error, when it is a terminal."""

    def __init__(self, label: str, total: int, stream=sys.stderr):
        self.label = label
        self.total = max(total, 1)
        self.stream = stream
        self.shown = stream.isatty()
        self.next_draw = 0.0

    def update(self, done: int, force: bool = False):
        if not self.shown:
            return
        now = time.monotonic()
        if not force and now < self.next_draw:
            return
        self.next_draw = now + 0.1
        width = 30
        filled = width * done // self.total
        self.stream.write(f"\r{self.label} [{'#' * filled}{'.' * (width - filled)}] "
                          f"{100 * done // self.total:3d}% {done}/{self.total}")
        self.stream.flush()

    def finish(self):
        if self.shown:
            self.stream.write("\r\033[K")
            self.stream.flush()


class _Output:
    """An output file written beside its final name and moved there only on success, so a
    failed export leaves no partial file; "-" is standard output.

    The file gets the mode any program's new file gets (0666 less the umask, applied by the
    system as it creates it), or, when it replaces a file, that file's mode."""

    def __init__(self, path: str):
        self.path = path
        self.temp = None
        if path == "-":
            self.file = sys.stdout
            return
        directory = os.path.dirname(os.path.abspath(path))
        flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_CLOEXEC", 0)
        while True:
            temp = os.path.join(directory, f".korlib-export-{secrets.token_hex(6)}")
            try:
                fd = os.open(temp, flags, 0o666)
                break
            except FileExistsError:
                continue
        self.temp = temp
        try:
            replaced = os.stat(path)
            if stat.S_ISREG(replaced.st_mode):
                os.chmod(fd, stat.S_IMODE(replaced.st_mode))
        except FileNotFoundError:
            pass
        except OSError:
            os.close(fd)
            self.discard()
            raise
        self.file = os.fdopen(fd, "w", newline="", encoding="utf-8")

    def commit(self):
        if self.temp is not None:
            self.file.close()
            os.replace(self.temp, self.path)
            self.temp = None
        else:
            self.file.flush()

    def discard(self):
        if self.temp is not None:
            if getattr(self, "file", None) is not None:
                self.file.close()
            os.unlink(self.temp)
            self.temp = None


class _Parser(argparse.ArgumentParser):
    def error(self, message):
        self.exit(2, f"{self.prog}: {message}\n")


def _port(text: str) -> int:
    """A UDP port number, 0 to 65535."""
    try:
        value = int(text, 10)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid int value: '{text}'") from None
    if not 0 <= value <= 65535:
        raise argparse.ArgumentTypeError(f"{value} is not a UDP port (0 to 65535)")
    return value


def _same_file(a: str, b: str) -> bool:
    """Whether two paths name one file: the same after resolving '.', '..' and links, or,
    for files that exist, the same file system entry (a hard link)."""
    if a == "-" or b == "-":
        return a == b
    if os.path.realpath(a) == os.path.realpath(b):
        return True
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False


def _parser() -> argparse.ArgumentParser:
    parser = _Parser(prog="python3 -m korlib",
                     description="Tools of the korlib package.")
    commands = parser.add_subparsers(dest="command", required=True, parser_class=_Parser)
    export = commands.add_parser(
        "export", help="write the applied frames of a capture as CSV or JSON Lines",
        description="Decodes every UDP datagram of a pcap capture (as kor-monitor --record "
                    "writes it) and writes one row per applied frame: arrival time, "
                    "timecode, focus, zoom, iris, position, orientation and time stamps.")
    export.add_argument("capture", metavar="CAPTURE.pcap", help="the capture to read")
    export.add_argument("--csv", metavar="OUT.csv", help="write CSV with a header row ('-': "
                                                         "standard output)")
    export.add_argument("--json", metavar="OUT.jsonl",
                        help="write JSON Lines, one object per frame ('-': standard output)")
    export.add_argument("--port", type=_port, metavar="PORT",
                        help="only datagrams sent to this UDP port (0 to 65535)")
    export.add_argument("--salvage", action="store_true",
                        help="export the whole packets of a capture cut short (a recording "
                             "killed while it wrote), with a warning naming where it ends")
    return parser


def export(capture: str, csv_path=None, json_path=None, port=None, stderr=sys.stderr,
           salvage=False) -> int:
    """Runs the export; returns the exit status (0, 1 if the library cannot be loaded, 2
    for a capture that cannot be read or an output that cannot be written). With `salvage`,
    a capture cut short gives the frames before the cut and a warning instead of status 2."""
    name = "korlib export"
    try:
        datagrams, cut = read_capture_salvaged(capture)
    except CaptureError as error:
        print(f"{name}: {error}", file=stderr)
        return 2
    except OSError as error:
        print(f"{name}: cannot read {capture}: {error.strerror or error}", file=stderr)
        return 2
    if cut is not None:
        if not salvage:
            print(f"{name}: {cut}", file=stderr)
            return 2
        print(f"{name}: warning: {cut}; exporting the {len(datagrams)} datagrams before it",
              file=stderr)

    outputs = []
    try:
        for path, kind in ((csv_path, "csv"), (json_path, "json")):
            if path is not None:
                outputs.append((_Output(path), kind))
    except OSError as error:
        for output, _ in outputs:
            output.discard()
        print(f"{name}: cannot write {path}: {error.strerror}", file=stderr)
        return 2

    progress = _Progress(f"{name}: {os.path.basename(capture)}", len(datagrams), stderr)
    written = 0
    try:
        writers = []
        for output, kind in outputs:
            if kind == "csv":
                writer = csv.writer(output.file, lineterminator="\n")
                writer.writerow(COLUMNS)
                writers.append(lambda values, w=writer: w.writerow(
                    [_csv_text(values[c]) for c in COLUMNS]))
            else:
                writers.append(lambda values, f=output.file: f.write(
                    json.dumps(values, separators=(",", ":")) + "\n"))
        for index, frame in enumerate(_decode(datagrams, port), 1):
            if frame.status.applied:
                values = row(frame)
                for write in writers:
                    write(values)
                written += 1
            progress.update(index)
        progress.update(len(datagrams), force=True)
        for output, _ in outputs:
            output.commit()
        failure = None
    except LibraryNotFound as error:
        failure = (1, str(error))
    except BrokenPipeError:
        # The reader of standard output has gone (as with | head): stop without a word.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        failure = (1, None)
    except OSError as error:
        failure = (2, f"cannot write {error.filename or 'the output'}: {error.strerror}")
    progress.finish()
    if failure is not None:
        for output, _ in outputs:
            output.discard()
        status, message = failure
        if message:
            print(f"{name}: {message}", file=stderr)
        return status
    print(f"{name}: {written} frames of {len(datagrams)} datagrams from {capture}",
          file=stderr)
    return 0


def main(argv=None) -> int:
    parser = _parser()
    arguments = parser.parse_args(argv)
    if arguments.csv is None and arguments.json is None:
        parser.error("export needs --csv OUT.csv or --json OUT.jsonl (or both)")
    outputs = [path for path in (arguments.csv, arguments.json) if path is not None]
    if len(outputs) == 2 and _same_file(*outputs):
        parser.error(f"--csv {arguments.csv} and --json {arguments.json} name one file; "
                     "give each output its own")
    for path in outputs:
        if path != "-" and _same_file(path, arguments.capture):
            parser.error(f"{path} is the capture itself; the export would overwrite it")
    return export(arguments.capture, arguments.csv, arguments.json, arguments.port,
                  salvage=arguments.salvage)
