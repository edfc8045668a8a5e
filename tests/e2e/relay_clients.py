# Clients and a process harness for the end-to-end tests: starts the relay program on a free
# loopback port in a temporary working directory (with certificates made by openssl when asked),
# and speaks raw TCP, TLS, RFC 6455 WebSocket and the two-key WebSocket form to it.
import base64
import hashlib
import os
import random
import re
import select
import shutil
import socket
import ssl
import struct
import subprocess
import tempfile
import threading
import time

TYPE_WORD = re.compile(rb"  (RAW|TLS|WSS|WS)\n")
MARK = b"\0"  # a byte the relay never prints: a test's mark in its standard output
BANNER = b":: waiting for client connection...\n\n"  # the relay serves from here on
SANITIZER_REPORT = re.compile(rb"ThreadSanitizer|AddressSanitizer|LeakSanitizer|runtime error:")


def free_port():
    """A port that can be bound now, below the ephemeral range (32768 up): a port the system
    handed out for a moment can meanwhile become the local end of another test's outgoing
    connection. A random one, so that tests running side by side seldom try the same."""
    for _ in range(200):
        port = random.randint(20000, 32000)
        with socket.socket() as s:
            try:
                s.bind(("0.0.0.0", port))
            except OSError:
                continue
            return port
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def make_certificate(directory, name, days=2):
    key = os.path.join(directory, name + ".key")
    crt = os.path.join(directory, name + ".crt")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                    "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", key, "-out", crt,
                    "-days", str(days), "-subj", "/CN=localhost"],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    with open(os.path.join(directory, name), "wb") as out:
        for part in (crt, key):
            with open(part, "rb") as f:
                out.write(f.read())


def wait_until(predicate, timeout=10.0, step=0.01):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if predicate():
            return True
        time.sleep(step)
    return predicate()


class Relay:
    """The relay program on a free port; its output is collected while it runs."""

    def __init__(self, binary, args=(), certificate=False, port=None, wait_banner=True,
                 argv=None):
        self.dir = tempfile.mkdtemp(prefix="relay-e2e-")
        if certificate:
            make_certificate(self.dir, "relay.pem")
        # A port of our own choosing can still be taken by another test between the check and
        # the relay's bind: then the relay reports 10048 and ends, and another port is tried.
        chosen = port is None and argv is None
        for attempt in range(5):
            self._start(binary, args, port, argv)
            if not wait_banner or not chosen or not self.bind_lost():
                break
            self.stop(keep_dir=True)
        if wait_banner:
            assert self.wait_out(BANNER, 30), self.output()

    def _start(self, binary, args, port, argv):
        self.port = port or free_port()
        self.argv = argv or [binary, "-p", str(self.port)] + list(args)
        # The test keeps a writing end of the relay's standard output, for its marks.
        out_read, self.mark_end = os.pipe()
        self.proc = subprocess.Popen(self.argv, cwd=self.dir, stdin=subprocess.DEVNULL,
                                     stdout=self.mark_end, stderr=subprocess.PIPE)
        self.out = bytearray()
        self.err = bytearray()
        self.marks = []
        self.lock = threading.Lock()
        self.pumps = [threading.Thread(target=self._pump, args=(out_read, self.out, self.marks)),
                      threading.Thread(target=self._pump, args=(self.proc.stderr.fileno(),
                                                                self.err))]
        for p in self.pumps:
            p.daemon = True
            p.start()

    def bind_lost(self):
        """Waits until the relay serves or ends; true when it ended because its port was taken."""
        wait_until(lambda: BANNER in self.output() or self.proc.poll() is not None, 30.0)
        return BANNER not in self.output() and b"^ERROR: 10048," in self.output()

    def _pump(self, fd, into, marks=None):
        """Collects a stream; a mark is taken out of it and its place kept in marks."""
        while True:
            chunk = os.read(fd, 65536)
            if not chunk:
                if marks is not None:
                    os.close(fd)
                return
            with self.lock:
                for i, part in enumerate(chunk.split(MARK) if marks is not None else [chunk]):
                    if i:
                        marks.append(len(into))
                    into.extend(part)

    def mark(self):
        """Marks the relay's standard output as it is now. Gives the mark's place in output(),
        once read: everything the relay printed before this call lies before that place, all it
        prints later after it."""
        with self.lock:
            count = len(self.marks)
        os.write(self.mark_end, MARK)
        assert wait_until(lambda: len(self.marks) > count, 10), "the mark was not read"
        return self.marks[count]

    def output(self):
        with self.lock:
            return bytes(self.out)

    def errors(self):
        with self.lock:
            return bytes(self.err)

    def wait_out(self, needle, timeout=10.0):
        return wait_until(lambda: needle in self.output(), timeout)

    def type_words(self):
        return [m.group(1).decode() for m in TYPE_WORD.finditer(self.output())]

    def wait_type_words(self, count, timeout=10.0):
        assert wait_until(lambda: len(self.type_words()) >= count, timeout), self.output()
        time.sleep(0.05)  # the slot becomes ready right after its type word
        return self.type_words()

    def wait_end_lines(self, count, timeout=10.0):
        return wait_until(lambda: self.output().count(b".fin  active") >= count, timeout)

    def stop(self, keep_dir=False):
        alive = self.proc.poll() is None
        if alive:
            self.proc.kill()
        self.proc.wait(timeout=10)
        os.close(self.mark_end)  # the last writing end: the pump reads to the end
        for p in self.pumps:
            p.join(timeout=5)
        if not keep_dir:
            shutil.rmtree(self.dir, ignore_errors=True)
        assert not SANITIZER_REPORT.search(self.errors()), self.errors().decode(errors="replace")
        return alive


