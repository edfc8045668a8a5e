#!/usr/bin/env python3
# End-to-end tests of the relay program: the console account byte for byte, and real clients of
# every kind (raw TCP, TLS, RFC 6455 WebSocket, the two-key form, WebSocket over TLS) connected
# to it on loopback. Usage: relay_e2e.py RELAY_BINARY CASE
import asyncio
import base64
import fcntl
import hashlib
import json
import os
import random
import re
import select
import shutil
import signal
import socket
import ssl
import struct
import subprocess
import sys
import tempfile
import termios
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from relay_clients import (BANNER, KINDS, TYPE_OF_KIND, Client, Relay, Ws13Client,  # noqa
                           Ws76Client, connect_ready, frame, free_port, make_certificate,
                           parse_frames, wait_until)

RELAY = None
L = 4096
# The arena's report on standard error: physical pages, or an aligned block.
ARENA_REPORT = re.compile(rb":: AWE +2 MB physical RAM at: 0x[0-9a-f]{16}\n:: page size   2 MB  |"
                          rb":: page size   2 MB  :: align    2 MB RAM at: 0x[0-9a-f]{16} "
                          rb"(\[LOCKED\])?\n")


def check(condition, *info):
    if not condition:
        raise AssertionError(" | ".join(repr(i) for i in info))


# ---------------------------------------------------------------------------------------------
# Console: command line, configuration dump, usage text, banner, exit codes.

def dump(port=81, connections=32, packet=4096, reduced=False):
    text = (ssl.OPENSSL_VERSION + "\n").encode()
    if reduced:
        text += b"!! G_SOCKET::config()  number of connections reduced to: 32\n\n"
    text += (":: config ::\n"
             "  print:1, print_once:0, listen:1, write:1, connections:%u\n"
             "  verbose:1, quiet:0, packet_length_r:%u\n"
             "  so_type:1, so_protocol:6\n"
             "  addr_local  :%u\n"
             "  addr_remote :0\n\n"
             ":: ------ ::\n" % (connections, packet, port)).encode()
    return text


def usage_text(name):
    n = name.encode()
    return (b"-------------------------------------------------------------------------------\n"
            b":: Relay data between WebSocket, TCP and TLS clients.\n"
            b"-------------------------------------------------------------------------------\n"
            b":: usage ::\n"
            b"\t" + n + b" <-p listen port>\n"
            b"\t[-p listen port]\n"
            b"\t[-c 1 to 32 connections]\n"
            b"\t[-L 1472|1405|1422|65112|65507       packet length]\n"
            b"\n"
            b":: example ::\n"
            b"\t" + n + b"\n"
            b"\t" + n + b" -p 81\n"
            b"\n"
            b"\n")


# (arguments, port, connections, packet length as read, reduced message, help asked)
COMMAND_LINES = [
    ([], 81, 32, 4096, False, False),
    (["-p", "8080"], 8080, 32, 4096, False, False),
    (["-p8080"], 8080, 32, 4096, False, False),
    (["-p", "80", "-p", "90"], 90, 32, 4096, False, False),
    (["-p"], 81, 32, 4096, False, False),
    (["-p", "0"], 0, 32, 4096, False, False),
    (["-p", "abc"], 0, 32, 4096, False, False),
    (["-p", "65536"], 0, 32, 4096, False, False),
    (["-p", "-1"], 0, 32, 4096, False, False),  # out of range: refused, not cut to 16 bits
    (["-p", "65617"], 0, 32, 4096, False, False),
    (["-p", "70000"], 0, 32, 4096, False, False),
    (["-p", "80800"], 0, 32, 4096, False, False),
    (["-p", "99999999999"], 0, 32, 4096, False, False),
    (["-p", "-65535"], 0, 32, 4096, False, False),
    (["-p", "80abc"], 80, 32, 4096, False, False),
    (["-p", "+81"], 81, 32, 4096, False, False),
    (["-p", "  82"], 82, 32, 4096, False, False),
    (["-p", "-c", "5"], 0, 32, 4096, False, False),
    (["-c", "0"], 81, 32, 4096, False, False),
    (["-c", "33"], 81, 32, 4096, True, False),
    (["-c", "-1"], 81, 32, 4096, True, False),
    (["-c", "65537"], 81, 1, 4096, False, False),
    (["-c5"], 81, 5, 4096, False, False),
    (["-cp", "5"], 81, 32, 4096, False, False),
    (["-L", "-1", "-c1"], 81, 1, 18446744073709551615, False, False),
    (["-L", "0", "-c1"], 81, 1, 0, False, False),
    (["-L1472"], 81, 32, 1472, False, False),
    (["-L", "99999999999", "-c1"], 81, 1, 2147483647, False, False),
    (["-L", "-99999999999", "-c1"], 81, 1, 18446744071562067968, False, False),
    (["-h"], 81, 32, 4096, False, True),
    (["-xh"], 81, 32, 4096, False, True),
    (["-hp", "80"], 80, 32, 4096, False, True),
    (["-h", "-p", "70000"], 0, 32, 4096, False, True),
    (["--help"], 81, 32, 4096, False, True),
    (["--HELP"], 81, 32, 4096, False, True),
    (["--Help"], 81, 32, 4096, False, True),
    (["--helpme"], 0, 32, 4096, False, True),
    (["--hel"], 81, 32, 4096, False, True),  # the h of an option run asks for help
    (["-P", "80"], 81, 32, 4096, False, False),
    (["help"], 81, 32, 4096, False, False),
    (["/h"], 81, 32, 4096, False, False),
    (["81"], 81, 32, 4096, False, False),
    (["-p", "7", "-c"], 7, 32, 4096, False, False),
    (["-c", "2", "-L", "512", "-p", "9"], 9, 2, 512, False, False),
]


def run_command_line(args, argv=None):
    """Runs the program (argv, or the relay with args) in an empty directory until it ends or
    has opened its port (then it is stopped); returns (stdout, stderr, exit code or None)."""
    r = Relay(RELAY, wait_banner=False, argv=argv or [RELAY] + args)
    try:
        def settled():
            out = r.output()
            return r.proc.poll() is not None or (
                b":: bind(" in out and (b"connection...\n\n" in out or b"^ERROR" in out))
        check(wait_until(settled, 30), args, r.output())
        serving = b"connection...\n\n" in r.output()
        code = None if serving else r.proc.wait(timeout=10)
    finally:
        r.stop()
    return r.output(), r.errors(), code


def case_command_line():
    from concurrent.futures import ThreadPoolExecutor

    with ThreadPoolExecutor(max_workers=8) as pool:  # each case is a process of its own
        results = list(pool.map(lambda c: run_command_line(c[0]), COMMAND_LINES))
    for (args, port, conns, packet, reduced, help_asked), (out, err, code) in \
            zip(COMMAND_LINES, results):
        expected = dump(port, conns, packet, reduced)
        check(out.startswith(expected), args, out, expected)
        rest = out[len(expected):]
        if help_asked or port == 0:
            check(rest == usage_text(RELAY), args, rest)
            check(code == (0 if help_asked else 2), args, code)
            check(err == b"", args, err)  # no arena is taken for the usage text
        else:
            check(rest.startswith(b":: bind(0.0.0.0:%u)  " % port), args, rest)
            check(b":: page size   2 MB  " in err, args, err)


def case_banner():
    for certificate, args, words, conns in [(False, [], b"RAW WS", 32),
                                            (True, [], b"RAW TLS WS WSS", 32),
                                            (False, ["-c", "5"], b"RAW WS", 5)]:
        r = Relay(RELAY, args, certificate=certificate)
        try:
            out = r.output()
            expected = dump(r.port, conns) + b":: bind(0.0.0.0:%u)  " % r.port + words + \
                b"  max connections: %u\n:: waiting for client connection...\n\n" % conns
            check(out == expected, out, expected)
            # Standard error has a reader of its own: the report written before the banner
            # may come in after it.
            check(wait_until(lambda: ARENA_REPORT.fullmatch(r.errors()), 10), r.errors())
        finally:
            r.stop()


def refused_port_argv(args):
    """A port below 1024 for a program without the right to bind it: as root the program runs
    as nobody (setpriv), otherwise as it is; None when root has no setpriv."""
    if os.geteuid() != 0:
        return [RELAY] + args
    if shutil.which("setpriv") is None:
        return None
    return ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", RELAY] + args


# (situation, exit status, what the console shows). The console's "usage" is the dump with the
# given port and the usage text, nothing bound and nothing on standard error; "10048" and
# "10013" are the bind failure's report with that code.
EXIT_STATUS = [
    (["-p", "0"], 2, ("usage", 0)),
    (["-p", "70000"], 2, ("usage", 0)),
    (["-p", "-1"], 2, ("usage", 0)),
    (["-p", "65536"], 2, ("usage", 0)),
    (["-h"], 0, ("usage", 81)),
    (["--help"], 0, ("usage", 81)),
    ("busy port", 1, ("10048",)),
    ("port below 1024 without the right to bind it", 1, ("10013",)),
    ("ended by SIGINT while serving", -signal.SIGINT, ("served",)),
]


def exit_status_of(situation):
    """Runs the program in the situation until it ends by itself (it is killed, and the row
    fails, when it serves instead); returns (stdout, stderr, exit status, port), or None when
    the situation cannot be arranged here."""
    if isinstance(situation, list):
        out, err, code = run_command_line(situation)
        return out, err, code, None
    if situation == "busy port":
        with socket.socket() as holder:
            holder.bind(("0.0.0.0", 0))
            holder.listen(1)
            port = holder.getsockname()[1]
            return run_command_line(["-p", str(port)]) + (port,)
    if situation.startswith("port below 1024"):
        port = 1023
        argv = refused_port_argv(["-p", str(port)])
        if argv is None:
            return None
        out, err, code = run_command_line(None, argv)
        return None if code is None else (out, err, code, port)  # None: it may bind them here
    r = Relay(RELAY)
    try:
        connect_ready(r, "ws").close()
        r.proc.send_signal(signal.SIGINT)
        code = r.proc.wait(timeout=10)
    finally:
        r.stop()
    return r.output(), r.errors(), code, r.port


def case_exit_status():
    """Help exits 0, an invalid configuration 2, a start that cannot open its port 1, each
    ending by itself; a relay that served ends by SIGINT. Nothing is bound for an invalid
    port: a port out of range is refused, not cut to its low 16 bits."""
    from concurrent.futures import ThreadPoolExecutor

    with ThreadPoolExecutor(max_workers=8) as pool:
        results = list(pool.map(lambda row: exit_status_of(row[0]), EXIT_STATUS))
    for (situation, status, (shows, *more)), result in zip(EXIT_STATUS, results):
        if result is None:
            print("not arranged here: %s" % situation)
            continue
        out, err, code, port = result
        check(code == status, situation, code, out[-600:])
        if shows == "usage":
            check(out == dump(more[0]) + usage_text(RELAY), situation, out)
            check(err == b"", situation, err)  # no arena was taken
        elif shows == "served":
            check(BANNER in out and b"  WS\n" in out, out)
        else:
            expected = dump(port) + b":: bind(0.0.0.0:%u)  \nbind(so, (sockaddr *) &addr_local, "\
                b"sizeof(addr_local))\n   ^ERROR: %s, " % (port, shows.encode())
            check(out.startswith(expected), situation, out)
            check(out.endswith(b"\r\n"), situation, out)  # the system text brings the line end
            check(b"\n" not in out[len(expected):-2], situation, out)  # nothing after the report


def serves_on(port):
    """The relay listens on exactly the port given and serves a client there; exit 77 (skip)
    when another program holds the port."""
    r = Relay(RELAY, port=port, wait_banner=False)
    try:
        if r.bind_lost():
            print("port %u is in use here" % port)
            sys.exit(77)
        check(r.output() == dump(port) + b":: bind(0.0.0.0:%u)  RAW WS  max connections: 32\n"
              % port + BANNER, r.output())
        c = connect_ready(r, "raw")  # connected to 127.0.0.1:port, and the relay took it
        c.close()
    finally:
        r.stop()


def case_highest_port():
    serves_on(65535)


def case_port_1():
    if os.geteuid() != 0:
        print("port 1 needs root")
        sys.exit(77)
    serves_on(1)


