"""The other process of the tests: joins channel NAME (of SIZE bytes, if given), prints "ready", then answers each text
it receives with "echo:" and the text (bytes as they came), until it receives b"quit"."""
import sys

import mmfcast

with mmfcast.Channel(sys.argv[1], area_size=int(sys.argv[2]) if len(sys.argv) > 2 else 0) as channel:
    print("ready", flush=True)
    for text in channel.byte_texts(timeout=30):
        if text == b"quit":
            break
        channel.send(b"echo:" + text)