# ---------------------------------------------------------------------------------------------
# Clients. Each keeps one I/O thread that receives into a buffer, so that a test never blocks
# the relay by not reading (unless it pauses the client on purpose).


class Client:
    kind = "raw"

    def __init__(self, port, tls=False, connect=True):
        self.port = port
        self.tls = tls
        self.buf = bytearray()
        self.cv = threading.Condition()
        self.closed = False
        self.paused = threading.Event()
        self.sock = None
        if connect:
            self.connect()

    def connect(self):
        raw = socket.create_connection(("127.0.0.1", self.port), timeout=10)
        raw.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        if self.tls:
            ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
            ctx.check_hostname = False
            ctx.verify_mode = ssl.CERT_NONE
            raw = ctx.wrap_socket(raw, server_hostname="localhost")
        self.sock = raw
        self.upgrade()  # under the connect's time-out: an upgrade reply that never comes fails
        if not self.tls:
            self.sock.settimeout(None)
        self.send_lock = threading.Lock()
        self.thread = threading.Thread(target=self._receive, daemon=True)
        self.thread.start()

    def upgrade(self):
        pass

    def _receive(self):
        while True:
            while self.paused.is_set():
                time.sleep(0.01)
            try:
                chunk = self._receive_some()
                if chunk is None:
                    continue
            except (socket.timeout, ssl.SSLWantReadError):
                continue
            except (OSError, ssl.SSLError, ValueError):  # ValueError: closed here
                chunk = b""
            with self.cv:
                if not chunk:
                    self.closed = True
                    self.cv.notify_all()
                    return
                self.buf.extend(chunk)
                self.cv.notify_all()

    def _receive_some(self):
        if self.tls:  # one TLS object: receive and send take turns
            with self.send_lock:
                self.sock.settimeout(0.02)
                return self.sock.recv(65536)
        ready, _, _ = select.select([self.sock], [], [], 0.02)
        return self.sock.recv(65536) if ready else None

    def send_bytes(self, data):
        if not self.tls:
            self.sock.sendall(data)
            return
        with self.send_lock:
            self.sock.settimeout(20)
            self.sock.sendall(data)

    def send(self, payload):
        self.send_bytes(payload)

    def wait_bytes(self, count, timeout=10.0):
        with self.cv:
            self.cv.wait_for(lambda: len(self.buf) >= count or self.closed, timeout)
            return bytes(self.buf)

    def wait_closed(self, timeout=10.0):
        with self.cv:
            return self.cv.wait_for(lambda: self.closed, timeout)

    def data(self):
        with self.cv:
            return bytes(self.buf)

    # Payloads as this client's framing delivers them; a raw stream is one run of bytes.
    def messages(self):
        return [self.data()] if self.data() else []

    def leave(self):
        """Ends the connection in order: no more sending, read until the relay closes."""
        try:
            with self.send_lock:
                self._shutdown_write()
        except OSError:
            pass
        self.wait_closed(10)
        self.close()

    def _shutdown_write(self):
        # On TLS the TCP side is shut down without a close_notify, as the relay does itself.
        socket.socket.shutdown(self.sock, socket.SHUT_WR)

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass


def parse_frames(buf):
    """Server frames of RFC 6455 (unmasked): a list of (opcode, payload) and the rest."""
    frames = []
    i = 0
    while i + 2 <= len(buf):
        b0, b1 = buf[i], buf[i + 1]
        n = b1 & 0x7F
        h = 2
        if n == 126:
            if i + 4 > len(buf):
                break
            n = struct.unpack(">H", buf[i + 2:i + 4])[0]
            h = 4
        elif n == 127:
            if i + 10 > len(buf):
                break
            n = struct.unpack(">Q", buf[i + 2:i + 10])[0]
            h = 10
        assert b1 & 0x80 == 0, "server frames are never masked"
        if i + h + n > len(buf):
            break
        frames.append((b0, bytes(buf[i + h:i + h + n])))
        i += h + n
    return frames, bytes(buf[i:])