# ---------------------------------------------------------------------------------------------
# Relaying.

def case_fan_out():
    """Every payload of every kind reaches every other ready connection in its own framing."""
    r = Relay(RELAY, certificate=True)
    try:
        kinds = ["raw", "tls", "ws", "wss", "ws76"]
        clients = {k: connect_ready(r, k) for k in kinds}
        sent = {}
        for k in kinds:
            payload = ("from-%s-ü" % k).encode()
            sent[k] = payload
            clients[k].send(payload)
            for other in kinds:
                if other == k:
                    continue
                want = b"".join(sent[s] for s in kinds[:kinds.index(k) + 1] if s != other)
                c = clients[other]
                check(wait_until(lambda: b"".join(c.messages()) == want, 5), k, other,
                      c.messages(), want)
        # Frame types: a well-formed stream goes out as text frames.
        check({op for op, _ in clients["ws"].frames()} == {0x81}, clients["ws"].frames())
        # One ill-formed byte switches that receiver to binary frames for good.
        clients["raw"].send(b"\xc3\x28")
        check(wait_until(lambda: len(clients["ws"].frames()) == 5, 5), clients["ws"].frames())
        time.sleep(0.1)
        clients["raw"].send(b"plain again")
        check(wait_until(lambda: len(clients["ws"].frames()) == 6, 5))
        ops = [op for op, _ in clients["ws"].frames()]
        check(ops == [0x81, 0x81, 0x81, 0x81, 0x82, 0x82], ops)
        check(wait_until(lambda: clients["ws76"].messages()[-2:] == [b"\xc3\x28", b"plain again"],
                         5), clients["ws76"].messages())
        check(clients["raw"].messages() == [b"".join(sent[s] for s in kinds if s != "raw")])
        check_no_own_payload(clients, sent)
        for c in clients.values():
            c.close()
    finally:
        r.stop()


def check_no_own_payload(clients, sent):
    """No client got what it sent itself, with fences instead of a pause. A sender's reader
    hands a payload to every slot before it reads the next, and a slot's writer sends what it
    is handed in order: once every other client has a sender's fence, the fan-out of all that
    sender sent before is over, and the next sender's fence, sent after that, reaches the first
    sender after anything handed to it then."""
    kinds = list(clients)
    for i, k in enumerate(kinds + kinds[:1]):
        fence = b"fence %d;" % i
        clients[k].send(fence)
        for other in kinds:
            if other != k:
                c = clients[other]
                check(wait_until(lambda: fence in b"".join(c.messages()), 5), "fence", k, other)
    for k in kinds:
        got = clients[k].messages()
        check(sent[k] not in got and sent[k] not in b"".join(got), "own payload", k, got)


def case_websocket_frames():
    """Several frames in one receive, a frame split over receives, fragments, empty frames."""
    r = Relay(RELAY)
    try:
        sender = connect_ready(r, "ws")
        raw = connect_ready(r, "raw")
        ws = connect_ready(r, "ws")
        three = frame(0x81, b"one") + frame(0x81, b"two") + frame(0x82, b"three")
        sender.send_bytes(three)
        check(wait_until(lambda: ws.messages() == [b"one", b"two", b"three"], 5), ws.messages())
        split = frame(0x81, b"split-frame") + frame(0x81, b"after")
        sender.send_bytes(split[:5])
        # The relay has read the first part on its own, on the kernel's word: nothing of it is
        # left in the sender's send queue nor in the relay's receive queue.
        check(wait_until(lambda: unsent(sender.sock) == 0 and relay_unread(r, sender.sock) == 0,
                         5), unsent(sender.sock), relay_unread(r, sender.sock))
        sender.send_bytes(split[5:])
        # The sender's reader passes on what it decodes in order: had it passed on anything of
        # the first part alone, that would stand before these in the receivers' exact lists.
        check(wait_until(lambda: ws.messages()[3:] == [b"split-frame", b"after"], 5),
              ws.messages())
        # Fragments pass one by one; an empty data frame is passed over, the conversation goes on.
        sender.send_bytes(frame(0x01, b"frag-a") + frame(0x00, b"frag-b") + frame(0x80, b"c"))
        sender.send_bytes(frame(0x81, b""))
        sender.send_bytes(frame(0x81, b"still here"))
        want = [b"frag-a", b"frag-b", b"c", b"still here"]
        check(wait_until(lambda: ws.messages()[5:] == want, 5), ws.messages())
        whole = b"onetwothreesplit-frameafterfrag-afrag-bcstill here"
        check(wait_until(lambda: raw.data() == whole, 5), raw.data())
        # An unmasked client frame is accepted as it is.
        sender.send_bytes(frame(0x81, b"unmasked", mask=False))
        check(wait_until(lambda: ws.messages()[-1:] == [b"unmasked"], 5))
        for c in (sender, raw, ws):
            c.close()
    finally:
        r.stop()


def case_close_frame():
    """A close frame is answered with status 1000 and ends the connection; a ping ends it."""
    r = Relay(RELAY)
    try:
        c = connect_ready(r, "ws")
        c.send_bytes(frame(0x88, b"\x03\xe8"))
        check(c.wait_closed(5), "relay did not close")
        check(c.data() == b"\x88\x02\x03\xe8", c.data())
        check(r.wait_end_lines(1), r.output())
        p = connect_ready(r, "ws")
        p.send_bytes(frame(0x89, b"ping"))
        check(p.wait_closed(5) and p.data() == b"", p.data())
        check(r.wait_end_lines(2), r.output())
        check(b"!! " not in r.output(), r.output())
    finally:
        r.stop()


def sender_and_receivers(r):
    """A raw sender, then a raw, an RFC 6455 and a two-key receiver, each ready."""
    return [connect_ready(r, kind) for kind in ("raw", "raw", "ws", "ws76")]


LIMIT_ROUNDS = 8
MARK = b"|"  # one byte, sent after each payload: it arrives after all that payload gave


def relay_one(sender, raw, receivers, payload, wire=None):
    """Sends payload (as the bytes wire, when given), then the mark; returns what each
    WebSocket receiver got in between."""
    before = {name: len(c.messages()) for name, c in receivers.items()}
    total = len(raw.data()) + len(payload)
    if wire:
        sender.send_bytes(wire)
    else:
        sender.send(payload)
    # Only once the raw receiver has it all is the mark sure to come in a receive of its own.
    check(wait_until(lambda: len(raw.data()) == total, 10), len(payload), len(raw.data()))
    sender.send(MARK)
    check(wait_until(lambda: len(raw.data()) == total + len(MARK), 10), len(raw.data()))
    check(wait_until(lambda: all(c.messages()[-1:] == [MARK] and len(c.messages()) > before[n]
                                 for n, c in receivers.items()), 10),
          len(payload), {n: [len(m) for m in c.messages()[before[n]:]]
                         for n, c in receivers.items()})
    return {n: c.messages()[before[n]:-1] for n, c in receivers.items()}


def case_limits():
    """A raw receive takes at most L - 10 bytes, so a raw sender's payloads of any length reach
    every receiver, in pieces that join to exactly the payload (TCP keeps no boundaries; each
    piece is one receive). A WebSocket sender's frame is one payload: longer than L - 10 it
    reaches no RFC 6455 receiver, up to L - 2 it reaches two-key receivers, and a frame longer
    than L - 1 ends its connection."""
    r = Relay(RELAY)
    try:
        sender, raw, ws, ws76 = sender_and_receivers(r)
        ws_sender = connect_ready(r, "ws")
        receivers = {"ws": ws, "ws76": ws76}
        sent = b""
        # Each size several times over: a fault that strikes only some payloads shows too.
        for round_number, size in enumerate((L - 10, L - 9, L - 2, L - 1, 3 * L) * LIMIT_ROUNDS):
            payload = bytes([0x41 + (size + round_number) % 26]) * size
            got = relay_one(sender, raw, receivers, payload)
            sent += payload + MARK
            lengths = {n: [len(m) for m in got[n]] for n in got}
            for name in receivers:
                check(b"".join(got[name]) == payload and all(got[name]), name, size, lengths)
        # The longest masked frame that fits L - 1 bytes (a 4-byte header and the mask), and
        # the longest unmasked one.
        for round_number, (size, mask) in enumerate(((L - 10, True), (L - 9, True),
                                                     (L - 5, False)) * LIMIT_ROUNDS):
            payload = bytes([0x61 + (size + round_number) % 26]) * size
            wire = frame(0x82, payload, mask=mask)
            check(len(wire) <= L - 1, len(wire))
            got = relay_one(ws_sender, raw, receivers, payload, wire)
            sent += payload + MARK
            lengths = {n: [len(m) for m in got[n]] for n in got}
            check(got["ws"] == ([payload] if size <= L - 10 else []), size, lengths)
            check(got["ws76"] == [payload], size, lengths)
        check(raw.data() == sent, len(raw.data()), len(sent))
        check(b"!! " not in r.output(), r.output())
        # A frame longer than one receive can hold ends its connection without a message.
        big = connect_ready(r, "ws")
        big.send_bytes(frame(0x82, b"x" * L))
        check(big.wait_closed(5), "oversized frame")
        check(b"!! " not in r.output(), r.output())
        for c in (sender, raw, ws, ws76, ws_sender):
            c.close()
    finally:
        r.stop()


def pending_attempt():
    """One relay, a sender, a receiver and a silent connection, which the relay classifies raw
    after two waits of 500 ms. Gives whether the first payload could be judged."""
    r = Relay(RELAY)
    try:
        a = connect_ready(r, "ws")
        b = connect_ready(r, "raw")
        pending = Client(r.port)
        first, fence = b"while pending classifies;", b"fence;"
        a.send(first)
        a.send(fence)
        check(wait_until(lambda: b.data() == first + fence, 5), b.data())
        # The sender's reader fans its payloads out one after the other: with the fence at the
        # receiver, the fan-out of the first is over, to every slot.
        mark = r.mark()
        check(r.wait_type_words(3)[-1] == "RAW", r.output())
        arrival = r.output().index(b":%u  " % pending.sock.getsockname()[1])
        word = r.output().index(b"RAW\n", arrival)
        # The relay prints the type word before it makes the slot ready: printed after the
        # mark, the slot was not ready for the first payload, which it must never get.
        judged = word >= mark
        # Once ready it gets each payload sent after that, once and in order, and none sent
        # before. The slot is ready a moment after its type word; on a loaded machine that
        # moment can be long, so payloads go out until one arrives.
        sent = [first, fence] if not judged else [fence]
        for k in range(40):
            sent.append(b"now ready %d;" % k)
            a.send(sent[-1])
            if wait_until(lambda: pending.data().endswith(sent[-1]), 0.5):
                break
        time.sleep(0.3)
        check(any(pending.data() == b"".join(sent[j:]) for j in range(len(sent))),
              judged, pending.data(), sent)
        check(a.messages() == [], a.messages())
        for c in (a, b, pending):
            c.close()
        return judged
    finally:
        r.stop()


def case_handshake_slot_gets_nothing():
    """A connection that is still being classified receives nothing; its own data is its own.
    A first payload whose fan-out was over before the relay printed the connection's type word
    is judged; when the sending side came so late that the word came first (a loaded
    machine), that payload may rightly have reached it, and the attempt is made again."""
    for attempt in range(5):
        if pending_attempt():
            return
        print("attempt %d: the silent connection was classified before the payload" % attempt)
    check(False, "every attempt came too late to judge the first payload")


