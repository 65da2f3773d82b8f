"""The other process of the tests: joins channel NAME (of SIZE bytes, if given), prints
"ready", then answers each text it receives with "echo:" and the text (bytes as they came), except texts that start with
"quiet:", until it receives b"quit" or nothing for a minute."""
import sys

import mmfcast

size = int(sys.argv[2]) if len(sys.argv) > 2 else 0
with mmfcast.Channel(sys.argv[1], area_size=size) as channel:
    print("ready", flush=True)
    for text in channel.byte_texts(timeout=60):
        if text == b"quit":
            break
        if text.startswith(b"quiet:"):
            continue
        channel.send(b"echo:" + text)
