#!/usr/bin/env python3
"""ask.py NAME TEXT: sends TEXT on the mmfcast channel NAME and prints the first text that
comes back, through the C interface of the installed shared library and ctypes. Exits as the C
example ask does: 0 with an answer, 1 when joining or sending fails, 2 after 30 s without one.
MMFCAST_LIBRARY may name the library file; otherwise libmmfcast.so.0 is loaded."""
import ctypes
import os
import sys

lib = ctypes.CDLL(os.environ.get("MMFCAST_LIBRARY", "libmmfcast.so.0"))
lib.mmfcast_join.restype = ctypes.c_void_p
lib.mmfcast_join.argtypes = [ctypes.c_char_p, ctypes.c_size_t, ctypes.c_char_p]
lib.mmfcast_leave.argtypes = [ctypes.c_void_p]
lib.mmfcast_joined.argtypes = [ctypes.c_void_p]
lib.mmfcast_error.restype = ctypes.c_char_p
lib.mmfcast_error.argtypes = [ctypes.c_void_p]
lib.mmfcast_send.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_size_t]
RECEIVE = ctypes.CFUNCTYPE(None, ctypes.POINTER(ctypes.c_char), ctypes.c_size_t, ctypes.c_void_p)
lib.mmfcast_on_receive.argtypes = [ctypes.c_void_p, RECEIVE, ctypes.c_void_p]
lib.mmfcast_dispatch.argtypes = [ctypes.c_void_p, ctypes.c_int]
MMFCAST_SENT = 0


def main():
    if len(sys.argv) != 3:
        sys.exit("usage: ask.py NAME TEXT")
    channel = lib.mmfcast_join(sys.argv[1].encode(), 0, None)
    if not channel:
        sys.exit("ask.py: out of memory")
    try:
        if not lib.mmfcast_joined(channel):
            sys.exit("ask.py: " + lib.mmfcast_error(channel).decode(errors="replace"))
        answers = []
        # Kept in a variable: the callback must live as long as the channel may call it.
        receive = RECEIVE(lambda text, length, user: answers.append(text[:length]))
        lib.mmfcast_on_receive(channel, receive, None)
        text = sys.argv[2].encode()
        if lib.mmfcast_send(channel, text, len(text)) != MMFCAST_SENT:
            sys.exit("ask.py: " + lib.mmfcast_error(channel).decode(errors="replace"))
        for _ in range(30):
            if answers:
                break
            if lib.mmfcast_dispatch(channel, 1000) < 0:
                sys.exit("ask.py: " + lib.mmfcast_error(channel).decode(errors="replace"))
        if not answers:
            return 2
        sys.stdout.buffer.write(answers[0] + b"\n")
        return 0
    finally:
        lib.mmfcast_leave(channel)


if __name__ == "__main__":
    sys.exit(main())