def case_connection_lines():
    """Arrival, type word and end lines of a lone connection; a rejected TLS hello."""
    r = Relay(RELAY, ["-c", "3"])
    try:
        start = len(r.output())
        c = connect_ready(r, "ws")
        port = c.sock.getsockname()[1]
        c.leave()
        check(r.wait_end_lines(1))
        text = r.output()[start:].decode()
        lines = text.split("\n")
        check(lines[0].startswith("\r:: SYN from 127.0.0.1:%u  :: server_0" % port), lines)
        check(" active 01/03  so " in lines[0] and lines[0].endswith("  WS"), lines)
        check(lines[1].startswith(":: server_0") and ".fin  active 00/03  so " in lines[1], lines)
        # Without a certificate a ClientHello closes the connection: no type word, "\n\n" ends
        # the open arrival line before the end line.
        start = len(r.output())
        s = socket.create_connection(("127.0.0.1", r.port))
        ctx = unverified_context()
        try:
            ctx.wrap_socket(s, server_hostname="x")
            check(False, "TLS handshake succeeded without a certificate")
        except (ssl.SSLError, OSError):
            pass
        s.close()
        check(r.wait_end_lines(2))
        text = r.output()[start:].decode()
        check(text.startswith("\r:: SYN from 127.0.0.1:"), text)
        check("  \n\n:: server_0" in text and ".fin  active 00/03" in text, text)
        # A connection that arrives while another is classified: the first gets no type word,
        # the second's arrival line begins with a carriage return and gets its own.
        start = len(r.output())
        silent = Client(r.port)
        check(r.wait_out(b"active 01/03", 5))
        ws = Ws13Client(r.port)
        check(wait_until(lambda: r.output()[start:].count(b"  WS\n") == 1, 5), r.output())
        time.sleep(1.2)  # the silent one is classified meanwhile, without a type word
        text = r.output()[start:].decode()
        check(re.fullmatch(r"\r:: SYN from 127\.0\.0\.1:\d+  :: server_\d\d\.working  active 01/03  "
                           r"so \d+  \r:: SYN from 127\.0\.0\.1:\d+  :: server_\d\d\.working  "
                           r"active 02/03  so \d+  WS\n", text), text)
        silent.close()
        check(r.wait_end_lines(3))
        # The type word of the second closed the open line: no "\n\n" before this end line.
        check(r.output()[start:].decode().endswith("  WS\n:: server_%s.fin  active 01/03  so %s\n"
                                                   % tuple(re.findall(r"server_(\d\d)\.working"
                                                                      r"  active 01/03  so (\d+)",
                                                                      text)[0])), r.output())
        ws.close()
    finally:
        r.stop()


def case_receive_failure_reports():
    """A broken TLS record ends the connection with the TLS error line, not a stale error."""
    r = Relay(RELAY, certificate=True)
    try:
        c = connect_ready(r, "tls")
        start = len(r.output())
        socket.socket.send(c.sock, b"\x17\x03\x03\x00\x20" + b"\x00" * 32)
        check(r.wait_end_lines(1), r.output())
        text = r.output()[start:]
        check(re.fullmatch(rb"\n!! recv\((\d+)\)  TLS error 1  so (\d+) \2\n"
                           rb":: server_(\d\d)\.fin  active 00/32  so \2\n", text), text)
        slot = re.search(rb"recv\((\d+)\)", text).group(1)
        check(int(slot) == int(re.search(rb"server_(\d\d)\.fin", text).group(1)), text)
        c.close()
    finally:
        r.stop()


INVALID_UPGRADE = b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"  # "GET ", and no key of either form
HANDSHAKE_REPORT = b"\n\tInvalid or unsupported WebSocket handshake from the client!\n"
DRIP_S = 0.05  # a held ClientHello's pace: a byte well within each 500 ms receive of the relay


class MemoryTlsClient:
    """A TLS client over Python's memory buffers, its bytes carried on a plain socket: a client
    not written for the relay, whose every byte on the wire the test controls."""

    def _begin(self):
        """Makes the session; gives its ClientHello, to be sent as the subclass chooses."""
        ctx = unverified_context()
        self.incoming, self.outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
        self.tls = ctx.wrap_bio(self.incoming, self.outgoing, server_hostname="localhost")
        try:
            self.tls.do_handshake()
        except ssl.SSLWantReadError:
            pass
        return self.outgoing.read()

    def _finish_handshake(self):
        while True:
            try:
                self.tls.do_handshake()
                return
            except ssl.SSLWantReadError:
                self._flush()
                data = self._receive()
                if not data:
                    raise ConnectionError("closed during the handshake")
                self.incoming.write(data)

    def _flush(self):
        data = self.outgoing.read()
        if data:
            self.sock.sendall(data)

    def _receive(self):
        return self.sock.recv(65536)


class HeldTlsClient(MemoryTlsClient):
    """A TLS client that keeps the relay classifying its connection for as long as the test
    likes: the first six bytes of its ClientHello leave with the SYN (the relay takes the
    connection for TLS and waits for the rest), then one byte goes out every DRIP_S. release()
    sends the rest, ends the handshake and sends `first` with its Finished."""

    def __init__(self, port):
        self.hello = self._begin()
        self.sent = 6
        self.sock = connect_sending(port, self.hello[:self.sent])
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.port = self.sock.getsockname()[1]
        self.held = threading.Event()
        self.held.set()
        self.dripping = threading.Thread(target=self._drip, daemon=True)
        self.dripping.start()

    def _drip(self):
        # The last byte stays: the hello is never whole until the release.
        while self.held.is_set() and self.sent < len(self.hello) - 1:
            time.sleep(DRIP_S)
            if self.held.is_set():
                self.sock.sendall(self.hello[self.sent:self.sent + 1])
                self.sent += 1

    def release(self, first):
        self.held.clear()
        self.dripping.join(10)
        check(not self.dripping.is_alive(), "the drip did not stop")
        check(self.sent < len(self.hello) - 1, "the hello ran out before the release")
        self.sock.sendall(self.hello[self.sent:])
        self._finish_handshake()
        self.tls.write(first)
        self._flush()

    def read_until(self, end):
        """Decrypted bytes up to and including `end`."""
        got = b""
        while end not in got:
            data = self.sock.recv(65536)
            check(data, "closed before", end, got)
            self.incoming.write(data)
            try:
                while True:
                    got += self.tls.read(65536)
            except ssl.SSLWantReadError:
                pass
        return got

    def close(self):
        self.held.clear()
        self.dripping.join(10)
        self.sock.close()


def case_handshake_report_lines():
    """The report of a dropped upgrade request. On its connection's own open arrival line it
    stays on that line, before the type word. While another connection's arrival line is open,
    it ends that line first, as an end line does, and that connection's type word does not
    follow it: both held in their TLS handshakes, the older one's request is dropped while the
    newer one's line is open, and only then does the newer one upgrade."""
    r = Relay(RELAY, certificate=True)
    try:
        start = len(r.output())
        lone = connect_sending(r.port, INVALID_UPGRADE)
        port = lone.getsockname()[1]
        check(wait_until(lambda: b"RAW\n" in r.output()[start:], 10), r.output()[start:])
        lone.close()
        check(r.wait_end_lines(1), r.output()[start:])
        text = r.output()[start:]
        check(re.fullmatch(rb"\r:: SYN from 127\.0\.0\.1:%d  :: server_(\d\d)\.working  "
                           rb"active 01/32  so (\d+)  " % port + re.escape(HANDSHAKE_REPORT) +
                           rb"RAW\n:: server_\1\.fin  active 00/32  so \2\n", text), text)

        start = len(r.output())
        older = HeldTlsClient(r.port)
        check(r.wait_out(b":%d  :: server_" % older.port), r.output()[start:])
        newer = HeldTlsClient(r.port)
        check(r.wait_out(b":%d  :: server_" % newer.port), r.output()[start:])
        older.release(INVALID_UPGRADE)
        check(wait_until(lambda: HANDSHAKE_REPORT in r.output()[start:], 10), r.output()[start:])
        key = base64.b64encode(os.urandom(16))
        newer.release(ws13_request(key))
        ws13_reply_rest(newer.read_until(b"\r\n\r\n"), key)  # upgraded: past its type word
        newer.close()
        check(r.wait_end_lines(2), r.output()[start:])
        older.close()
        check(r.wait_end_lines(3), r.output()[start:])
        text = r.output()[start:]
        arrival = (rb"\r:: SYN from 127\.0\.0\.1:%d  :: server_(\d\d)\.working  "
                   rb"active 0%d/32  so (\d+)  ")
        check(re.fullmatch(arrival % (older.port, 1) + arrival % (newer.port, 2) +
                           b"\n\n" + re.escape(HANDSHAKE_REPORT) +
                           rb":: server_\3\.fin  active 01/32  so \4\n"
                           rb":: server_\1\.fin  active 00/32  so \2\n", text), text)
    finally:
        r.stop()


def case_many_connections():
    """32 connections at once with -c 32; with -c 2 a third waits in the backlog."""
    r = Relay(RELAY, ["-c", "32"])
    try:
        clients = [Ws13Client(r.port) for _ in range(32)]
        # A slot is ready a moment after its client has the upgrade reply: probes go out until
        # every other client has one, so that each of them is surely ready.
        for k in range(200):
            last = b"probe %d" % k
            clients[0].send(last)
            if wait_until(lambda: all(c.messages() for c in clients[1:]), 0.25):
                break
        # Every one of them was ready for the last probe too: once it is there, nothing else is
        # on its way.
        check(wait_until(lambda: all(c.messages()[-1:] == [last] for c in clients[1:]), 20))
        before = [len(c.messages()) for c in clients]
        clients[0].send(b"to thirty-one")
        for c, n in zip(clients[1:], before[1:]):
            check(wait_until(lambda: c.messages()[n:] == [b"to thirty-one"], 20), c.messages())
            check(all(m.startswith(b"probe ") for m in c.messages()[:n]), c.messages())
        check(clients[0].messages() == [], clients[0].messages())
        check(r.output().count(b"active 32/32") == 1, r.output())
        for c in clients:
            c.leave()
        check(r.wait_end_lines(32))
    finally:
        r.stop()
    r = Relay(RELAY, ["-c", "2"])
    try:
        a = connect_ready(r, "ws")
        b = connect_ready(r, "ws")
        third = socket.create_connection(("127.0.0.1", r.port), timeout=10)
        third.sendall(b"GET / HTTP/1.1\r\nHost: x\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ=="
                      b"\r\n\r\n")
        third.settimeout(1.0)
        try:
            early = third.recv(100)
        except socket.timeout:
            early = None
        check(early is None, "the third client was served", early)
        a.leave()
        third.settimeout(5)
        reply = third.recv(4096)
        check(reply.startswith(b"HTTP/1.1 101 Switching Protocols"), reply)
        check(b"s3pPLMBiTxaQ9kYGzzhZRbK+xOo=" in reply, reply)
        third.close()
        b.close()
    finally:
        r.stop()


def wait_moving(count, target, still=20.0, limit=75.0):
    """Waits until count() reaches target: a stream through a loaded sanitizer build can be
    slow, so the wait gives up only when nothing has moved for `still` seconds, or at `limit`."""
    end = time.monotonic() + limit
    last, moved = count(), time.monotonic()
    while time.monotonic() < end:
        now = count()
        if now >= target:
            return now == target
        if now != last:
            last, moved = now, time.monotonic()
        elif time.monotonic() - moved > still:
            return False
        time.sleep(0.02)
    return count() == target


def case_back_pressure():
    """A receiver that does not read holds up its sender; nothing is lost or reordered."""
    r = Relay(RELAY, ["-c", "4"])
    try:
        sender = connect_ready(r, "raw")
        stalled = connect_ready(r, "raw")
        reader = connect_ready(r, "raw")
        stalled.paused.set()
        stream = b"".join(b"%07d;" % i for i in range(2000000))  # 16 MB
        done = threading.Event()
        progress = [0]

        def push():
            for i in range(0, len(stream), 1000):
                sender.send(stream[i:i + 1000])
                progress[0] = i + 1000
            done.set()

        t = threading.Thread(target=push, daemon=True)
        t.start()

        def stalled_sender():  # no progress for half a second while the stream is not through
            before = progress[0]
            time.sleep(0.5)
            return progress[0] == before and not done.is_set()
        check(wait_until(stalled_sender, 40, 0), "the sender was not held up", progress[0])
        held = reader.data()
        check(len(held) < len(stream) and stream.startswith(held), len(held))
        stalled.paused.clear()
        check(wait_moving(lambda: len(stalled.data()), len(stream)), len(stalled.data()))
        t.join(60)
        check(not t.is_alive(), "the sender did not finish", progress[0])
        check(stalled.data() == stream, "the stalled receiver lost or reordered data")
        check(wait_moving(lambda: len(reader.data()), len(stream)), len(reader.data()))
        check(reader.data() == stream, "the reader lost or reordered data")
        for c in (sender, stalled, reader):
            c.close()
    finally:
        r.stop()


