"""The C interface of libmmfcast (<mmfcast/mmfcast.h>) as ctypes declarations.

The library is found as MMFCAST_LIBRARY names it, else as the system's loader finds
libmmfcast.so.0 (Linux) or mmfcast.dll (Windows). Loaded once, on first use.
"""
from __future__ import annotations

import ctypes
import os
import sys
from typing import Optional

RECEIVE_FN = ctypes.CFUNCTYPE(None, ctypes.POINTER(ctypes.c_char), ctypes.c_size_t,
                              ctypes.c_void_p)


class Options(ctypes.Structure):
    """struct mmfcast_options."""

    _fields_ = [
        ("struct_size", ctypes.c_size_t),
        ("name", ctypes.c_char_p),
        ("area_name", ctypes.c_char_p),
        ("message_name", ctypes.c_char_p),
        ("area_size", ctypes.c_size_t),
        ("session_dir", ctypes.c_char_p),
        ("send_only", ctypes.c_int),
    ]


_DEFAULT_NAME = "mmfcast.dll" if sys.platform == "win32" else "libmmfcast.so.0"
_loaded: Optional[ctypes.CDLL] = None


def _declare(lib: ctypes.CDLL) -> None:
    handle = ctypes.c_void_p
    signatures = {
        "mmfcast_version": (ctypes.c_char_p, []),
        "mmfcast_join_options": (handle, [ctypes.POINTER(Options)]),
        "mmfcast_leave": (ctypes.c_int, [handle]),
        "mmfcast_joined": (ctypes.c_int, [handle]),
        "mmfcast_error": (ctypes.c_char_p, [handle]),
        "mmfcast_last_failure": (ctypes.c_int, [handle]),
        "mmfcast_max_text_bytes": (ctypes.c_size_t, [handle]),
        "mmfcast_send": (ctypes.c_int, [handle, ctypes.c_char_p, ctypes.c_size_t]),
        "mmfcast_send_utf16": (ctypes.c_int,
                               [handle, ctypes.POINTER(ctypes.c_uint16), ctypes.c_size_t]),
        "mmfcast_on_receive": (None, [handle, RECEIVE_FN, ctypes.c_void_p]),
        "mmfcast_event_fd": (ctypes.c_int, [handle]),
        "mmfcast_dispatch": (ctypes.c_int, [handle, ctypes.c_int]),
        "mmfcast_missed": (ctypes.c_uint64, [handle]),
        "mmfcast_missed_reason": (ctypes.c_char_p, [handle]),
    }
    for name, (restype, argtypes) in signatures.items():
        try:
            function = getattr(lib, name)
        except AttributeError:
            raise ImportError(
                f"{lib._name} has no {name}: the mmfcast package needs libmmfcast 0.1.0 with "
                "the complete C interface") from None
        function.restype = restype
        function.argtypes = argtypes


def library() -> ctypes.CDLL:
    """The loaded library, declared; raises ImportError when it cannot be loaded."""
    global _loaded
    if _loaded is None:
        path = os.environ.get("MMFCAST_LIBRARY") or _DEFAULT_NAME
        try:
            lib = ctypes.CDLL(path)
        except OSError as e:
            raise ImportError(f"cannot load the mmfcast library {path}: {e} (install "
                              "libmmfcast0, or set MMFCAST_LIBRARY to the library's "
                              "file)") from e
        _declare(lib)
        _loaded = lib
    return _loaded
