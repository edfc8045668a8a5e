#!/usr/bin/python3
"""An independent WebSocket client (the websockets package) against the upgrade and the frame
decoder and encoder: starts the echo server, upgrades, exchanges messages, closes.
Usage: independent_client.py ECHO_SERVER plain|tls. Exit 77 when websockets is missing."""
import asyncio
import ssl
import subprocess
import sys

try:
    import websockets
except ImportError:
    print("python3-websockets is not installed")
    sys.exit(77)


async def conversation(uri, context):
    async with websockets.connect(uri, ssl=context, open_timeout=10, close_timeout=10) as ws:
        await ws.send("hello")
        assert await ws.recv() == "hello", "text comes back as text"
        await ws.send("")  # an empty message is passed over, not taken for an end
        await ws.send("after an empty message")
        assert await ws.recv() == "after an empty message"
        big = "x" * 3000  # a 16-bit length both ways
        await ws.send(big)
        assert await ws.recv() == big
        await ws.send(b"\xc0\x80")  # ill-formed UTF-8: the echo stream turns binary for good
        assert await ws.recv() == b"\xc0\x80"
        await ws.send("text again")
        assert await ws.recv() == b"text again"
    assert ws.close_code == 1000, ws.close_code


def main():
    server, mode = sys.argv[1], sys.argv[2]
    child = subprocess.Popen([server, mode], stdout=subprocess.PIPE, text=True)
    try:
        line = child.stdout.readline().split()
        assert line and line[0] == "port", line
        scheme = "wss" if mode == "tls" else "ws"
        context = None
        if mode == "tls":
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
            context.check_hostname = False
            context.verify_mode = ssl.CERT_NONE
        uri = "%s://127.0.0.1:%s/echo" % (scheme, line[1])
        asyncio.run(asyncio.wait_for(conversation(uri, context), 30))
        code = child.wait(timeout=30)
        rest = child.stdout.read()
        assert code == 0, "echo server ended with %d: %s" % (code, rest)
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
    print("independent client: %s upgrade and exchange passed" % mode)


if __name__ == "__main__":
    main()
