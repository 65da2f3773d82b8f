#!/usr/bin/env python3
"""ask.py NAME QUESTION [ANSWERER...]: asks a question on the mmfcast channel NAME and prints
the first text that comes back.

It joins the channel first, and only then starts the ANSWERER command, if one is given, and
waits for it to print its first line (its "ready") or to end: an answer can then never be sent
before the asker listens. Exits 0 with an answer, 1 when the channel cannot be joined or the
question not sent, 2 when no answer came within 30 seconds.

    ask.py MyEditor "which file?" python3 answer.py MyEditor "this one: notes.txt"
    ask.py MyEditor "which file?" mmfcast-cli send --channel MyEditor "this one: notes.txt"
"""
import asyncio
import sys

import mmfcast


async def ask(name: str, question: str, answerer: list) -> int:
    with mmfcast.Channel(name) as channel:
        # Listening from here on: the loop watches the channel while the answerer starts.
        answer = asyncio.ensure_future(channel.receive_async())
        process = None
        if answerer:
            process = await asyncio.create_subprocess_exec(*answerer,
                                                           stdout=asyncio.subprocess.PIPE)
            await process.stdout.readline()
        try:
            channel.send(question)
            text = await asyncio.wait_for(answer, 30)
        except mmfcast.MmfcastError as e:
            print(f"ask.py: {e}", file=sys.stderr)
            return 1
        except asyncio.TimeoutError:
            return 2
        finally:
            if process is not None:
                await process.wait()
        sys.stdout.buffer.write(text + b"\n")
        sys.stdout.flush()
        return 0


def main() -> int:
    if len(sys.argv) < 3:
        print("usage: ask.py NAME QUESTION [ANSWERER...]", file=sys.stderr)
        return 1
    try:
        return asyncio.run(ask(sys.argv[1], sys.argv[2], sys.argv[3:]))
    except mmfcast.JoinError as e:
        print(f"ask.py: {e}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
