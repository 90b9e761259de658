"""Builds the korlib wheel offline: stages pyproject.toml, setup.py and the package's modules
with the library beside them (korlib/libKorLib.so.1, stripped) and the version, then runs
pip wheel with the setuptools and wheel already installed (no index, no build isolation).

    build_wheel.py --library PATH --version X.Y.Z --stage DIR --out DIR [--strip STRIP]
"""

import argparse
import shutil
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--library", required=True, type=Path)
    parser.add_argument("--soname", required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("--stage", required=True, type=Path)
    parser.add_argument("--out", required=True, type=Path)
    parser.add_argument("--strip")
    args = parser.parse_args()

    shutil.rmtree(args.stage, ignore_errors=True)
    package = args.stage / "korlib"
    package.mkdir(parents=True)
    for name in ("pyproject.toml", "setup.py"):
        shutil.copy(HERE / name, args.stage / name)
    for module in sorted((HERE / "korlib").glob("*.py")):
        shutil.copy(module, package / module.name)
    (args.stage / "VERSION").write_text(args.version + "\n")
    library = package / args.soname
    shutil.copy(args.library, library)  # the file itself, not a link to it
    if args.strip:
        subprocess.run([args.strip, "--strip-unneeded", str(library)], check=True)

    args.out.mkdir(parents=True, exist_ok=True)
    for old in args.out.glob("korlib-*.whl"):
        old.unlink()
    subprocess.run([sys.executable, "-m", "pip", "wheel", "--no-build-isolation", "--no-deps",
                    "--no-index", "--no-cache-dir", "--disable-pip-version-check", "--quiet",
                    "--wheel-dir", str(args.out), str(args.stage)], check=True)
    wheels = sorted(args.out.glob("korlib-*.whl"))
    print(f"korlib wheel: {', '.join(str(w) for w in wheels)}")
    return 0 if len(wheels) == 1 else 1


if __name__ == "__main__":
    sys.exit(main())
