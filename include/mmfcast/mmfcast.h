/* The C interface of mmfcast: join a channel of the session, send texts on it and receive the
   texts the other processes on it send. It wraps mmfcast::Channel behind an opaque handle, so
   that C programs and any foreign-function interface (Python's ctypes, say) can use it.

   A channel is named: its shared area is NAME "Memory" and its notification NAME "Message".
   The name "MyPub" with the size 4096 is the channel of the mmfcast windows and mmfcast-cli.
   Texts and names are bytes of the system code page (UTF-8 on Linux) without a byte 0; a text
   is carried exactly or refused. All the channels
   of a process are used on one thread. Builds as C99 and as C++. */
#ifndef MMFCAST_MMFCAST_H
#define MMFCAST_MMFCAST_H

#include <mmfcast/export.h>
#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/** One joined (or refused) channel; made by mmfcast_join, ended by mmfcast_leave. */
typedef struct mmfcast_channel mmfcast_channel;

/** What mmfcast_send did with a text. */
enum mmfcast_send_result {
  MMFCAST_SENT = 0,           /**< written into the area and announced to the other processes */
  MMFCAST_TOO_LONG = 1,       /**< not sent: longer than mmfcast_max_text_bytes() */
  MMFCAST_FAILED = 2,         /**< not sent, or not announced: mmfcast_error() says why */
  MMFCAST_NOT_ALL_REACHED = 3 /**< sent, but some processes were not reached: mmfcast_error()
                                   says how many and why; sending again would double it */
};

/** Receives one text another process sent: `length` bytes at `text`, followed by a byte 0.
    The bytes are valid only during the call. `user` is what mmfcast_on_receive was given. */
typedef void (*mmfcast_receive_fn)(const char* text, size_t length, void* user);

/** Joins the channel `name` (NULL: "MyPub", the windows' channel) whose area is created with
    `area_size` bytes (0: 4096; from 2 to 16777216) when no process has made it yet. A name
    that is not valid in the system code page, or too long for the session, is refused (the
    error says why and gives the limit), so two different names never meet. On Linux
    `session_dir` names the session directory (NULL: the one the environment names); Windows
    ignores it. Returns a handle whether or not joining succeeded (check mmfcast_joined), or
    NULL when there is no memory for one. */
MMFCAST_EXPORT mmfcast_channel* mmfcast_join(const char* name, size_t area_size,
                                             const char* session_dir);

/** Leaves the channel and frees the handle; NULL is ignored. Not from inside its callback. */
MMFCAST_EXPORT void mmfcast_leave(mmfcast_channel* channel);

/** 1 when the channel is joined, else 0. */
MMFCAST_EXPORT int mmfcast_joined(const mmfcast_channel* channel);

/** Why joining, the last send or the last dispatch failed ("" when nothing failed). Valid until
    the next call on the channel. */
MMFCAST_EXPORT const char* mmfcast_error(const mmfcast_channel* channel);

/** The longest text, in bytes, that the channel carries; 0 while not joined. */
MMFCAST_EXPORT size_t mmfcast_max_text_bytes(const mmfcast_channel* channel);

/** Sends the `length` bytes at `text` to the other processes on the channel, exactly as given,
    and returns once they have handled it (or a deadline for an unresponsive one has passed).
    Refused with MMFCAST_FAILED, mmfcast_error() saying what and where: an empty text, one
    holding a byte 0 ("the text holds a byte 0 at offset 6; ..."), and bytes that are not valid
    in the system code page ("byte 0xFF at offset 5 is not UTF-8"). */
MMFCAST_EXPORT enum mmfcast_send_result mmfcast_send(mmfcast_channel* channel, const char* text,
                                                     size_t length);

/** Sets the function each received text is handed to, from mmfcast_dispatch and mmfcast_send;
    NULL drops the texts that arrive. */
MMFCAST_EXPORT void mmfcast_on_receive(mmfcast_channel* channel, mmfcast_receive_fn receive,
                                       void* user);

/** On Linux, the descriptor to watch: when it is readable, call mmfcast_dispatch(channel, 0).
    -1 on Windows and while not joined. */
MMFCAST_EXPORT int mmfcast_event_fd(const mmfcast_channel* channel);

/** Handles what reached the process, waiting up to `timeout_ms` (0: only what is pending;
    negative: until something arrives), and hands the channel's texts to its function. Returns
    how many messages were handled, or -1 while not joined or when handling failed (then
    mmfcast_error says why). */
MMFCAST_EXPORT int mmfcast_dispatch(mmfcast_channel* channel, int timeout_ms);

#ifdef __cplusplus
}
#endif

#endif /* MMFCAST_MMFCAST_H */
