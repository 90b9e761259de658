"""Finding and loading libKorLib, and the signatures of its C interface (kor/kor_c.h)."""

import ctypes
import os
import sys
from pathlib import Path

# The C interface this package speaks: the library's major version (its SOVERSION).
ABI_VERSION = 1

KOR_OK = 0
KOR_ERROR_NULL_POINTER = -1
KOR_ERROR_BUFFER_TOO_SMALL = -2
KOR_ERROR_OUT_OF_MEMORY = -3
KOR_ERROR_INVALID_ARGUMENT = -4

MAX_FRAME_SIZE = 261
# sizeof(kor_telemetry) and sizeof(kor_frame_report), pinned in kor/kor_c.h.
TELEMETRY_SIZE = 752
FRAME_REPORT_SIZE = 264


class LibraryNotFound(OSError):
    """libKorLib could not be found or loaded, or is not one this package can use."""


def _library_names():
    if sys.platform == "win32":
        return ["KorLib.dll", "libKorLib.dll"]
    if sys.platform == "darwin":
        return [f"libKorLib.{ABI_VERSION}.dylib", "libKorLib.dylib"]
    return [f"libKorLib.so.{ABI_VERSION}", "libKorLib.so"]


def _search_dirs():
    """The package's own directory, then the install prefix's library directories."""
    here = Path(__file__).resolve().parent
    dirs = [here]
    try:
        from . import _install  # written by cmake --install
    except ImportError:
        return dirs
    dirs.extend((here / relative).resolve() for relative in _install.LIBRARY_DIRS)
    return dirs


def _candidates():
    explicit = os.environ.get("KORLIB_LIBRARY")
    if explicit:
        return [Path(explicit)], True
    return [d / name for d in _search_dirs() for name in _library_names()], False


_c = ctypes
_P_u8 = _c.c_char_p  # byte spans in
_P_out = _c.POINTER(_c.c_char)  # buffers out
_P_size = _c.POINTER(_c.c_size_t)
_P_u16 = _c.POINTER(_c.c_uint16)

# kor_frame_callback: (const kor_frame_report* report, void* context).
FRAME_CALLBACK = _c.CFUNCTYPE(None, _c.c_void_p, _c.c_void_p)

_SIGNATURES = {
    "kor_get_version": (_c.c_int, [_P_out]),
    "kor_version_string": (_c.c_char_p, []),
    "kor_telemetry_size": (_c.c_size_t, []),
    "kor_status_name": (_c.c_char_p, [_c.c_int]),
    "kor_message_type_name": (_c.c_char_p, [_c.c_int]),
    "kor_telemetry_init": (_c.c_int, [_P_out]),
    "kor_encode": (_c.c_int, [_P_u8, _c.c_int, _P_u16, _c.c_size_t, _P_out, _c.c_size_t,
                              _P_size]),
    "kor_device_create": (_c.c_int, [_c.POINTER(_c.c_void_p)]),
    "kor_device_create_with_state": (_c.c_int, [_P_u8, _c.POINTER(_c.c_void_p)]),
    "kor_device_destroy": (None, [_c.c_void_p]),
    "kor_device_update": (_c.c_int, [_c.c_void_p, _P_u8, _c.c_size_t]),
    "kor_device_update_report": (_c.c_int, [_c.c_void_p, _P_u8, _c.c_size_t, FRAME_CALLBACK,
                                            _c.c_void_p]),
    "kor_device_last_frame": (_c.c_int, [_c.c_void_p, _P_out]),
    "kor_device_get_state": (_c.c_int, [_c.c_void_p, _P_out]),
    "kor_device_encode_state": (_c.c_int, [_c.c_void_p, _c.c_int, _P_u16, _c.c_size_t, _P_out,
                                           _c.c_size_t, _P_size]),
}

_library = None


def _load(path):
    if hasattr(os, "add_dll_directory") and path.parent.is_dir():
        os.add_dll_directory(str(path.parent.resolve()))  # Windows: the DLLs beside it
    lib = ctypes.CDLL(str(path))
    for name, (restype, argtypes) in _SIGNATURES.items():
        function = getattr(lib, name)
        function.restype = restype
        function.argtypes = argtypes
    version = lib.kor_version_string().decode("ascii", "replace")
    major = int(version.split(".")[0]) if version.split(".")[0].isdigit() else -1
    if major != ABI_VERSION:
        raise LibraryNotFound(f"{path} is KorLib {version}; this package needs "
                              f"KorLib {ABI_VERSION}.x")
    if lib.kor_telemetry_size() != TELEMETRY_SIZE:
        raise LibraryNotFound(f"{path} has a kor_telemetry of {lib.kor_telemetry_size()} "
                              f"bytes; this package expects {TELEMETRY_SIZE}")
    return lib


def library():
    """The loaded library: from KORLIB_LIBRARY, beside this package, or in the install
    prefix, whichever comes first. Raises LibraryNotFound naming where it looked."""
    global _library
    if _library is not None:
        return _library
    candidates, explicit = _candidates()
    problems = []
    for path in candidates:
        if not explicit and not path.exists():
            continue
        try:
            _library = _load(path)
            return _library
        except LibraryNotFound as error:
            problems.append(str(error))
        except (OSError, AttributeError) as error:  # the loader's text names the file
            problems.append(str(error) if str(path) in str(error) else f"{path}: {error}")
    if explicit:
        raise LibraryNotFound(f"cannot load KORLIB_LIBRARY: {problems[0]}")
    looked = ", ".join(str(d) for d in _search_dirs())
    detail = ("; " + "; ".join(problems)) if problems else ""
    raise LibraryNotFound(f"libKorLib not found (looked in {looked}){detail}; "
                          "set KORLIB_LIBRARY to the library's path")