def unsent(sock):
    """Bytes in a socket's send queue that the peer has not taken yet."""
    return struct.unpack("i", fcntl.ioctl(sock.fileno(), termios.TIOCOUTQ, b"\0" * 4))[0]


def relay_unread(relay, sock):
    """Bytes from this client that sit in the relay's receive queue, not yet read by the relay
    (the kernel's table of TCP sockets); None when the relay's socket is not there."""
    here = "%04X" % sock.getsockname()[1]
    with open("/proc/net/tcp") as table:
        for line in table.readlines()[1:]:
            fields = line.split()
            if fields[1].endswith(":%04X" % relay.port) and fields[2].endswith(":" + here):
                return int(fields[4].split(":")[1], 16)
    return None


def case_slot_reuse():
    """A slot reused after its client left gets nothing meant for the client that left, and a
    failure of the old connection never closes the new one."""
    for round_ in range(3):
        r = Relay(RELAY, ["-c", "2"])
        try:
            sender = connect_ready(r, "raw")
            old = connect_ready(r, "raw")
            old.paused.set()  # its writer ends up blocked: payloads queue up for it
            stop = threading.Event()

            def push():
                i = 0
                while not stop.is_set():
                    try:
                        sender.send(b"old-%06d;" % i)
                    except OSError:
                        return
                    i += 1
            t = threading.Thread(target=push, daemon=True)
            t.start()
            time.sleep(0.8)
            stop.set()
            old.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\0\0\0\0\0\0\0")
            old.close()  # a reset while a payload for it is in flight
            t.join(10)
            # The sender's backlog drains while nobody else is ready: whatever of it is still
            # unread when the new client is ready would rightly reach that client. First its
            # send queue empties (on loopback that leaves only the relay's small receive
            # buffer), which on a loaded machine can take a while; then the rest is read.
            check(wait_until(lambda: unsent(sender.sock) == 0, 30), "backlog", round_,
                  unsent(sender.sock), r.output()[-1500:])
            time.sleep(0.7)
            new = connect_ready(r, "ws")
            time.sleep(0.3)
            check(new.messages() == [], "old data reached the new client", round_,
                  new.messages()[:3])
            sender.send(b"new-1")
            check(wait_until(lambda: new.messages() == [b"new-1"], 5), new.messages()[:3])
            check(not new.closed)
            new.send(b"back")
            check(wait_until(lambda: sender.data().endswith(b"back"), 5))
            for c in (sender, new):
                c.close()
        finally:
            r.stop()


# (packet length arguments, first write, size of every later write, a receiver stalls first).
# A first write of 600 bytes leaves the relay's kernel a small payload share per byte of buffer,
# and writes a little under the sender's segment size then set the segment size the relay's
# window is rounded to: with too small a receive buffer that window stays below one of the
# sender's segments, and the sender gets one segment through each time its probe timer fires.
PACE_ROWS = [
    ([], 600, 1920, False),
    ([], 600, 1960, False),
    ([], 600, 2000, False),
    ([], 600, 2040, False),
    ([], 600, 2000, True),
    (["-L", "65112"], 600, 60000, False),
    (["-L", "65112"], 600, 60000, True),
]
PACE_BYTES = 1 << 20
# A healthy relay passes a megabyte on loopback in well under a second, a sanitizer build on a
# loaded machine in a few; held to one segment per probe timer it needs minutes.
PACE_BOUND = 20.0


