/** \file
    The C interface of mmfcast: join a channel of the session, send texts on it and receive the
   texts the other processes on it send. It wraps mmfcast::Channel behind an opaque handle, so
   that C programs and any foreign-function interface (Python's ctypes, say) can use it.

   A channel is named: its shared area is NAME "Memory" and its notification NAME "Message".
   The name "MyPub" with the size 4096 is the channel of the mmfcast windows and mmfcast-cli.
   Texts and names are bytes of the system code page (UTF-8 on Linux) without a byte 0; a text
   is carried exactly or refused.

   Ownership: a handle belongs to the caller from mmfcast_join (or mmfcast_join_options) to
   mmfcast_leave. Strings the library returns belong to it: mmfcast_error's until the next call
   on the channel, mmfcast_version's for ever. Strings the caller passes are copied before the
   call returns; the `user` pointer of mmfcast_on_receive is only handed back.
   Threads: all the channels of a process are used on one thread, the one that joined them
   (on Windows their hidden windows belong to it); the receive function runs on that thread,
   inside mmfcast_dispatch or mmfcast_send. There mmfcast_leave on its own channel is refused
   (it returns -1, MMFCAST_E_IN_USE_BY_CALL): leave once the call has returned.
   fork(): a child shares none of its parent's channels. A handle joined before the fork is
   not joined in the child (mmfcast_send and mmfcast_dispatch fail with MMFCAST_E_NOT_JOINED,
   mmfcast_error saying why), and mmfcast_leave on it there frees the child's copy only, leaving
   the parent's channel as it was; the child joins anew.
   Errors: no function aborts or lets a C++ exception out; each says it failed through its
   result, and then mmfcast_last_failure gives a code a program can test and mmfcast_error a
   message that says what failed and why. Builds as C99 and as C++. */
#ifndef MMFCAST_MMFCAST_H
#define MMFCAST_MMFCAST_H

#include <mmfcast/export.h>
#include <mmfcast/version.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/** The name of the mmfcast windows' channel, which a NULL name joins. */
#define MMFCAST_DESKTOP_CHANNEL "MyPub"
/** The size of the windows' area, and the default size of an area, in bytes. */
#define MMFCAST_DEFAULT_AREA_SIZE 4096
/** The smallest size an area may be given, in bytes, its zero byte included. */
#define MMFCAST_MIN_AREA_SIZE 2
/** The largest size an area may be given, in bytes (16 MiB). */
#define MMFCAST_MAX_AREA_SIZE 16777216

/** One joined (or refused) channel; made by mmfcast_join or mmfcast_join_options, ended by
    mmfcast_leave. */
typedef struct mmfcast_channel mmfcast_channel;

/** What mmfcast_send did with a text. */
enum mmfcast_send_result {
  MMFCAST_SENT = 0,           /**< written into the area and announced to the other processes */
  MMFCAST_TOO_LONG = 1,       /**< not sent: longer than mmfcast_max_text_bytes() */
  MMFCAST_FAILED = 2,         /**< not sent, or not announced: mmfcast_error() says why */
  MMFCAST_NOT_ALL_REACHED = 3 /**< sent, but some processes were not reached: mmfcast_error()
                                   says how many and why; sending again would double it */
};

/** Why the last join, send or dispatch on a channel failed: what mmfcast_last_failure gives,
    beside the message of mmfcast_error. New codes may be added; treat an unknown one as a
    failure. */
