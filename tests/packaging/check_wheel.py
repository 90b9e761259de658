"""The korlib wheel as a Python user gets it: its name and tags (a platform, not "any"), the
library inside the package, and then `pip install --no-index` into a fresh virtual
environment, offline, with no KORLIB_LIBRARY, PYTHONPATH or LD_LIBRARY_PATH: it decodes a
frame and runs `python -m korlib export take.pcap --csv take.csv`.

    check_wheel.py DIST_DIR WORK_DIR   (KOR_VERSION names the version)
"""

import csv
import os
import shutil
import subprocess
import sys
import sysconfig
import zipfile
from pathlib import Path

ENV = {k: v for k, v in os.environ.items()
       if k not in ("KORLIB_LIBRARY", "PYTHONPATH", "LD_LIBRARY_PATH", "PYTHONHOME",
                    "VIRTUAL_ENV")}
ENV["PIP_NO_INDEX"] = "1"  # never the network


def run(*command, cwd):
    result = subprocess.run(command, capture_output=True, text=True, timeout=300, env=ENV,
                            cwd=cwd)
    if result.returncode != 0:
        sys.exit(f"FAIL: {' '.join(map(str, command))}: status {result.returncode}\n"
                 f"{result.stdout}{result.stderr}")
    return result.stdout


def main():
    dist, work = Path(sys.argv[1]), Path(sys.argv[2])
    version = os.environ["KOR_VERSION"]
    platform = sysconfig.get_platform().replace("-", "_").replace(".", "_")
    wheels = sorted(dist.glob(f"korlib-{version}-*.whl"))
    expected = f"korlib-{version}-py3-none-{platform}.whl"
    if [w.name for w in wheels] != [expected]:
        sys.exit(f"FAIL: the wheels in {dist} are {[w.name for w in wheels]}, expected {expected}")
    wheel = wheels[0]
    with zipfile.ZipFile(wheel) as archive:
        names = archive.namelist()
        metadata = archive.read(f"korlib-{version}.dist-info/WHEEL").decode()
    for name in ("korlib/__init__.py", "korlib/export.py", "korlib/libKorLib.so.1"):
        if name not in names:
            sys.exit(f"FAIL: {name} is not in {wheel.name}: {names}")
    if "Root-Is-Purelib: false" not in metadata or f"Tag: py3-none-{platform}" not in metadata:
        sys.exit(f"FAIL: {wheel.name} does not declare platform content:\n{metadata}")

    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    run(sys.executable, "-m", "venv", "venv", cwd=work)
    python = work / "venv/bin/python"
    run(python, "-m", "pip", "install", "--no-index", "--disable-pip-version-check",
        "--no-cache-dir", str(wheel.resolve()), cwd=work)

    # A capture written and decoded with the installed package alone.
    script = """
import korlib, pathlib, sys
here = pathlib.Path(korlib.__file__).resolve().parent
assert here.is_relative_to(pathlib.Path(sys.prefix).resolve()), here
assert korlib.library_version() == sys.argv[1], korlib.library_version()
frames = [korlib.encode(korlib.Telemetry(focus=1000 + n, zoom=35.0, iris=2.8, timecodeFrames=n),
                        ["Timecode", "BasicLens"]) for n in range(5)]
device = korlib.Device()
assert device.update(frames[0]).applied and device.state.focus == 1000
korlib.write_capture("take.pcap", [(n * 40_000_000, ("127.0.0.1", 5000), ("127.0.0.1", 33322), f)
                                   for n, f in enumerate(frames)])
print(here)
"""
    where = run(python, "-c", script, version, cwd=work).strip()
    run(python, "-m", "korlib", "export", "take.pcap", "--csv", "take.csv", cwd=work)
    rows = list(csv.DictReader(open(work / "take.csv")))
    focus = [int(row["focus"]) for row in rows]
    if focus != [1000, 1001, 1002, 1003, 1004] or rows[4]["timecode"] != "00:00:00:04":
        sys.exit(f"FAIL: take.csv holds {rows}")
    print(f"{wheel.name}: installed into a fresh virtual environment ({where}); "
          f"exported {len(rows)} frames")
    return 0


if __name__ == "__main__":
    sys.exit(main())