def case_backlog_drains():
    """A sender's backlog passes at the pace of the machine whatever sizes it writes, also after
    a receiver that held it up has gone; the receiver that reads gets it whole and in order."""
    for args, first, size, stall in PACE_ROWS:
        r = Relay(RELAY, ["-c", "3"] + args)
        try:
            sender = connect_ready(r, "raw")
            reader = connect_ready(r, "raw")
            stalled = connect_ready(r, "raw") if stall else None
            row = (args, first, size, stall)
            head = b"<" * first
            sender.send(head)
            check(wait_until(lambda: reader.data() == head, 5), row, len(reader.data()))
            body = b"".join(b"%09d;" % i for i in range(PACE_BYTES // 10))
            stream = head + body
            progress = [0]

            def push():
                for i in range(0, len(body), size):
                    try:
                        sender.send(body[i:i + size])
                    except OSError:
                        return
                    progress[0] = i + size
            if stalled:
                stalled.paused.set()
            t = threading.Thread(target=push, daemon=True)
            t.start()
            if stalled:  # held up until the sender's own queue is full, then reset
                def held():
                    before = progress[0]
                    time.sleep(0.3)
                    return progress[0] == before
                check(wait_until(held, 20, 0), "the sender was not held up", row, progress[0])
                linger = struct.pack("ii", 1, 0)  # a reset
                stalled.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, linger)
                stalled.close()
            start = time.monotonic()
            arrived = wait_until(lambda: len(reader.data()) >= len(stream), PACE_BOUND)
            check(arrived, "backlog crawls", row, len(reader.data()), len(stream),
                  "%.1f s" % (time.monotonic() - start), unsent(sender.sock))
            t.join(10)
            check(reader.data() == stream, "the reader lost or reordered data", row)
            for c in (sender, reader):
                c.close()
        finally:
            r.stop()


def case_websockets_library():
    """The Python websockets client, over ws:// and wss://, against raw and TLS peers."""
    websockets = websockets_or_skip()

    r = Relay(RELAY, certificate=True)
    try:
        raw = connect_ready(r, "raw")

        async def talk(uri, ctx):
            async with websockets.connect(uri, ssl=ctx, compression=None) as ws:
                await asyncio.sleep(0.2)
                raw.send(b"hello websockets")
                got = await asyncio.wait_for(ws.recv(), 5)
                check(got == "hello websockets", got)
                raw.send(b"\xc3\x28")  # ill-formed: binary from now on
                got = await asyncio.wait_for(ws.recv(), 5)
                check(got == b"\xc3\x28", got)
                await ws.send("from the library")
                check(wait_until(lambda: raw.data().endswith(b"from the library"), 5))
                await ws.send(b"binary \x00 too")
                check(wait_until(lambda: raw.data().endswith(b"binary \x00 too"), 5))
            check(ws.close_code == 1000, ws.close_code)

        ctx = unverified_context()
        asyncio.run(talk("ws://127.0.0.1:%u/" % r.port, None))
        check(r.wait_end_lines(1), r.output())  # alone again before the next one arrives
        asyncio.run(talk("wss://127.0.0.1:%u/" % r.port, ctx))
        check(r.type_words()[-2:] == ["WS", "WSS"], r.type_words())
        raw.close()
    finally:
        r.stop()


def case_header_names_in_target():
    """The Python websockets client, over ws:// and wss://, with request targets that hold the
    key's and the sub-protocol's header names: the accept value is made of its own key and the
    sub-protocol it offered comes back, so it opens and talks to a raw client."""
    websockets = websockets_or_skip()

    r = Relay(RELAY, certificate=True)
    try:
        raw = connect_ready(r, "raw")

        async def talk(uri, ctx):
            async with websockets.connect(uri, ssl=ctx, compression=None, ping_interval=None,
                                          subprotocols=["chat"]) as ws:
                check(ws.subprotocol == "chat", ws.subprotocol)
                await ws.send(uri)
                check(wait_until(lambda: raw.data().endswith(uri.encode()), 5), raw.data())

        ctx = unverified_context()
        ends = 0
        for scheme, tls in (("ws", None), ("wss", ctx)):
            for target in ("/?sec-websocket-key:AAAAAAAAAAAAAAAAAAAAAA==",
                           "/chat?sec-websocket-protocol:evil"):
                asyncio.run(talk("%s://127.0.0.1:%u%s" % (scheme, r.port, target), tls))
                ends += 1
                check(r.wait_end_lines(ends), r.output()[-600:])  # alone again before the next
        check(b"Invalid or unsupported" not in r.output(), r.output())
        raw.close()
    finally:
        r.stop()


# A churner's readiness probe: "{ident#k}". The stable receivers drop them before they count.
PROBE = re.compile(rb"\{[^{}<>]*#\d+\}")
# What a client that the relay took for raw would send first: a TLS record (its ClientHello)
# or an upgrade request. The churn clients' first flights leave with their SYN, so none can
# miss the relay's wait for it: any such flight relayed is a misclassification, and fails.
JUNK_REQUEST = re.compile(rb"GET /chat HTTP/1\.1\r\n.*?\r\n\r\n", re.S)


def ws13_request(key):
    return (b"GET /chat HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n"
            b"Connection: Upgrade\r\nSec-WebSocket-Key: " + key +
            b"\r\nSec-WebSocket-Version: 13\r\n\r\n")


def ws13_reply_rest(reply, key):
    """Checks an upgrade reply; gives the bytes after it."""
    head, rest = reply.split(b"\r\n\r\n", 1)
    accept = base64.b64encode(hashlib.sha1(key + Ws13Client.GUID).digest())
    check(head.startswith(b"HTTP/1.1 101 Switching Protocols\r\n"), "not upgraded", head[:200])
    check(b"Sec-WebSocket-Accept: " + accept in head, head)
    return rest


class SynWsClient(Ws13Client):
    """An RFC 6455 client whose upgrade request leaves with its SYN: it is in the relay's
    socket before the relay's wait for a first flight begins, however late this process runs."""

    def connect(self):
        key = base64.b64encode(os.urandom(16))
        self.sock = connect_sending(self.port, ws13_request(key))
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.sock.settimeout(10)  # an upgrade reply that never comes fails
        reply = b""
        while b"\r\n\r\n" not in reply:
            chunk = self.sock.recv(4096)
            check(chunk, "no upgrade reply", reply)
            reply += chunk
        self.buf.extend(ws13_reply_rest(reply, key))
        self.sock.settimeout(None)
        self.send_lock = threading.Lock()
        self.thread = threading.Thread(target=self._receive, daemon=True)
        self.thread.start()


class SynTlsClient(Client):
    """A TLS client over memory buffers whose ClientHello leaves with its SYN, so that it
    cannot miss the relay's wait for a first flight. Over WebSocket its upgrade request goes
    out with its Finished: it is there once the relay has the answer that ends the handshake.
    What came before its answer, and how long after the relay's flight the answer left, tell
    whether the relay ended the handshake on an answer that came too late (see WireTlsReceiver)."""
    kind = "tls"

    def __init__(self, port):
        super().__init__(port, tls=True)

    def connect(self):
        ctx = unverified_context()
        self.incoming, self.outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
        self.tls_obj = ctx.wrap_bio(self.incoming, self.outgoing, server_hostname="localhost")
        self.tls_lock = threading.Lock()  # the receiving thread and the senders take turns
        self.send_lock = threading.Lock()  # one send at a time: records leave in order
        self.received = 0  # bytes the socket got
        try:
            self.tls_obj.do_handshake()
        except ssl.SSLWantReadError:
            pass
        self.sock = connect_sending(self.port, self.outgoing.read())
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.sock.settimeout(10)
        while True:
            try:
                self.tls_obj.do_handshake()
                break
            except ssl.SSLWantReadError:
                self._flush()
                data = self._recv_raw()
                check(data, "closed during the handshake")
                self.incoming.write(data)
        self.flight = self.received
        key = base64.b64encode(os.urandom(16)) if self.kind == "wss" else None
        if key:
            self.tls_obj.write(ws13_request(key))
        self._flush()
        # The answer has gone: the time since the relay's flight arrived, in its clock ticks.
        self.answer_ms = ms_since_data_came(self.sock)
        if key:
            self._take_reply(key)
        self.thread = threading.Thread(target=self._receive, daemon=True)
        self.thread.start()

    def _flush(self):
        data = self.outgoing.read()
        if data:
            self.sock.sendall(data)

    def _recv_raw(self):
        try:
            data = self.sock.recv(65536)
        except ConnectionResetError:
            data = b""
        self.received += len(data)
        return data

    def _decrypt(self, data):
        self.incoming.write(data)
        out = bytearray()
        try:
            while True:
                piece = self.tls_obj.read(65536)
                if not piece:
                    break
                out += piece
        except (ssl.SSLWantReadError, ssl.SSLZeroReturnError):
            pass
        return bytes(out)

    def _take_reply(self, key):
        reply = b""
        while b"\r\n\r\n" not in reply:
            data = self._recv_raw()
            if not data:
                self.judge_end()
            check(data, "no upgrade reply", reply)
            reply += self._decrypt(data)
        self.buf.extend(ws13_reply_rest(reply, key))

    def judge_end(self):
        """For a connection the relay ended: when nothing came after its flight, not even the
        session tickets it sends once it has the answer, the relay ended the handshake. An
        answer that left at or after the relay's wait may have come too late (AnswerTooLate);
        one that left before should have been taken, which fails."""
        if self.received != self.flight:
            return
        if self.answer_ms >= CLASSIFY_MS:
            raise AnswerTooLate("answered %u ms after the relay's flight" % self.answer_ms)
        check(False, "the relay ended the handshake although the answer left %u ms after its "
              "flight" % self.answer_ms)

    def _receive_some(self):
        ready, _, _ = select.select([self.sock], [], [], 0.02)
        if not ready:
            return None
        data = self._recv_raw()
        if not data:
            return b""
        with self.tls_lock:
            return self._decrypt(data) or None

    def send_bytes(self, data):
        with self.send_lock:
            with self.tls_lock:
                self.tls_obj.write(data)
                records = self.outgoing.read()
            self.sock.sendall(records)


class SynWssClient(SynTlsClient, Ws13Client):
    kind = "wss"


CHURN_KINDS = {"raw": Client, "tls": SynTlsClient, "ws": SynWsClient, "wss": SynWssClient}


def churn_messages(data):
    """The churn messages in a receiver's bytes, in order, and the count of first flights of
    clients taken for raw that were passed over."""
    data = PROBE.sub(b"", data)
    out, junk, i = [], 0, 0
    while i < len(data):
        if data[i:i + 1] == b"<":
            end = data.find(b">", i)
            if end < 0:
                out.append(data[i:])
                break
            out.append(data[i:end + 1])
            i = end + 1
        elif data[i:i + 2] == b"\x16\x03" and i + 5 <= len(data):
            i += 5 + (data[i + 3] << 8 | data[i + 4])
            junk += 1
        elif JUNK_REQUEST.match(data, i):
            i = JUNK_REQUEST.match(data, i).end()
            junk += 1
        else:  # anything else is torn: kept, so that the checks see it
            end = data.find(b"<", i + 1)
            end = len(data) if end < 0 else end
            out.append(data[i:end])
            i = end
    return out, junk


def case_churn():
    """Clients of all four kinds connect, send numbered payloads and leave, for a few seconds;
    two receivers stay throughout and must get every payload, each sender's in order. Every
    client is classified as its kind: the first flight of each leaves with its SYN. Only a
    TLS client whose answer to the relay's handshake left at or after the relay's wait for it
    (a loaded machine) may be ended in its handshake; it is replaced by a new one."""
    r = Relay(RELAY, ["-c", "16"], certificate=True)
    try:
        stable_raw = connect_ready(r, "raw")
        stable_ws = connect_ready(r, "ws")
        sent = []
        sent_lock = threading.Lock()
        failures = []
        late = []
        deadline = time.monotonic() + 4.0

        def wait_relayed(c, ident):
            """Sends probes until one reaches a stable receiver. A client is not relayed until
            the relay has accepted it and classified it: a raw or TLS client's first receive
            is read as its upgrade request, and on a loaded machine the accept itself may come
            late, so no fixed pause is long enough. Bytes the relay has passed on are in
            order, so once a probe is through every payload after it is relayed."""
            end = time.monotonic() + 30.0
            k = 0
            while time.monotonic() < end and not c.closed:
                probe = ("{%s#%d}" % (ident, k)).encode()
                c.send(probe)
                if wait_until(lambda: probe in stable_raw.data(), 0.4):
                    return True
                k += 1
            return False

        def ended_late(c, ident):
            """Whether the relay ended this client's handshake on an answer that came late."""
            if not isinstance(c, SynTlsClient) or not c.wait_closed(10):
                return False
            try:
                c.judge_end()
            except AnswerTooLate as e:
                late.append((ident, str(e)))
                return True
            return False

        def churner(index, kind):
            n = 0
            while time.monotonic() < deadline:
                ident = "%s%d.%d" % (kind, index, n)
                c = None
                try:
                    try:
                        c = CHURN_KINDS[kind](r.port)
                    except AnswerTooLate as e:
                        late.append((ident, str(e)))
                        n += 1
                        continue
                    if not wait_relayed(c, ident):
                        if ended_late(c, ident):
                            c.close()
                            n += 1
                            continue
                        failures.append(("never relayed", ident))
                        c.close()
                        return
                    mine = []
                    for seq in range(20):
                        m = ("<%s:%03d>" % (ident, seq)).encode()
                        c.send(m)
                        mine.append(m)
                        time.sleep(0.005)
                    with sent_lock:
                        sent.extend(mine)
                    time.sleep(0.05)
                    for got in c.messages():
                        if ident.encode() + b":" in got or ident.encode() + b"#" in got:
                            failures.append(("own payload", ident, got))
                    c.leave()
                except Exception as e:  # noqa: BLE001
                    if c is None or not ended_late(c, ident):
                        failures.append(("client", ident, repr(e)))
                n += 1

        threads = [threading.Thread(target=churner, args=(i, k), daemon=True)
                   for i, k in enumerate(["raw", "tls", "ws", "wss"] * 3)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(60)
        check(not any(t.is_alive() for t in threads), "a churner did not end")
        check(not failures, failures[:5])
        with sent_lock:
            expected = set(sent)
        check(len(expected) > 100, len(expected))
        if late:
            print("%u clients answered the handshake too late and were replaced: %s" %
                  (len(late), late))

        def received(client):
            return churn_messages(b"".join(client.messages()))[0]

        for stable in (stable_raw, stable_ws):
            check(wait_until(lambda: set(received(stable)) >= expected, 40),
                  len(expected - set(received(stable))))
            got, junk = churn_messages(b"".join(stable.messages()))
            check(junk == 0, "first flights of misclassified clients were relayed", junk)
            check(len(got) == len(set(got)), "duplicates")
            last = {}
            for m in got:
                ident, seq = m[1:-1].rsplit(b":", 1)
                check(int(seq) > last.get(ident, -1), "out of order", m)
                last[ident] = int(seq)
        for frame_op, payload in stable_ws.frames():
            rest = PROBE.sub(b"", payload)  # probes not yet taken may come in one receive
            if not rest:
                continue
            check(payload == rest and rest.startswith(b"<") and rest.endswith(b">"),
                  "torn frame", payload)
        check(r.proc.poll() is None, "the relay ended")
        stable_raw.close()
        stable_ws.close()
    finally:
        r.stop()


def case_websockets_split_character():
    """A character cut between two raw receives reaches the Python websockets client as two
    binary messages; the client keeps its connection, and text after it still arrives as text."""
    websockets = websockets_or_skip()

    r = Relay(RELAY)
    try:
        raw = connect_ready(r, "raw")

        async def talk():
            before = len(r.type_words())
            # No keep-alive pings: the relay ends a conversation on a ping.
            async with websockets.connect("ws://127.0.0.1:%u/" % r.port, compression=None,
                                          ping_interval=None) as ws:
                check(r.wait_type_words(before + 1)[-1] == "WS", r.output())
                raw.send("caf".encode())
                got = await asyncio.wait_for(ws.recv(), 10)
                check(got == "caf", got)
                # The lead byte of e-acute alone: the client has it before the rest is sent,
                # so the relay receives the two halves apart.
                raw.send(b"\xc3")
                got = await asyncio.wait_for(ws.recv(), 10)
                check(got == b"\xc3", got)
                raw.send(b"\xa9 cr\xc3\xa8me")
                got = await asyncio.wait_for(ws.recv(), 10)
                check(got == b"\xa9 cr\xc3\xa8me", got)
                raw.send("br\u00fbl\u00e9e \U0001F600".encode())
                got = await asyncio.wait_for(ws.recv(), 10)
                check(got == "br\u00fbl\u00e9e \U0001F600", got)
                await ws.send("still open")
                check(wait_until(lambda: raw.data().endswith(b"still open"), 10), raw.data())
            check(ws.close_code == 1000, ws.close_code)

        asyncio.run(talk())
        raw.close()
    finally:
        r.stop()


def case_two_key_0xff():
    """A payload holding 0xFF is not delivered to a two-key receiver, where it would end the
    message early and forge the rest; the other receivers get it, and later payloads still
    reach the two-key receiver."""
    r = Relay(RELAY)
    try:
        sender, raw, ws, ws76 = sender_and_receivers(r)
        attack = b"ATK-x\xff\x00INJECTED-FRAME\xff"
        sender.send(attack)
        check(wait_until(lambda: raw.data() == attack, 10), raw.data())
        check(wait_until(lambda: ws.frames() == [(0x82, attack)], 10), ws.frames())
        clean = b"clean after"
        sender.send(clean)
        check(wait_until(lambda: raw.data() == attack + clean, 10), raw.data())
        check(wait_until(lambda: len(ws76.data()) >= len(clean) + 2 or ws76.closed, 10))
        # Payloads to one receiver keep their order: had the first been delivered, it would
        # stand before this one.
        check(ws76.data() == b"\x00" + clean + b"\xff", ws76.data())
        check(not ws76.closed, "two-key receiver closed")
        check(b"!! " not in r.output(), r.output())
        for c in (sender, raw, ws, ws76):
            c.close()
    finally:
        r.stop()


# ---------------------------------------------------------------------------------------------
# The end of a connection under load: what a TLS receiver's socket gets while it ends its side,
# and the console while receivers reset.

CLEAR_MARK = b"CLEARTEXT"
TLS_RECORD_MOST = 2 ** 14 + 256  # the longest record a peer may send


def tls_wire_fault(wire):
    """None when every byte parses as TLS records (the last may be cut short by the close);
    else the offset of the first byte that does not."""
    i = 0
    while i < len(wire):
        head = wire[i:i + 5]
        if head[0] not in range(20, 25) or (len(head) > 1 and head[1] != 3):
            return i
        if len(head) == 5 and (head[3] << 8 | head[4]) > TLS_RECORD_MOST:
            return i
        if len(head) < 5:
            return None  # a header cut by the close
        i += 5 + (head[3] << 8 | head[4])
    return None


TCP_FASTOPEN_NO_COOKIE = 34  # linux/tcp.h: data in the SYN without the server's cookie


def connect_sending(port, first):
    """A connection whose first bytes leave with its SYN: the relay's listener takes no Fast
    Open, so the kernel sends them again itself with the ACK that completes the connection, and
    they are in the relay's socket before its accept returns. However late this process runs,
    they cannot miss the 500 ms the relay gives a new connection for its first flight. Where
    clients may not use Fast Open, they are sent right after the connect."""
    sock = socket.socket()
    sock.setblocking(False)
    try:
        sock.setsockopt(socket.IPPROTO_TCP, TCP_FASTOPEN_NO_COOKIE, 1)
        sent = sock.sendto(first, socket.MSG_FASTOPEN, ("127.0.0.1", port))
    except OSError as e:  # EOPNOTSUPP: Fast Open is off for clients (net.ipv4.tcp_fastopen)
        print("first flight after the connect:", e)
        sock.close()
        sock = socket.create_connection(("127.0.0.1", port), timeout=60)
        sock.sendall(first)
        return sock
    check(sent == len(first), "the first flight did not fit in the SYN", sent, len(first))
    sock.settimeout(60)
    return sock


CLASSIFY_MS = 500  # the relay's wait for each receive of a connection it is still classifying


class AnswerTooLate(Exception):
    """The relay ended a TLS handshake whose client answered its flight only after the relay's
    wait for that answer had run out: the client was too slow, the relay was right."""


def ms_since_data_came(sock):
    """The kernel's count of milliseconds since data last reached this socket."""
    info = sock.getsockopt(socket.IPPROTO_TCP, socket.TCP_INFO, 104)
    return struct.unpack_from("I", info, 52)[0]  # tcpi_last_data_recv


class WireTlsReceiver(MemoryTlsClient):
    """A TLS client that keeps every byte the relay puts on the wire as it came. Its
    ClientHello is made before the connection and sent with it."""

    def __init__(self, port):
        self.wire = bytearray()
        self.plaintext = 0
        self.sock = connect_sending(port, self._begin())
        self._finish_handshake()
        # The relay's flight is all in. Once the answer has gone, the time since that flight
        # arrived is at least how long the relay waited for the answer, counted in the same
        # clock ticks as its wait: at or above that wait, the answer may have come too late.
        self.flight = len(self.wire)
        self._flush()
        self.answer_ms = ms_since_data_came(self.sock)

    def _receive(self):
        try:
            data = self.sock.recv(65536)
        except ConnectionResetError:
            data = b""
        self.wire += data
        return data

    def read_plaintext(self, count):
        """Reads and decrypts until count bytes of plaintext have come."""
        while self.plaintext < count:
            data = self._receive()
            if not data:
                self._ended_in_handshake()
                raise ConnectionError("closed while reading")
            self.incoming.write(data)
            try:
                while True:
                    self.plaintext += len(self.tls.read(65536))
            except ssl.SSLWantReadError:
                pass

    def _ended_in_handshake(self):
        """Nothing came after the relay's flight, not even the session tickets it sends once it
        has this client's Finished: the relay ended the handshake. Its wait for the answer
        began when it sent the flight, no earlier than the flight arrived here, so an answer
        that left here less than its wait after the flight arrived should have been taken."""
        if len(self.wire) != self.flight:
            return
        if self.answer_ms >= CLASSIFY_MS:
            raise AnswerTooLate("answered %u ms after the relay's flight" % self.answer_ms)
        raise ConnectionError("the relay ended the handshake although the answer left %u ms "
                              "after its flight" % self.answer_ms)

    def end(self, how):
        """Ends this side (a TCP half-close, a record that cannot be decrypted, or a reset),
        then keeps reading the socket until the relay has closed it."""
        if how == "reset":
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            self.sock.close()
            return
        if how == "half-close":
            self.sock.shutdown(socket.SHUT_WR)
        else:
            self.sock.sendall(b"\x17\x03\x03\x00\x20" + b"\x00" * 32)
        while self._receive():
            pass
        self.sock.close()


def reading_receiver(port, late, tries=5):
    """A TLS receiver that the relay is writing to: it has read 4096 bytes of plaintext. One
    that answered the handshake too late (on a loaded machine) is noted in `late` and replaced
    by a new one."""
    for _ in range(tries):
        c = WireTlsReceiver(port)
        try:
            c.read_plaintext(4096)
            return c
        except AnswerTooLate as e:
            late.append(str(e))
    raise ConnectionError("%u receivers in a row answered the handshake too late" % tries, late)


# A flooder's process: connects, says so, then sends its payload as fast as the relay takes it
# and throws away what the relay hands it, until its standard input ends.
FLOOD = r"""
import socket, sys, threading
sock = socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=60)
print("connected", flush=True)
block = sys.argv[2].encode() * 4
stop = threading.Event()

def send():
    while not stop.is_set():
        try:
            sock.sendall(block)
        except OSError:
            return

def drain():
    while not stop.is_set():
        try:
            if not sock.recv(65536):
                return
        except socket.timeout:
            continue
        except OSError:
            return

threads = [threading.Thread(target=f, daemon=True) for f in (send, drain)]
for t in threads:
    t.start()
sys.stdin.buffer.read()
stop.set()
try:
    sock.shutdown(socket.SHUT_RDWR)
except OSError:
    pass
for t in threads:
    t.join(30)
sock.close()
"""


class Flooder:
    """A raw client that sends 64-byte payloads as fast as the relay takes them, and throws
    away what the relay hands it. It runs in a process of its own: in the test's process its
    two busy threads would keep the interpreter lock from the TLS receivers, whose answers to
    the relay's handshake would then come late."""

    def __init__(self, port, ident):
        payload = (CLEAR_MARK + b"-%02d-" % ident).ljust(64, b"x")
        self.proc = subprocess.Popen([sys.executable, "-c", FLOOD, str(port), payload.decode()],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        said = select.select([self.proc.stdout], [], [], 30)[0]
        check(said and self.proc.stdout.readline() == b"connected\n", "the flooder did not connect")

    def close(self):
        self.proc.stdin.close()  # it ends at the end of its input
        try:
            self.proc.wait(30)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait(10)
        self.proc.stdout.close()


def passed_over(late):
    if late:
        print("%u receivers answered the handshake too late and were replaced: %s" %
              (len(late), late))


def ending_rounds(r, rounds, ways, receivers=4):
    """Raw flooders send while TLS receivers read, then end their side in the given ways, round
    after round; every receiver must get through. Gives each receiver's (way, wire bytes,
    error), and the receivers replaced because they answered the handshake too late."""
    flooders = []
    results, late = [], []
    lock = threading.Lock()

    def one(index):
        way = ways[index % len(ways)]
        mine = []
        try:
            c = reading_receiver(r.port, mine)  # the relay's writer is sending to it
            c.end(way)
            outcome = (way, bytes(c.wire), None)
        except Exception as e:  # noqa: BLE001
            outcome = (way, b"", repr(e))
        with lock:
            results.append(outcome)
            late.extend(mine)

    try:
        flooders.extend(Flooder(r.port, i) for i in range(3))
        for round_ in range(rounds):
            threads = [threading.Thread(target=one, args=(round_ * receivers + i,), daemon=True)
                       for i in range(receivers)]
            for t in threads:
                t.start()
            for t in threads:
                t.join(120)
            check(not any(t.is_alive() for t in threads), "a receiver did not end", round_)
    finally:
        for f in flooders:
            f.close()
    passed_over(late)
    errors = [e for _, _, e in results if e]
    check(not errors, errors[:3])
    return results, late


def case_tls_end_no_clear_text():
    """No byte of a TLS connection leaves in clear while it ends, however its peer ends it:
    everything each receiver's socket got parses as TLS records."""
    r = Relay(RELAY, ["-c", "12"], certificate=True)
    try:
        results, _ = ending_rounds(r, 10, ["half-close", "broken record"])
        leaks = []
        for way, wire, _ in results:
            at = tls_wire_fault(wire)
            if at is not None or CLEAR_MARK in wire:
                at = wire.find(CLEAR_MARK) if at is None else at
                leaks.append((way, len(wire), at, wire[at:at + 24]))
        check(not leaks, "%d of %d receivers got bytes that are not TLS records" %
              (len(leaks), len(results)), leaks[:4])
        check(r.proc.poll() is None, "the relay ended")
    finally:
        r.stop()


def case_reset_under_load():
    """Receivers that reset while the relay writes to them end quietly: the relay closed the
    transport itself after the failed send, and reports no error that did not happen."""
    r = Relay(RELAY, ["-c", "12"], certificate=True)
    try:
        results, late = ending_rounds(r, 8, ["reset"])
        # The relay prints a connection's reports before its end line: once every connection
        # has its end line, the receivers, the replaced ones and the three flooders, all
        # reports are in, and no pause is needed.
        check(r.wait_end_lines(len(results) + len(late) + 3, 60), r.output()[-2000:])
        check(b"!!" not in r.output(), r.output()[r.output().find(b"!!") - 200:][:1200])
        check(r.proc.poll() is None, "the relay ended")
    finally:
        r.stop()


TLS_ERROR_LINE = re.compile(rb"\n!! recv\(\d+\)  TLS error 1  so -?\d+ \d+\n")


def case_broken_record_reports():
    """TLS receivers, one after another, each send a record that cannot be decrypted while a
    raw client floods and the relay writes to them. The reader's failure breaks the session
    under the writer's feet, and either thread may close first: each connection still gets its
    one TLS error line, and the sends that fail because the relay is ending the connection are
    not reported (least of all with error 0)."""
    receivers = 40
    r = Relay(RELAY, ["-c", "4"], certificate=True)
    flooder = None
    late = []
    try:
        flooder = Flooder(r.port, 0)
        for i in range(receivers):
            c = reading_receiver(r.port, late)  # the relay's writer is sending to it
            c.end("broken record")
        passed_over(late)
        # The flooder stays: its end line would count, and its end is not under test. A
        # receiver replaced in its handshake has an end line and no report.
        check(r.wait_end_lines(receivers + len(late), 60), r.output()[-2000:])
        # The relay prints a connection's reports before its end line: with every receiver's
        # end line in, all their reports are, and no pause is needed.
        out = r.output()
        reports = re.findall(rb"!![^\n]*\n(?:   \^ERROR[^\n]*\n)?", out)
        strays = [m for m in reports if not m.startswith(b"!! recv(") or b"TLS error 1 " not in m]
        check(len(TLS_ERROR_LINE.findall(out)) == receivers and not strays,
              len(TLS_ERROR_LINE.findall(out)), strays[:6])
        check(b"^ERROR: 0," not in out, out)
        check(r.proc.poll() is None, "the relay ended")
    finally:
        if flooder:
            flooder.close()
        r.stop()


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise AssertionError("no VmRSS for %d" % pid)


def websockets_or_skip():
    """The Python websockets package; a case that needs it is skipped where it is missing."""
    try:
        import websockets
    except ImportError:
        sys.exit(77)  # the client package is not installed here
    return websockets


def unverified_context():
    """A TLS client context that takes the relay's self-signed certificate unchecked."""
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    ctx.check_hostname = False
    ctx.verify_mode = ssl.CERT_NONE
    return ctx


def tls12_client_context():
    """A TLS 1.2 client that takes no session ticket: it can resume only by session id, a
    session the server has to keep."""
    ctx = unverified_context()
    ctx.maximum_version = ssl.TLSVersion.TLSv1_2
    ctx.options |= ssl.OP_NO_TICKET
    return ctx


def tls12_handshake(ctx, port, session=None):
    """One handshake, the connection closed right after; gives (session, whether resumed)."""
    with socket.create_connection(("127.0.0.1", port), timeout=10) as raw:
        with ctx.wrap_socket(raw, server_hostname="localhost", session=session) as s:
            check(s.version() == "TLSv1.2", s.version())
            return s.session, s.session_reused


def tls12_handshakes(port, count, threads=8):
    """count new TLS 1.2 sessions without a ticket, threads at a time."""
    from concurrent.futures import ThreadPoolExecutor

    ctx = tls12_client_context()

    def handshakes(n):
        for _ in range(n):
            check(not tls12_handshake(ctx, port)[1], "resumed without asking")

    with ThreadPoolExecutor(max_workers=threads) as pool:
        list(pool.map(handshakes, [count // threads + (i < count % threads)
                                   for i in range(threads)]))


def case_tls_session_memory():
    """TLS 1.2 clients without session tickets leave the relay with a bounded store of
    sessions: after a first 800 handshakes, 6400 more grow its resident memory by less than
    2 MiB. Measured with every connection ended, as the relay's end lines show. A client that
    comes back with its session still resumes it."""
    # A relay built with AddressSanitizer holds freed memory back in a quarantine (256 MiB by
    # default): its resident size would follow what was freed, not what is kept. Without the
    # quarantine the same bound holds for it; other builds ignore the setting.
    options = os.environ.get("ASAN_OPTIONS", "")
    os.environ["ASAN_OPTIONS"] = options + (":" if options else "") + "quarantine_size_mb=0"
    r = Relay(RELAY, certificate=True)
    try:
        tls12_handshakes(r.port, 800)
        check(r.wait_end_lines(800, 60), r.output()[-2000:])
        before = rss_kib(r.proc.pid)
        tls12_handshakes(r.port, 6400)
        check(r.wait_end_lines(7200, 120), r.output()[-2000:])
        after = rss_kib(r.proc.pid)
        print("resident memory %u KiB after 800 handshakes, %u KiB after 7200" % (before, after))
        check(after - before < 2048, "grew by %u KiB" % (after - before))
        ctx = tls12_client_context()
        session, _ = tls12_handshake(ctx, r.port)
        check(tls12_handshake(ctx, r.port, session)[1], "the session was not resumed")
        check(r.proc.poll() is None, "the relay ended")
    finally:
        r.stop()


def sanitizer_runtime():
    """Whether the relay is linked with AddressSanitizer's or ThreadSanitizer's runtime."""
    libraries = subprocess.run(["ldd", RELAY], capture_output=True, text=True).stdout
    return "libasan" in libraries or "libtsan" in libraries


EXCHANGE_RECEIVE = 3000  # bytes of relayed payloads that each exchanging client takes


def relayed_sizes():
    """Payload sizes for the relay's TLS receivers: small ones of every size up to 270 bytes,
    each followed by one of 1500, so that every connection's send buffers meet a small record
    first and a large one soon after."""
    rnd = random.Random(6)
    while True:
        yield rnd.randint(1, 270)
        yield 1500


def tls_exchange(ctx, port, rnd):
    """One TLS client: taken for raw TLS by its first line, it receives relayed payloads and
    sends two of its own among them, then closes. True when it exchanged; False when the
    relay ended it before it was served (its handshake answer late on a loaded machine)."""
    with socket.create_connection(("127.0.0.1", port), timeout=10) as raw:
        try:
            s = ctx.wrap_socket(raw, server_hostname="localhost")
        except (ssl.SSLError, ConnectionError):
            return False
        with s:
            s.sendall(b"not an upgrade\n")  # dropped, and the connection is raw TLS from here on
            got, sent = 0, 0
            while got < EXCHANGE_RECEIVE:
                try:
                    chunk = s.recv(65536)
                except (ssl.SSLError, ConnectionError):
                    chunk = b""
                if not chunk:
                    check(got == 0, "the relay ended a served client after %u bytes" % got)
                    return False
                got += len(chunk)
                if sent < 2 and got > (sent + 1) * EXCHANGE_RECEIVE // 3:
                    s.sendall(bytes([0x61 + sent]) * rnd.randint(1, 270))
                    sent += 1
    return True


def tls_exchanges(port, count, threads):
    """count TLS clients, threads at a time; gives how many exchanged."""
    from concurrent.futures import ThreadPoolExecutor

    ctx = unverified_context()

    def clients(seed):
        rnd = random.Random(seed)
        return sum(tls_exchange(ctx, port, rnd) for _ in range(count // threads))

    with ThreadPoolExecutor(max_workers=threads) as pool:
        return sum(pool.map(clients, range(threads)))


def case_tls_exchange_memory():
    """TLS clients that receive relayed payloads of many sizes and send some leave the relay's
    resident memory where the first few thousand of them took it: a raw client sends all the
    time, 3000 TLS clients (30 at a time) come and go, then 3000 more, which grow the relay by
    less than 1 MiB. Measured with every connection ended, as the relay's end lines show."""
    if sanitizer_runtime():
        # The sanitizer's own allocator serves the relay's heap there, with a cache for every
        # size in each of the 64 slot threads: even without the quarantine its resident size
        # rose by about 10 MiB over the first 10,000 such clients, in steps, whatever the
        # relay frees. The allocator of a normal build is the one this case watches.
        print("skipped: the relay runs on a sanitizer's allocator")
        sys.exit(77)
    r = Relay(RELAY, certificate=True)
    stop = threading.Event()
    try:
        witness = connect_ready(r, "raw")

        def send_all_the_time():
            sizes = relayed_sizes()
            while not stop.is_set():
                try:
                    witness.send_bytes(b"w" * next(sizes))
                except OSError:
                    return
                with witness.cv:
                    witness.buf.clear()  # what the clients send back is not kept
                time.sleep(0.001)

        sender = threading.Thread(target=send_all_the_time, daemon=True)
        sender.start()
        rounds, count, threads = [], 3000, 30
        for _ in range(2):
            exchanged = tls_exchanges(r.port, count, threads)
            check(exchanged >= count * 9 // 10, "only %u of %u clients exchanged" %
                  (exchanged, count))
            check(r.wait_end_lines(len(rounds) * count + count, 60), r.output()[-2000:])
            rounds.append(rss_kib(r.proc.pid))
        print("resident memory %u KiB after %u TLS clients, %u KiB after %u" %
              (rounds[0], count, rounds[1], 2 * count))
        check(rounds[1] - rounds[0] < 1024, "grew by %u KiB" % (rounds[1] - rounds[0]))
        check(sender.is_alive() and r.proc.poll() is None, "the sender or the relay ended")
    finally:
        stop.set()
        r.stop()


# ---------------------------------------------------------------------------------------------
# A raw stream faster than its receivers take it: the relay's reads come back full.

STREAM_BYTES = 4 << 20
STREAM_WRITE = 64 << 10  # the sender's writes, longer than any receive of the relay
STALL = 2.0  # seconds that each WebSocket receiver stops reading, in the middle of the stream


def stream_to_receivers(length):
    """A raw sender writes STREAM_BYTES (no 0xFF byte) as fast as the relay takes them; the
    Python websockets client, a two-key and a raw receiver must each get every byte in order,
    whatever cut the relay's full reads make. The RFC 6455 receiver stops reading for STALL
    seconds a third of the way in, the two-key receiver two thirds of the way in, so that
    back-pressure fills the reads at every packet length."""
    import websockets

    data = os.urandom(STREAM_BYTES).replace(b"\xff", b"\xfe")
    r = Relay(RELAY, ["-L", str(length)])
    try:
        raw = connect_ready(r, "raw")
        ws76 = connect_ready(r, "ws76")

        def write_all(sender):
            try:
                for at in range(0, len(data), STREAM_WRITE):
                    sender.send(data[at:at + STREAM_WRITE])
            except OSError:
                pass  # the relay closed it: the receivers' checks tell what went wrong

        async def receive():
            before = len(r.type_words())
            # A queue of one message: while the test does not read, the client does not either.
            async with websockets.connect("ws://127.0.0.1:%u/" % r.port, compression=None,
                                          ping_interval=None, max_size=None,
                                          max_queue=1) as ws:
                check(r.wait_type_words(before + 1)[-1] == "WS", r.output())
                sender = connect_ready(r, "raw")
                writer = threading.Thread(target=write_all, args=(sender,), daemon=True)
                writer.start()
                got = 0
                stalls = [len(data) // 3, 2 * len(data) // 3]
                while got < len(data):
                    try:
                        m = await asyncio.wait_for(ws.recv(), 10)
                    except asyncio.TimeoutError:
                        check(False, length, "RFC 6455 receiver stuck at", got, len(data))
                    m = m.encode() if isinstance(m, str) else m
                    check(m and m == data[got:got + len(m)], length, "RFC 6455 receiver differs",
                          got, len(m))
                    got += len(m)
                    if len(stalls) == 2 and got >= stalls[0]:
                        stalls.pop(0)
                        await asyncio.sleep(STALL)  # nothing is read meanwhile
                    elif len(stalls) == 1 and got >= stalls[0]:
                        stalls.pop(0)
                        ws76.paused.set()
                        threading.Timer(STALL, ws76.paused.clear).start()
                writer.join(30)
                check(not writer.is_alive(), length, "the sender is still blocked")
                return sender

        sender = asyncio.run(receive())
        check(wait_until(lambda: len(raw.data()) >= len(data), 30), length, len(raw.data()))
        check(raw.data() == data, length, "raw receiver differs")
        check(wait_until(lambda: len(ws76.data()) >= len(data) and ws76.data().endswith(b"\xff"),
                         30 + STALL, 0.1), length, len(ws76.data()))
        two_key = b"".join(ws76.messages())
        check(two_key == data, length, "two-key receiver differs", len(two_key))
        check(b"!! " not in r.output(), r.output())
        for c in (sender, raw, ws76):
            c.close()
    finally:
        r.stop()


# Where Debian's node-undici installs the undici package: Debian's own nodejs finds it there by
# itself, any other Node.js through NODE_PATH.
NODE_MODULES = "/usr/share/nodejs"
UNDICI_CLIENT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "undici_client.js")


class UndiciClient:
    """undici's WebSocket client in a Node.js process of its own (undici_client.js): each event
    comes back as one JSON object, each command goes to it as one."""

    def __init__(self, node, url, protocol):
        env = dict(os.environ, NODE_TLS_REJECT_UNAUTHORIZED="0",  # the relay's test certificate
                   NODE_PATH=os.pathsep.join(filter(None, [NODE_MODULES,
                                                           os.environ.get("NODE_PATH")])))
        self.proc = subprocess.Popen([node, UNDICI_CLIENT, url, protocol], env=env,
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE)
        self.events = []
        self.cv = threading.Condition()
        self.err = bytearray()
        threading.Thread(target=self._read_events, daemon=True).start()
        self.err_pump = threading.Thread(target=lambda: self.err.extend(self.proc.stderr.read()),
                                         daemon=True)
        self.err_pump.start()

    def _read_events(self):
        for line in self.proc.stdout:
            with self.cv:
                self.events.append(json.loads(line))
                self.cv.notify_all()
        with self.cv:
            self.events.append({"exit": self.proc.wait()})
            self.cv.notify_all()

    def expect(self, want, timeout=10.0):
        """Waits for the next event, which must be want; else the client's errors are shown."""
        with self.cv:
            event = self.events.pop(0) if self.cv.wait_for(lambda: self.events, timeout) else None
        if event != want:
            raise AssertionError("undici: %r, not %r | %s" % (event, want, self.stop()))

    def loaded(self, timeout):
        """Waits until the process has started and loaded undici."""
        with self.cv:
            self.cv.wait_for(lambda: self.events, timeout)
            event = self.events.pop(0) if self.events else None
        if not event or "loaded" not in event:
            raise AssertionError("undici: %r, not loaded | %s" % (event, self.stop()))

    def command(self, **what):
        self.proc.stdin.write((json.dumps(what) + "\n").encode())
        self.proc.stdin.flush()

    def stop(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait(timeout=10)
        self.err_pump.join(timeout=5)
        return bytes(self.err).decode(errors="replace")


async def undici_round(r, raw, node, scheme, websockets):
    """One undici client and one websockets client over scheme, with the raw client."""
    ctx = None
    if scheme == "wss":
        ctx = unverified_context()
    url = "%s://127.0.0.1:%u/" % (scheme, r.port)
    before = len(r.type_words())
    async with websockets.connect(url, ssl=ctx, compression=None, ping_interval=None) as py:
        r.wait_type_words(before + 1)
        u = UndiciClient(node, url, "chat")
        try:
            u.loaded(60)  # Node.js and undici start, a matter of the machine's load
            u.command(connect=1)
            words = r.wait_type_words(before + 2)
            check(words[-1] == scheme.upper(), words, r.output()[-600:])
            await asyncio.to_thread(u.expect, {"open": "chat"})  # its sub-protocol came back

            async def others_get(sender, message):
                """A message of sender ("raw", "py" or "undici") as the two others get it: a
                str as text, bytes as binary; the raw client gets its bytes."""
                payload = message.encode() if isinstance(message, str) else message
                if sender != "py":
                    got = await asyncio.wait_for(py.recv(), 10)
                    check(got == message, got, message)
                if sender != "undici":
                    want = {"text": message} if isinstance(message, str) else {"binary":
                                                                                message.hex()}
                    await asyncio.to_thread(u.expect, want)
                if sender != "raw":
                    check(wait_until(lambda: raw.data().endswith(payload), 10),
                          raw.data()[-100:], payload)

            raw.send("from raw \u2713".encode())
            await others_get("raw", "from raw \u2713")
            await py.send("from websockets")
            await others_get("py", "from websockets")
            await py.send(b"\xc3\x28 py \x00")  # ill-formed: binary for undici from now on
            await others_get("py", b"\xc3\x28 py \x00")
            u.command(text="from undici \u00e9")
            await others_get("undici", "from undici \u00e9")
            u.command(binary="00c328ff")
            await others_get("undici", b"\x00\xc3\x28\xff")
            u.command(close=1)
            await asyncio.to_thread(u.expect, {"close": 1000})
            await asyncio.to_thread(u.expect, {"exit": 0})
        finally:
            u.stop()


def case_undici_websocket():
    """Node.js's WebSocket client, undici (Debian's node-undici on Debian's nodejs), writes the
    upgrade request's header names in lower case: over ws:// and wss:// it is upgraded, gets its
    sub-protocol back, and exchanges text and binary with a websockets client and a raw client."""
    node = shutil.which("node")
    try:
        import websockets
    except ImportError:
        websockets = None
    if not node or not os.path.isdir(os.path.join(NODE_MODULES, "undici")) or not websockets:
        sys.exit(77)  # tools/setup.sh test installs nodejs, node-undici and python3-websockets
    r = Relay(RELAY, certificate=True)
    try:
        raw = connect_ready(r, "raw")
        ends = 0
        for scheme in ("ws", "wss"):
            asyncio.run(undici_round(r, raw, node, scheme, websockets))
            ends += 2
            check(r.wait_end_lines(ends), r.output()[-600:])  # both gone before the next round
        check(b"Invalid or unsupported" not in r.output(), r.output())
        raw.close()
    finally:
        r.stop()


# (protocol, groups the client offers, its key share first, the group agreed, None: refused).
# Only elliptic curves are agreed; a client's share on one of them is taken, a client that
# offers a finite-field group first is asked for a share on a curve it also offers. On TLS 1.2
# the relay's order decides (and the certificate's curve P-256 must be among the offered).
KEY_EXCHANGES = [
    ("-tls1_3", "X25519", "X25519"),
    ("-tls1_3", "P-256", "prime256v1"),
    ("-tls1_3", "P-384", "secp384r1"),
    ("-tls1_3", "P-256:X25519", "prime256v1"),
    ("-tls1_3", "ffdhe2048:X25519", "X25519"),
    ("-tls1_3", "ffdhe2048:P-256", "prime256v1"),
    ("-tls1_3", "ffdhe2048", None),
    ("-tls1_3", "ffdhe3072", None),
    ("-tls1_3", "ffdhe4096", None),
    ("-tls1_3", "ffdhe6144", None),
    ("-tls1_3", "ffdhe8192", None),
    ("-tls1_3", "X448", None),
    ("-tls1_3", "P-521", None),
    ("-tls1_2", "P-256:X25519", "X25519"),
    ("-tls1_2", "P-256", "prime256v1"),
    ("-tls1_2", "ffdhe2048", None),
]
TEMP_KEY = re.compile(rb"\nServer Temp Key: (?:ECDH, )?([^,\n]+),")


def key_exchange(port, protocol, groups):
    """OpenSSL's own client with only these groups; the group it agreed, or None."""
    done = subprocess.run(["openssl", "s_client", "-connect", "127.0.0.1:%u" % port, protocol,
                           "-groups", groups], stdin=subprocess.DEVNULL, capture_output=True,
                          timeout=30)
    found = TEMP_KEY.search(done.stdout)
    check((done.returncode == 0) == (found is not None), protocol, groups, done.returncode,
          done.stdout[-600:], done.stderr[-600:])
    return found.group(1).decode() if found else None


def case_tls_key_exchange_groups():
    """What a client's choice of key exchange groups gets from the relay, as OpenSSL's command
    line client reports it; a refused handshake ends its connection like any other."""
    from concurrent.futures import ThreadPoolExecutor

    r = Relay(RELAY, certificate=True)
    try:
        with ThreadPoolExecutor(max_workers=4) as pool:
            agreed = list(pool.map(lambda row: key_exchange(r.port, row[0], row[1]),
                                   KEY_EXCHANGES))
        wrong = [(row, got) for row, got in zip(KEY_EXCHANGES, agreed) if got != row[2]]
        check(not wrong, wrong)
        check(r.wait_end_lines(len(KEY_EXCHANGES), 30), r.output()[-2000:])
        check(r.output().count(b"SYN from") == len(KEY_EXCHANGES), r.output()[-2000:])
        check(b"!!" not in r.output(), r.output()[-2000:])
        check(r.proc.poll() is None, "the relay ended")
    finally:
        r.stop()


# ---------------------------------------------------------------------------------------------
# The console under concurrency: many short connections side by side, each line exact.

CONSOLE_TOKEN = re.compile(
    rb"\r:: SYN from 127\.0\.0\.1:(?P<port>\d+)  :: server_(?P<slot>\d\d)\.working  "
    rb"active (?P<n>\d\d)/(?P<of>\d\d)  so (?P<so>-?\d+)  "
    rb"|(?P<word>RAW|TLS|WSS|WS)\n"
    rb"|(?P<blank>\n\n)"
    rb"|:: server_(?P<end_slot>\d\d)\.fin  active (?P<m>\d\d)/(?P<end_of>\d\d)  "
    rb"so (?P<end_so>-?\d+)\n")


def console_tokens(text):
    """The relay's connection lines as (kind, match): "arrival", "word", "blank" or "end".
    Anything else in the text fails, with the place where it stands."""
    tokens, at = [], 0
    while at < len(text):
        m = CONSOLE_TOKEN.match(text, at)
        check(m is not None, "not a connection line", at, text[max(0, at - 200):at + 200])
        kind = ("arrival" if m.group("port") else "word" if m.group("word") else
                "blank" if m.group("blank") else "end")
        tokens.append((kind, m))
        at = m.end()
    return tokens


def check_console_account(text, kinds, slots):
    """Reads the connection lines in order, as a script does: an end line stands at the start
    of a line (after a type word or end line, or after the empty line that ends an open
    arrival line); a type word ends the arrival line just before it, and it is the word of the
    client that the line names by its port; each count is the one on the line before it, plus
    one on an arrival line and minus one on an end line; every slot ends the connection it
    began, and every client has one arrival and one end line. Every fault is counted and the
    first few shown. Gives the number of each type word."""
    faults, words = {}, {}
    count, previous, last_end = 0, ("end", None), None
    open_slots, arrived, ended = {}, [], 0

    def fault(what, m, ok):
        if not ok:
            faults.setdefault(what, []).append(text[max(0, m.start() - 250):m.end() + 60])

    for kind, m in console_tokens(text):
        if kind == "arrival":
            fault("count out of step", m, int(m.group("n")) == count + 1)
            count = int(m.group("n"))
            fault("slot busy", m, m.group("slot") not in open_slots)
            fault("maximum", m, int(m.group("of")) == slots)
            open_slots[m.group("slot")] = m.group("so")
            arrived.append(int(m.group("port")))
            last_end = None
        elif kind == "word":
            fault("type word off its arrival line", m, previous[0] == "arrival")
            if previous[0] == "arrival":
                client = kinds.get(int(previous[1].group("port")))
                fault("type word on another connection's line", m,
                      TYPE_OF_KIND.get(client) == m.group("word").decode())
            words[m.group("word").decode()] = words.get(m.group("word").decode(), 0) + 1
        elif kind == "blank":
            fault("empty line after no arrival line", m, previous[0] == "arrival")
            fault("empty line before no end line", m, text.startswith(b":: server_", m.end()))
        else:
            fault("end line glued onto a line", m, previous[0] != "arrival")
            fault("count out of step", m, int(m.group("m")) == count - 1)
            fault("end line count rose with no arrival line between", m,
                  last_end is None or int(m.group("m")) < last_end)
            count = last_end = int(m.group("m"))
            fault("maximum", m, int(m.group("end_of")) == slots)
            fault("end of a connection the slot did not begin", m,
                  open_slots.pop(m.group("end_slot"), None) == m.group("end_so"))
            ended += 1
        previous = (kind, m)
    check(not faults, {what: len(seen) for what, seen in faults.items()},
          {what: seen[:2] for what, seen in faults.items()})
    check(count == 0 and not open_slots and ended == len(arrived), "unbalanced", count,
          open_slots)
    check(sorted(arrived) == sorted(kinds), "arrivals are not the clients", len(arrived),
          len(kinds))
    return words


def short_connection(port, kind):
    """Connects, is classified at once (a raw client ends its sending side before the relay
    looks, a TLS client right after its handshake), and waits until the relay closes. Gives the
    local port, and whether the TLS handshake went through."""
    s = socket.create_connection(("127.0.0.1", port), timeout=10)
    local = s.getsockname()[1]
    through = True
    try:
        if kind == "tls":
            ctx = unverified_context()
            try:
                s = ctx.wrap_socket(s, server_hostname="localhost")
            except (ssl.SSLError, OSError):
                through = False  # the relay gave up on a handshake answered late
        if through:
            socket.socket.shutdown(s, socket.SHUT_WR)
            while True:
                try:
                    if not socket.socket.recv(s, 4096):
                        break
                except (ssl.SSLError, OSError):
                    break
    finally:
        s.close()
    return local, through


def lines_while_classified(r):
    """A silent raw client is classified (after the relay's two waits of 500 ms) while an older
    connection ends and a TLS client arrives: the silent one's type word, left out, lands
    neither after the end line nor on the TLS client's line, which gets its own word first
    (its wait for an upgrade is one of 500 ms). Gives False when the silent one was classified
    alone before the others came (a slow machine), which leaves nothing to judge."""
    start = len(r.output())
    older = connect_ready(r, "raw")
    silent = Client(r.port)
    ports = [c.sock.getsockname()[1] for c in (older, silent)]
    check(r.wait_out(b":%d  :: server_" % ports[1], 10), r.output()[start:])
    older.close()
    check(r.wait_end_lines(r.output()[:start].count(b".fin  active") + 1, 10))
    tls = Client(r.port, tls=True)
    ports.append(tls.sock.getsockname()[1])
    check(wait_until(lambda: b"TLS\n" in r.output()[start:], 10), r.output()[start:])
    ends = r.output().count(b".fin  active")
    for c, k in ((silent, 1), (tls, 2)):
        c.close()
        check(r.wait_end_lines(ends + k, 10), r.output()[start:])
    text = r.output()[start:]
    if re.search(rb":%d  :: [^\r\n]*  RAW\n" % ports[1], text):
        return False
    arrival = (rb"\r:: SYN from 127\.0\.0\.1:%d  :: server_(\d\d)\.working  "
               rb"active 0%d/32  so (\d+)  ")
    check(re.fullmatch(arrival % (ports[0], 1) + rb"RAW\n" +
                       arrival % (ports[1], 2) + rb"\n\n:: server_\1\.fin  active 01/32  so \2\n" +
                       arrival % (ports[2], 2) + rb"TLS\n" +
                       rb":: server_\3\.fin  active 01/32  so \4\n"
                       rb":: server_\5\.fin  active 00/32  so \6\n", text), text)
    return True


def case_console_under_concurrency():
    """Short raw and TLS connections from several threads side by side: the console's account
    of them reads exactly, line by line."""
    threads, per_thread, slots = 8, 60, 32
    r = Relay(RELAY, ["-c", str(slots)], certificate=True)
    try:
        for attempt in range(5):
            if lines_while_classified(r):
                break
            print("attempt %d: the silent client was classified before the others came" % attempt)
        else:
            check(False, "every attempt came too late to judge the silent client's line")
        start = len(r.output())
        ends_before = r.output()[:start].count(b".fin  active")
        kinds, late, failures = {}, [], []
        lock = threading.Lock()

        def client(index):
            for k in range(per_thread):
                kind = ("raw", "tls")[(index + k) % 2]
                try:
                    local, through = short_connection(r.port, kind)
                except OSError as e:
                    with lock:
                        failures.append((kind, repr(e)))
                    return
                with lock:
                    kinds[local] = kind
                    if not through:
                        late.append(local)

        workers = [threading.Thread(target=client, args=(i,), daemon=True)
                   for i in range(threads)]
        for w in workers:
            w.start()
        for w in workers:
            w.join(180)
        check(not any(w.is_alive() for w in workers), "a client did not end")
        check(not failures, failures[:5])
        check(len(kinds) == threads * per_thread, "a local port came twice", len(kinds))
        # A client ends as the relay closes its socket, a little before the relay prints its
        # end line: the account is read once every one of these clients has its end line,
        # counted on top of the end lines printed before them (the judged classification's).
        check(r.wait_end_lines(ends_before + len(kinds), 60), r.output()[-2000:])
        mark = r.mark()  # every end line is in: nothing more comes for these clients
        words = check_console_account(r.output()[start:mark], kinds, slots)
        print("%u connections, type words %s, %u TLS handshakes answered late" %
              (len(kinds), words, len(late)))
        check(r.proc.poll() is None, "the relay ended")
    finally:
        r.stop()


def case_raw_stream():
    """Every receiver of every kind gets a raw sender's whole stream, with the default packet
    length and with -L 65112."""
    websockets_or_skip()
    for length in (L, 65112):
        stream_to_receivers(length)


CASES = {name[5:]: fn for name, fn in globals().items() if name.startswith("case_")}

if __name__ == "__main__":
    RELAY = os.path.abspath(sys.argv[1])
    CASES[sys.argv[2]]()
    print("ok", sys.argv[2])
