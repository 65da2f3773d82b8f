"""mmfcast.Channel: one named channel of the session, over the C interface.

Ownership: a Channel owns its C handle from joining to close() (or the end of its `with`
block). Threads: a Channel is used on the thread that made it, like every channel of the
process; its asyncio methods run on that thread's loop. Errors: joining raises JoinError,
a text that is not sent raises SendError, and failing to handle what arrived raises
ReceiveError; each carries the library's code and its message.
"""
from __future__ import annotations

import asyncio
import collections
import ctypes
import enum
import os
import sys
import time
from typing import AsyncIterator, Deque, Iterator, Optional, Union

from ._library import RECEIVE_FN, Options, library

## The name of the mmfcast windows' channel, which Channel() joins.
DESKTOP_CHANNEL = "MyPub"
## The windows' area size and the default, in bytes.
DEFAULT_AREA_SIZE = 4096
## The smallest area size, in bytes, the zero byte included.
MIN_AREA_SIZE = 2
## The largest area size, in bytes (16 MiB).
MAX_AREA_SIZE = 16 << 20

## The system code page that texts cross the channel in: UTF-8 on Linux, the ANSI code page on
## Windows.
ENCODING = "mbcs" if sys.platform == "win32" else "utf-8"

# How long one wait of the C library may be, in milliseconds (an int of C).
_MAX_WAIT_MS = 2**31 - 1
# On Windows, where there is no descriptor to watch, how often asyncio looks for texts.
_POLL_SECONDS = 0.02

## What send() takes: a str, or bytes of the system code page.
Text = Union[str, bytes]


class SendResult(enum.IntEnum):
    """What a send did: the values of enum mmfcast_send_result."""

    ## Written into the area and announced to the other processes.
    SENT = 0
    ## Not sent: longer than max_text_bytes.
    TOO_LONG = 1
    ## Not sent, or not announced.
    FAILED = 2
    ## Sent, but some processes were not reached; do not send it again.
    NOT_ALL_REACHED = 3


class Failure(enum.IntEnum):
    """Why a join, send or dispatch failed: the values of enum mmfcast_failure."""

    ## Nothing failed.
    OK = 0
    ## This process has joined the channel already, or uses another session.
    IN_USE = 1
    ## The session, the notification's registration or the receiving window.
    SESSION = 2
    ## The shared area cannot be opened.
    AREA = 3
    ## The options name no usable channel.
    OPTIONS = 4
    ## The channel did not join.
    NOT_JOINED = 5
    ## The text is empty, holds a zero byte, or is not valid in the code page.
    TEXT = 6
    ## Longer than max_text_bytes.
    TOO_LONG = 7
    ## The send lock, the write or the broadcast failed.
    SEND = 8
    ## Sent, but some processes were not reached.
    NOT_ALL_REACHED = 9
    ## Handling the texts that arrived failed.
    RECEIVE = 10
    ## The channel is closed.
    NO_CHANNEL = 11
    ## Leaving was refused: a send or dispatch of the same channel is under way.
    IN_USE_BY_CALL = 12

    @classmethod
    def of(cls, code: int) -> "Failure | int":
        """The Failure of a code of the library; a code a newer library added stays an int."""
        try:
            return cls(code)
        except ValueError:  # a code a newer library added
            return code


class MmfcastError(Exception):
    """A failure of the library: `failure` is its code, `message` says what failed and why."""

    def __init__(self, failure: "Failure | int", message: str) -> None:
        """An error of the code `failure`, saying `message`."""
        super().__init__(message)
        ## The library's code: a Failure (an int for a code a newer library added).
        self.failure = failure
        ## What failed and why, as the library said it.
        self.message = message


class JoinError(MmfcastError):
    """The channel could not be joined (failure IN_USE, SESSION, AREA or OPTIONS)."""


class SendError(MmfcastError):
    """The text was not sent."""


class TextRefused(SendError):
    """The text cannot arrive exactly: it is empty, holds a zero byte, or is not valid in the
    system code page. The message says what and where."""


class TextTooLong(SendError):
    """The text is longer than the channel's max_text_bytes."""


class ReceiveError(MmfcastError):
    """Waiting for or handling texts failed."""


def _encode_name(value: Union[str, bytes, "os.PathLike[str]", None]) -> Optional[bytes]:
    if value is None:
        return None
    if isinstance(value, bytes):
        return value
    if isinstance(value, str):
        return value.encode(ENCODING)
    return os.fsencode(value)


