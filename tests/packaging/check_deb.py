"""The Debian package as a user gets it: unpacked with dpkg-deb -x into a scratch folder, its
files in place, its programs started from there (no LD_LIBRARY_PATH: they find the package's
libKorLib through their run path), its Python package loading its library, and a Depends
field that names the package of every shared library its ELF files link.

    check_deb.py DIST_DIR WORK_DIR PROGRAM...   (KOR_VERSION names the version)
"""

import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

FILES = ["usr/lib/libKorLib.so.1", "usr/lib/libKorLib.so", "usr/include/kor/kor.h",
         "usr/include/kor/kor_c.h", "usr/lib/cmake/KorLib/KorLibConfig.cmake",
         "usr/lib/pkgconfig/korlib.pc", "usr/lib/python3/dist-packages/korlib/__init__.py",
         "usr/lib/x86_64-linux-gnu/wireshark/plugins/kor.lua"]
CLEAN = {k: v for k, v in os.environ.items()
         if k not in ("LD_LIBRARY_PATH", "DISPLAY", "WAYLAND_DISPLAY", "SDL_VIDEODRIVER",
                      "PYTHONPATH", "KORLIB_LIBRARY")}
failures = []


def check(condition, message):
    if not condition:
        failures.append(message)
    return condition


def run(*command, env=None):
    return subprocess.run(command, capture_output=True, text=True, timeout=120,
                          env=CLEAN if env is None else env)


def owner(path):
    """The installed Debian package that holds a library file, by any of its names (with a
    merged /usr, /lib/... and /usr/lib/... are one file but dpkg knows one of them)."""
    names = {path, os.path.realpath(path)}
    for name in list(names):
        names.add(name[4:] if name.startswith("/usr/") else "/usr" + name)
    for name in sorted(names):
        found = run("dpkg-query", "-S", name)
        if found.returncode == 0:
            return found.stdout.split(":")[0].strip()
    return None


def main():
    dist, work, programs = Path(sys.argv[1]), Path(sys.argv[2]), sys.argv[3:]
    architecture = subprocess.run(["dpkg", "--print-architecture"], capture_output=True,
                                  text=True, check=True).stdout.strip()
    deb = dist / f"kor_{os.environ['KOR_VERSION']}_{architecture}.deb"
    if not deb.is_file():
        sys.exit(f"FAIL: no {deb.name} in {dist}: {sorted(p.name for p in dist.iterdir())}")
    shutil.rmtree(work, ignore_errors=True)
    root = work / "root"
    root.mkdir(parents=True)
    subprocess.run(["dpkg-deb", "-x", str(deb), str(root)], check=True)
    for name in FILES + [f"usr/bin/{p}" for p in programs]:
        check((root / name).exists(), f"{name} is not in the package")

    # The programs start from the unpacked tree: --help, or, for the window without a
    # display, its one line.
    for program in programs:
        path = root / "usr/bin" / program
        libraries = run("ldd", str(path)).stdout
        korlib = re.search(r"libKorLib\.so\.1 => (\S+)", libraries)
        check(korlib and korlib.group(1).startswith(str(root)),
              f"{program}: libKorLib does not resolve into the package:\n{libraries}")
        arguments, status, text = (([], 255, "no display to open a window on")
                                   if program == "KorEmulator" else (["--help"], 0, "Usage"))
        result = run(str(path), *arguments)
        check(result.returncode == status and text in result.stdout + result.stderr,
              f"{program} {' '.join(arguments)}: status {result.returncode}\n"
              f"{result.stdout}{result.stderr}")

    # The Python package finds the package's library in the prefix it was installed into.
    script = ("import korlib, sys\n"
              "frame = korlib.encode(korlib.Telemetry(focus=1500), ['BasicLens'])\n"
              "device = korlib.Device()\n"
              "assert device.update(frame).applied and device.state.focus == 1500\n"
              "print(korlib.library_version())\n")
    result = run(sys.executable, "-c", script,
                 env=dict(CLEAN, PYTHONPATH=str(root / "usr/lib/python3/dist-packages")))
    check(result.returncode == 0 and result.stdout.strip() == os.environ["KOR_VERSION"],
          f"korlib from the package: {result.stdout}{result.stderr}")

    # Depends: the package of every library the ELF files need, but their own.
    depends = run("dpkg-deb", "-f", str(deb), "Depends").stdout
    listed = {re.sub(r"\s*\(.*\)", "", alternative).strip()
              for entry in depends.split(",") for alternative in entry.split("|")}
    elves = [root / "usr/bin" / p for p in programs] + [root / "usr/lib/libKorLib.so.1"]
    needed = {}
    for elf in elves:
        dynamic = run("readelf", "-d", str(elf)).stdout
        resolved = dict(re.findall(r"^\s*(\S+) => (/\S+)", run("ldd", str(elf)).stdout, re.M))
        for library in re.findall(r"\(NEEDED\)\s+Shared library: \[(.+?)\]", dynamic):
            if library.startswith("libKorLib"):
                continue
            check(library in resolved, f"{elf.name}: {library} does not resolve")
            if library in resolved:
                needed.setdefault(library, (resolved[library], elf.name))
    check(len(needed) >= 5, f"too few libraries found to check: {sorted(needed)}")
    for library, (path, user) in sorted(needed.items()):
        package = owner(path)
        check(package is not None, f"no Debian package holds {path} ({library} of {user})")
        check(package is None or package in listed,
              f"Depends lacks {package}, which holds {library} ({user}): {depends.strip()}")
    print(f"{deb.name}: {len(programs)} programs started, {len(needed)} libraries, "
          f"Depends: {depends.strip()}")

    for failure in failures:
        print("FAIL:", failure, file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
