#!/usr/bin/env python3
"""answer.py NAME ANSWER: waits on the mmfcast channel NAME for a question, prints it on
standard error and sends ANSWER back. It prints "ready" once it listens, so that an asker
(ask.py) sends its question only then. Exits 0 once it answered, 1 when the channel cannot be
joined or the answer not sent, 2 when no question came within 30 seconds.
"""
import sys

import mmfcast


def main() -> int:
    if len(sys.argv) != 3:
        print("usage: answer.py NAME ANSWER", file=sys.stderr)
        return 1
    try:
        with mmfcast.Channel(sys.argv[1]) as channel:
            print("ready", flush=True)
            question = channel.receive_text(timeout=30)
            if question is None:
                return 2
            print(f"asked: {question}", file=sys.stderr)
            channel.send(sys.argv[2])
            return 0
    except mmfcast.MmfcastError as e:
        print(f"answer.py: {e}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