enum mmfcast_failure {
  MMFCAST_OK = 0,           /**< nothing failed */
  MMFCAST_E_IN_USE = 1,     /**< join: this process has joined the channel already (or a hooked
                                 cMMF object serves it), or its channels use another session */
  MMFCAST_E_SESSION = 2,    /**< join: the session, the notification's registration or the
                                 receiving window cannot be used; dispatch: no other process
                                 can reach this one now (its session directory was replaced
                                 by something it refuses, say) */
  MMFCAST_E_AREA = 3,       /**< join: the shared area cannot be opened (a full filesystem, say) */
  MMFCAST_E_OPTIONS = 4,    /**< join: the options name no usable channel (an empty or unusable
                                 name, a size out of range, a struct_size this library lacks) */
  MMFCAST_E_NOT_JOINED = 5, /**< send or dispatch on a channel that did not join, or that the
                                 parent joined before a fork; mmfcast_error says why */
  MMFCAST_E_TEXT = 6,       /**< send: the text cannot arrive exactly and was refused: it is
                                 empty, holds a byte 0, or is not valid in the system code page */
  MMFCAST_E_TOO_LONG = 7,   /**< send: longer than mmfcast_max_text_bytes(); not sent */
  MMFCAST_E_SEND = 8,       /**< send: the send lock, the write or the broadcast failed */
  MMFCAST_E_NOT_ALL_REACHED = 9, /**< send: sent, but some processes were not reached */
  MMFCAST_E_RECEIVE = 10,        /**< dispatch (or send): handling the texts that arrived failed */
  MMFCAST_E_NO_CHANNEL = 11,     /**< the handle is NULL */
  MMFCAST_E_IN_USE_BY_CALL = 12  /**< leave: refused from inside a send or dispatch of the same
                                      channel (its receive function); the handle stays valid */
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

/** Which channel mmfcast_join_options joins. Start from MMFCAST_OPTIONS_INIT (or set
    `struct_size` to sizeof(mmfcast_options) and the rest to zero) and set the fields you need;
    a field left 0 or NULL takes its default. Fields added in later versions go at the end, and
    `struct_size` tells the library which ones the program knows. The strings are copied
    during the call. */
typedef struct mmfcast_options {
  size_t struct_size;       /**< sizeof(mmfcast_options) as the program was built */
  const char* name;         /**< the channel's name; NULL: "MyPub", the windows' channel */
  const char* area_name;    /**< NULL: name + "Memory"; set it to meet another program's area */
  const char* message_name; /**< NULL: name + "Message" */
  size_t area_size;         /**< bytes the area is created with when no process has made it
                                 yet (0: 4096; MMFCAST_MIN_AREA_SIZE to MMFCAST_MAX_AREA_SIZE);
                                 when it exists, its size counts, up to this one */
  const char* session_dir;  /**< Linux: the session directory, for the whole process (NULL:
                                 the one the environment names); ignored on Windows */
  int send_only;            /**< nonzero: the channel only sends. It makes no window, so no
                                 process waits for it or sends to it; mmfcast_event_fd is -1
                                 and mmfcast_dispatch hands nothing over */
} mmfcast_options;

/** Options with every field at its default, the windows' channel:
    `mmfcast_options options = MMFCAST_OPTIONS_INIT;`. */
#define MMFCAST_OPTIONS_INIT \
  { sizeof(mmfcast_options), NULL, NULL, NULL, 0, NULL, 0 }

/** Joins the channel the options name (NULL: as zeroed options, the windows' channel). As
    mmfcast_join, returns a handle whether or not joining succeeded (check mmfcast_joined and
    mmfcast_last_failure), or NULL when there is no memory for one. Options whose struct_size
    is smaller than a size_t, or larger than this library's mmfcast_options with a nonzero byte
    in the part it does not know, are refused (MMFCAST_E_OPTIONS). */
MMFCAST_EXPORT mmfcast_channel* mmfcast_join_options(const mmfcast_options* options);

/** The library's version, "MAJOR.MINOR.PATCH" (MMFCAST_VERSION_STRING of the headers it was
    built with); a static string. */
MMFCAST_EXPORT const char* mmfcast_version(void);

/** Leaves the channel and frees the handle, and returns 0; NULL is ignored (0). Called from
    inside a send or dispatch of the same channel (its receive function), it leaves nothing and
    returns -1: the handle stays valid, mmfcast_last_failure gives MMFCAST_E_IN_USE_BY_CALL and
    mmfcast_error says so; leave it once that call has returned. */
MMFCAST_EXPORT int mmfcast_leave(mmfcast_channel* channel);

/** 1 when the channel is joined, else 0. */
MMFCAST_EXPORT int mmfcast_joined(const mmfcast_channel* channel);

/** Why joining, the last send or the last dispatch failed ("" when nothing failed). Valid until
    the next call on the channel. */
MMFCAST_EXPORT const char* mmfcast_error(const mmfcast_channel* channel);

/** What failed at joining, at the last send, at the last dispatch or at a refused leave, as a
    code to test (MMFCAST_OK when that call succeeded; MMFCAST_E_NO_CHANNEL for NULL);
    mmfcast_error gives the message. A send that returns MMFCAST_NOT_ALL_REACHED sets
   MMFCAST_E_NOT_ALL_REACHED. */
MMFCAST_EXPORT enum mmfcast_failure mmfcast_last_failure(const mmfcast_channel* channel);

/** The longest text, in bytes, that the channel carries; 0 while not joined. */
MMFCAST_EXPORT size_t mmfcast_max_text_bytes(const mmfcast_channel* channel);

/** Sends the `length` bytes at `text` to the other processes on the channel, exactly as given,
    and returns once they have handled it (or a deadline for an unresponsive one has passed).
    mmfcast_last_failure() tells why it was not (or not all) sent. Refused with MMFCAST_FAILED
    and MMFCAST_E_TEXT, mmfcast_error() saying what and where: an empty text, one
    holding a byte 0 ("the text holds a byte 0 at offset 6; ..."), and bytes that are not valid
    in the system code page ("byte 0xFF at offset 5 is not UTF-8"). */
MMFCAST_EXPORT enum mmfcast_send_result mmfcast_send(mmfcast_channel* channel, const char* text,
                                                     size_t length);

/** Sends the `length` UTF-16 code units at `text`, converted to the system code page first,
    as mmfcast_send does; a character the code page has no form for, or a lone surrogate, is
    refused (MMFCAST_FAILED, MMFCAST_E_TEXT): "U+4E2D at character 1 has no form in code page
    1252". For programs whose texts are wchar_t on Windows. */
MMFCAST_EXPORT enum mmfcast_send_result mmfcast_send_utf16(mmfcast_channel* channel,
                                                           const uint16_t* text, size_t length);

/** Sets the function each received text is handed to, from mmfcast_dispatch and mmfcast_send;
    NULL drops the texts that arrive. */
MMFCAST_EXPORT void mmfcast_on_receive(mmfcast_channel* channel, mmfcast_receive_fn receive,
                                       void* user);

/** On Linux, the descriptor to watch: when it is readable, call mmfcast_dispatch(channel, 0).
    -1 on Windows and while not joined. */
MMFCAST_EXPORT int mmfcast_event_fd(const mmfcast_channel* channel);

/** Handles what reached the process, waiting up to `timeout_ms` (0: only what is pending;
    negative: until something arrives), and hands the channel's texts to its function. Returns
    how many messages were handled, or -1 while not joined, when handling failed, or while no
    other process can reach this one (MMFCAST_E_SESSION; it keeps trying to be reachable);
    mmfcast_error then says why. */
MMFCAST_EXPORT int mmfcast_dispatch(mmfcast_channel* channel, int timeout_ms);

/** How many texts the channel missed since it joined: texts this process read too late (a
    later send had replaced them), skipped or found damaged, counted by every channel of the
    process, and texts dropped from the channel's full inbox (1,024 texts or 32 MiB waiting
    for mmfcast_dispatch; the oldest go). 0 for NULL and on Windows but for the inbox. */
MMFCAST_EXPORT uint64_t mmfcast_missed(const mmfcast_channel* channel);

/** Why the channel last missed a text ("this copy fell behind", "the channel's inbox was
    full"), "" when it missed none. Valid until the next call on the channel. */
MMFCAST_EXPORT const char* mmfcast_missed_reason(mmfcast_channel* channel);

#ifdef __cplusplus
}
#endif

#endif /* MMFCAST_MMFCAST_H */
