"""mmfcast: pass lines of text between running programs of one user session.

    import mmfcast
    with mmfcast.Channel("MyEditor") as channel:
        channel.send("open notes.txt")
        for text in channel.texts(timeout=30):
            print(text)

Pure Python over the C interface of the installed libmmfcast (through ctypes).
"""
from ._channel import (DEFAULT_AREA_SIZE, DESKTOP_CHANNEL, ENCODING, MAX_AREA_SIZE,
                       MIN_AREA_SIZE, Channel, Failure, JoinError, MmfcastError, ReceiveError,
                       SendError, SendResult, Text, TextRefused, TextTooLong, library_version)

__version__ = "0.1.0"

__all__ = [
    "Channel", "SendResult", "Failure", "MmfcastError", "JoinError", "SendError",
    "TextRefused", "TextTooLong", "ReceiveError", "Text", "library_version", "ENCODING",
    "DESKTOP_CHANNEL", "DEFAULT_AREA_SIZE", "MIN_AREA_SIZE", "MAX_AREA_SIZE", "__version__",
]