class Channel:
    """One joined channel of the session: send texts on it and receive the texts the other
    processes on it send.

    With no name it joins the channel of the mmfcast windows and mmfcast-cli. A program whose
    own copies talk gives a name of its own; the area is then NAME + "Memory", created with
    `area_size` bytes by the first process that joins. `send_only` makes a channel that only
    sends (no process waits for it). On Linux, `session_dir` names the session directory for
    the whole process. Raises JoinError when the channel cannot be joined.

    Texts are str (in the system code page, UTF-8 on Linux) or bytes, up to max_text_bytes
    bytes, with no zero byte. Received texts are kept in order until read: by iterating the
    channel (str), with receive() / receive_text(), or from asyncio with `async for`.
    """

    def __init__(self, name: Union[str, bytes, None] = None, *, area_size: int = 0,
                 session_dir: Union[str, bytes, "os.PathLike[str]", None] = None,
                 area_name: Union[str, bytes, None] = None,
                 message_name: Union[str, bytes, None] = None,
                 send_only: bool = False) -> None:
        """Joins the channel the arguments name; raises JoinError when it cannot be joined."""
        self._handle: Optional[int] = None
        ## Whether the channel only sends (made with send_only=True).
        self.send_only = send_only
        self._lib = library()
        self._inbox: Deque[bytes] = collections.deque()
        # The future receive_async awaits: a text that arrives (from any call) completes it.
        self._waiter: "Optional[asyncio.Future[None]]" = None
        options = Options(ctypes.sizeof(Options), _encode_name(name), _encode_name(area_name),
                          _encode_name(message_name), area_size, _encode_name(session_dir),
                          1 if send_only else 0)
        handle = self._lib.mmfcast_join_options(ctypes.byref(options))
        if not handle:
            raise MemoryError("no memory for a channel")
        self._handle = handle
        if not self._lib.mmfcast_joined(handle):
            error = self._failure(JoinError)
            self.close()
            raise error

        # Kept as an attribute: the C library calls it for as long as the channel is open.
        def arrived(text: "ctypes._Pointer[ctypes.c_char]", length: int, _user: object) -> None:
            self._inbox.append(ctypes.string_at(text, length))
            if self._waiter is not None and not self._waiter.done():
                self._waiter.set_result(None)

        self._receive = RECEIVE_FN(arrived)
        self._lib.mmfcast_on_receive(handle, self._receive, None)

    # ---- Joining and leaving ------------------------------------------------------------

    def close(self) -> None:
        """Leaves the channel; texts not yet read are dropped. Closing twice does nothing."""
        handle, self._handle = self._handle, None
        if handle and self._lib.mmfcast_leave(handle) != 0:
            # Refused: a send or dispatch of this channel is under way (a receive callback).
            self._handle = handle
            raise MmfcastError(Failure.IN_USE_BY_CALL,
                               self._lib.mmfcast_error(handle).decode("utf-8", "replace"))

    def __enter__(self) -> "Channel":
        """The channel itself, left at the end of the `with` block."""
        return self

    def __exit__(self, *exc_info: object) -> None:
        """Leaves the channel (close())."""
        self.close()

    def __del__(self) -> None:
        """Leaves the channel if close() was not called."""
        self.close()

    @property
    def closed(self) -> bool:
        """Whether close() was called."""
        return self._handle is None

    @property
    def max_text_bytes(self) -> int:
        """The longest text, in bytes of the code page, the channel carries."""
        return int(self._lib.mmfcast_max_text_bytes(self._open()))

    def fileno(self) -> int:
        """On Linux, the descriptor that is readable when texts may have arrived (then call
        receive(0)); raises OSError where there is none (Windows, a send-only channel)."""
        fd = int(self._lib.mmfcast_event_fd(self._open()))
        if fd < 0:
            raise OSError("this channel has no descriptor to watch")
        return fd

    # ---- Sending -------------------------------------------------------------------------

    def send(self, text: Text) -> SendResult:
        """Sends one text to every other process on the channel, exactly as given, and returns
        once they have handled it (or about a second has passed for one that does not answer).

        Returns SendResult.SENT, or NOT_ALL_REACHED when some processes did not take it
        (last_error says how many and why; sending it again would give the others a second
        copy). Raises TextRefused, TextTooLong or SendError when the text was not sent. Texts
        that arrive meanwhile are kept for receive().
        """
        handle = self._open()
        if isinstance(text, str):
            units = text.encode("utf-16-le", "surrogatepass")
            count = len(units) // 2
            buffer = (ctypes.c_uint16 * max(count, 1)).from_buffer_copy(units or b"\0\0")
            result = self._lib.mmfcast_send_utf16(handle, buffer, count)
        elif isinstance(text, (bytes, bytearray, memoryview)):
            data = bytes(text)
            result = self._lib.mmfcast_send(handle, data, len(data))
        else:
            raise TypeError(f"a text is str or bytes, not {type(text).__name__}")
        if result in (SendResult.SENT, SendResult.NOT_ALL_REACHED):
            return SendResult(result)
        failure = Failure.of(self._lib.mmfcast_last_failure(handle))
        kind = {Failure.TEXT: TextRefused, Failure.TOO_LONG: TextTooLong}.get(failure, SendError)
        raise self._failure(kind)

    @property
    def last_error(self) -> str:
        """What the last join, send or receive that failed (or reached not all) said."""
        if self._handle is None:
            return "the channel is closed"
        return self._lib.mmfcast_error(self._handle).decode(ENCODING, "replace")

    # ---- Receiving -----------------------------------------------------------------------

    @property
    def missed(self) -> int:
        """How many texts this channel missed since it joined: read too late (a later send had
        replaced them), skipped or damaged, or dropped from the library's full inbox."""
        return int(self._lib.mmfcast_missed(self._open()))

    @property
    def missed_reason(self) -> str:
        """Why the last text was missed ("this copy fell behind"), "" when none was."""
        return self._lib.mmfcast_missed_reason(self._open()).decode(ENCODING, "replace")

    def receive(self, timeout: Optional[float] = None) -> Optional[bytes]:
        """The next text that arrived, as bytes, waiting up to `timeout` seconds for one
        (None: until one arrives; 0: only what has arrived). None when none arrived in time."""
        if self.send_only:
            raise ReceiveError(Failure.OPTIONS, "the channel only sends")
        deadline = None if timeout is None else time.monotonic() + max(timeout, 0.0)
        while not self._inbox:
            if deadline is None:
                wait_ms = -1
            else:
                left = deadline - time.monotonic()
                if left <= 0 and not self._pending():
                    return None
                wait_ms = min(max(int(left * 1000), 0), _MAX_WAIT_MS)
            self._dispatch(wait_ms)
        return self._inbox.popleft()

    def receive_text(self, timeout: Optional[float] = None) -> Optional[str]:
        """receive() decoded from the code page (a byte that does not decode becomes U+FFFD)."""
        data = self.receive(timeout)
        return None if data is None else data.decode(ENCODING, "replace")

    def byte_texts(self, timeout: Optional[float] = None) -> Iterator[bytes]:
        """The texts as they arrive, as bytes; ends when `timeout` seconds pass without one
        (None: never)."""
        while True:
            data = self.receive(timeout)
            if data is None:
                return
            yield data

    def texts(self, timeout: Optional[float] = None) -> Iterator[str]:
        """The texts as they arrive, as str; ends when `timeout` seconds pass without one."""
        for data in self.byte_texts(timeout):
            yield data.decode(ENCODING, "replace")

    def __iter__(self) -> Iterator[str]:
        """texts() without a timeout: `for text in channel`."""
        return self.texts()

    # ---- asyncio -------------------------------------------------------------------------

    async def receive_async(self) -> bytes:
        """The next text, as bytes, waited for in the running asyncio loop: the channel's
        descriptor is watched with the loop's reader (on Windows, the channel is looked at
        every 20 ms)."""
        if self.send_only:
            raise ReceiveError(Failure.OPTIONS, "the channel only sends")
        loop = asyncio.get_running_loop()
        while not self._inbox:
            fd = int(self._lib.mmfcast_event_fd(self._open()))
            # Completed by the descriptor, or by a text that a send() took in meanwhile.
            self._waiter = wake = loop.create_future()
            if fd < 0:
                loop.call_later(_POLL_SECONDS, lambda: wake.done() or wake.set_result(None))
            else:
                loop.add_reader(fd, lambda: wake.done() or wake.set_result(None))
            try:
                await wake
            finally:
                self._waiter = None
                if fd >= 0:
                    loop.remove_reader(fd)
            self._dispatch(0)
        return self._inbox.popleft()

    async def byte_stream(self) -> AsyncIterator[bytes]:
        """The texts as they arrive, as bytes, for `async for`."""
        while True:
            yield await self.receive_async()

    async def stream(self) -> AsyncIterator[str]:
        """The texts as they arrive, as str, for `async for`."""
        while True:
            yield (await self.receive_async()).decode(ENCODING, "replace")

    def __aiter__(self) -> AsyncIterator[str]:
        """stream(): `async for text in channel`."""
        return self.stream()

    # ---- Inside ---------------------------------------------------------------------------

    def _open(self) -> int:
        if self._handle is None:
            raise ValueError("the channel is closed")
        return self._handle

    def _pending(self) -> bool:
        self._dispatch(0)
        return bool(self._inbox)

    def _dispatch(self, wait_ms: int) -> None:
        if self._lib.mmfcast_dispatch(self._open(), wait_ms) < 0:
            raise self._failure(ReceiveError)

    def _failure(self, kind: type) -> MmfcastError:
        handle = self._handle
        code = Failure.of(self._lib.mmfcast_last_failure(handle))
        message = self._lib.mmfcast_error(handle).decode(ENCODING, "replace")
        error: MmfcastError = kind(code, message)
        return error


def library_version() -> str:
    """The version of the loaded libmmfcast, "MAJOR.MINOR.PATCH"."""
    return library().mmfcast_version().decode("ascii")
