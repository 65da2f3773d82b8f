"""mmfcast.Channel over the C library: texts pass exactly between processes, through the
iterator and through asyncio; what cannot be sent raises an error that says why; a channel
leaves the session when its block ends."""
import asyncio
import subprocess
import sys
import time
from pathlib import Path

import pytest

import mmfcast

PEER = str(Path(__file__).with_name("peer.py"))
EXAMPLES = Path(__file__).resolve().parents[1] / "examples"


def start_peer(name: str, size: int = 0) -> subprocess.Popen:
    """A peer on channel `name`, started after this process joined, listening once it says so."""
    peer = subprocess.Popen([sys.executable, PEER, name, str(size)], stdout=subprocess.PIPE)
    assert peer.stdout is not None and peer.stdout.readline() == b"ready\n"
    return peer


def test_texts_pass_exactly_both_ways_as_str_and_bytes():
    with mmfcast.Channel("Echo", area_size=8192) as channel:
        assert channel.max_text_bytes == 8191
        peer = start_peer("Echo", 8192)
        texts = ["Grüße, 你好 😀", "x" * 8186, "line one\nline two"]
        for text in texts:
            assert channel.send(text) is mmfcast.SendResult.SENT
            assert channel.receive_text(timeout=20) == "echo:" + text
        assert channel.send(b"raw \xc3\xa9") is mmfcast.SendResult.SENT
        assert channel.receive(timeout=20) == b"echo:raw \xc3\xa9"
        channel.send("quit")
        assert peer.wait(timeout=30) == 0
        assert list(channel.texts(timeout=0.2)) == []
        assert (channel.missed, channel.missed_reason) == (0, "")


def test_what_cannot_arrive_exactly_is_refused_with_the_reason():
    with mmfcast.Channel("Refusals", area_size=16) as channel:
        with pytest.raises(mmfcast.TextRefused) as zero:
            channel.send("a\0b")
        assert zero.value.failure is mmfcast.Failure.TEXT
        assert "code 0 at character 2" in str(zero.value)
        with pytest.raises(mmfcast.TextRefused, match="byte 0xFF at offset 5 is not UTF-8"):
            channel.send(b"name-\xff.txt")
        with pytest.raises(mmfcast.TextRefused, match="surrogate"):
            channel.send("lone \ud800")
        with pytest.raises(mmfcast.TextRefused, match="empty"):
            channel.send("")
        with pytest.raises(mmfcast.TextTooLong) as long:
            channel.send("sixteen bytes!!!")
        assert long.value.failure is mmfcast.Failure.TOO_LONG
        with pytest.raises(TypeError):
            channel.send(42)  # type: ignore[arg-type]


def test_joining_fails_with_a_code_and_a_block_leaves_the_channel():
    with pytest.raises(mmfcast.JoinError) as bad:
        mmfcast.Channel("n" * 300)
    assert bad.value.failure is mmfcast.Failure.OPTIONS
    assert " at most" in bad.value.message
    with mmfcast.Channel("Once") as first:
        with pytest.raises(mmfcast.JoinError) as twice:
            mmfcast.Channel("Once")
        assert twice.value.failure is mmfcast.Failure.IN_USE
        assert "Once" in str(twice.value)
    assert first.closed
    with pytest.raises(ValueError):
        first.send("after close")
    with mmfcast.Channel("Once") as again:  # the block's end left the channel
        assert not again.closed


def test_a_send_only_channel_reaches_listeners_and_receives_nothing():
    with mmfcast.Channel("OneWay") as listening:
        with mmfcast.Channel("OneWay", send_only=True) as sending:
            with pytest.raises(OSError):
                sending.fileno()
            with pytest.raises(mmfcast.ReceiveError):
                sending.receive(0)
            peer = start_peer("OneWay")
            assert sending.send("to the peer") is mmfcast.SendResult.SENT
            assert listening.receive(timeout=20) == b"echo:to the peer"
            sending.send("quit")
            assert peer.wait(timeout=30) == 0


def test_asyncio_stream_receives_beside_mmfcast_cli_send(cli: str):
    async def listen() -> list:
        with mmfcast.Channel() as channel:  # the windows' channel, as mmfcast-cli sends on it
            received = []
            sender = await asyncio.create_subprocess_exec(cli, "send", "-",
                                                          stdin=asyncio.subprocess.PIPE)
            assert sender.stdin is not None
            sender.stdin.write("first\nzweite Zeile ü\n".encode())
            sender.stdin.close()
            async for text in channel:
                received.append(text)
                if len(received) == 2:
                    break
            assert await sender.wait() == 0
            return received

    assert asyncio.run(asyncio.wait_for(listen(), 60)) == ["first", "zweite Zeile ü"]


def test_asyncio_sees_a_text_that_a_send_took_in():
    async def exchange() -> bytes:
        with mmfcast.Channel("Took") as channel:
            peer = start_peer("Took")
            waiting = asyncio.ensure_future(channel.receive_async())
            await asyncio.sleep(0)
            channel.send("ping")
            # The loop is not run meanwhile, so the echo waits for the next call of this
            # channel: the send below takes it in, and the waiting task must still get it.
            time.sleep(0.3)
            channel.send("quiet:pong")
            text = await asyncio.wait_for(waiting, 20)  # well before the peer's idle minute
            channel.send("quit")
            assert peer.wait(timeout=30) == 0
            return text

    assert asyncio.run(exchange()) == b"echo:ping"


@pytest.mark.parametrize("answerer", ["answer.py", "mmfcast-cli"])
def test_the_ask_example_gets_its_answer_at_once(answerer: str, cli: str):
    command = ([sys.executable, str(EXAMPLES / "answer.py"), "Ask", "this one: notes.txt"]
               if answerer == "answer.py" else [cli, "send", "--channel", "Ask",
                                                "this one: notes.txt"])
    asked = subprocess.run([sys.executable, str(EXAMPLES / "ask.py"), "Ask", "which file?",
                            *command], capture_output=True, timeout=60)
    assert asked.returncode == 0, asked.stderr
    assert asked.stdout == b"this one: notes.txt\n"


def test_the_package_matches_the_library():
    assert mmfcast.library_version() == mmfcast.__version__