def frame(opcode_byte, payload, mask=True):
    n = len(payload)
    if n < 126:
        head = bytes([opcode_byte, (0x80 if mask else 0) | n])
    elif n < 65536:
        head = bytes([opcode_byte, (0x80 if mask else 0) | 126]) + struct.pack(">H", n)
    else:
        head = bytes([opcode_byte, (0x80 if mask else 0) | 127]) + struct.pack(">Q", n)
    if not mask:
        return head + payload
    key = os.urandom(4)
    return head + key + bytes(b ^ key[i % 4] for i, b in enumerate(payload))


class Ws13Client(Client):
    kind = "ws"
    GUID = b"258EAFA5-E914-47DA-95CA-C5AB0DC85B11"

    def upgrade(self):
        key = base64.b64encode(os.urandom(16))
        request = (b"GET /chat HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n"
                   b"Connection: Upgrade\r\nSec-WebSocket-Key: " + key +
                   b"\r\nSec-WebSocket-Version: 13\r\n\r\n")
        self.sock.sendall(request)
        reply = b""
        while b"\r\n\r\n" not in reply:
            chunk = self.sock.recv(4096)
            assert chunk, "no upgrade reply"
            reply += chunk
        head, rest = reply.split(b"\r\n\r\n", 1)
        accept = base64.b64encode(hashlib.sha1(key + self.GUID).digest())
        assert head.startswith(b"HTTP/1.1 101 Switching Protocols\r\n"), head
        assert b"Sec-WebSocket-Accept: " + accept in head, head
        self.buf.extend(rest)

    def send(self, payload, opcode_byte=0x82):
        self.send_bytes(frame(opcode_byte, payload))

    def frames(self):
        return parse_frames(self.data())[0]

    def messages(self):
        return [p for _, p in self.frames()]

    def leave(self):
        try:
            self.send_bytes(frame(0x88, b"\x03\xe8"))
        except OSError:
            pass
        self.wait_closed(10)
        self.close()


class Ws76Client(Client):
    kind = "ws76"

    def upgrade(self):
        n1, s1, n2, s2 = 12 * 3, 3, 20 * 4, 4  # quotients 12 and 20
        key3 = os.urandom(8).replace(b"\xff", b"\x01")
        request = (b"GET /demo HTTP/1.1\r\nHost: 127.0.0.1:" + str(self.port).encode() +
                   b"\r\nConnection: Upgrade\r\nUpgrade: WebSocket\r\nOrigin: http://e2e\r\n"
                   b"Sec-WebSocket-Key1: 3" + b" " * s1 + b"6\r\nSec-WebSocket-Key2: 8" +
                   b" " * s2 + b"0\r\n\r\n" + key3)
        assert (n1, n2) == (36, 80)
        self.sock.sendall(request)
        expected = hashlib.md5(struct.pack(">II", 12, 20) + key3).digest()
        reply = b""
        while b"\r\n\r\n" not in reply or len(reply.split(b"\r\n\r\n", 1)[1]) < 16:
            chunk = self.sock.recv(4096)
            assert chunk, "no upgrade reply"
            reply += chunk
        head, rest = reply.split(b"\r\n\r\n", 1)
        assert head.startswith(b"HTTP/1.1 101 WebSocket Protocol Handshake\r\n"), head
        assert rest[:16] == expected, "two-key digest"
        self.buf.extend(rest[16:])

    def send(self, payload):
        self.send_bytes(b"\x00" + payload + b"\xff")

    def messages(self):
        data = self.data()
        out = []
        i = 0
        while i < len(data):
            assert data[i] == 0, data
            j = data.find(b"\xff", i + 1)
            if j < 0:
                break
            out.append(data[i + 1:j])
            i = j + 1
        return out

    def leave(self):
        try:
            self.send_bytes(b"\x00\xff")  # the empty message closes the two-key conversation
        except OSError:
            pass
        self.wait_closed(10)
        self.close()


KINDS = {
    "raw": lambda port: Client(port),
    "tls": lambda port: Client(port, tls=True),
    "ws": lambda port: Ws13Client(port),
    "wss": lambda port: Ws13Client(port, tls=True),
    "ws76": lambda port: Ws76Client(port),
}
TYPE_OF_KIND = {"raw": "RAW", "tls": "TLS", "ws": "WS", "wss": "WSS", "ws76": "WS"}


def connect_ready(relay, kind):
    """Connects one client and waits until the relay has classified it (alone)."""
    before = len(relay.type_words())
    c = KINDS[kind](relay.port)
    words = relay.wait_type_words(before + 1)
    assert words[-1] == TYPE_OF_KIND[kind], (kind, words)
    return c


def no_more(clients, settle=0.3):
    """Lets in-flight data arrive, then gives every client's bytes."""
    time.sleep(settle)
    return [c.data() for c in clients]

