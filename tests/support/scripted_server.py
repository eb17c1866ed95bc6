#!/usr/bin/python3
"""HTTP server for the faults that nginx cannot produce, on 127.0.0.1 only.

Listeners, each on its own port:
  plain           plain HTTP
  tls             TLS 1.2 and later, localhost certificate from the test CA
  tls-otherhost   certificate for other.example from the test CA
  tls-selfsigned  self-signed certificate for 127.0.0.1
  tls-rogue       localhost certificate from a second CA that nothing trusts
  tls10           TLS 1.0 only
  dual            TLS (as tls) when the first byte is a handshake record, plain HTTP otherwise
--dual-port PORT puts the dual listener on PORT; with --dual-port-listener NAME, listener NAME
takes PORT instead and dual a free port (a client with a fixed address meets that listener).

On start one JSON line goes to stdout, {"plain": PORT, "tls": PORT, ...}; then it serves until
SIGTERM or SIGINT and exits with 0. Connections are kept alive unless a scenario closes them or the
client asks for "Connection: close".

--log FILE appends one JSON line per event:
  {"event": "connection", "conn": N, "listener": NAME}            on accepting a connection
  {"event": "request", "conn": N, "listener": NAME, "request": S}  on each request received
  {"event": "file-sent", "conn": N, "name": NAME, "bytes": B}      when /file/NAME was sent whole
S is the raw request up to and including the blank line, each byte one code point (latin-1).

Scenarios by path (N, ANNOUNCED, SENT are byte counts; bodies are bytes i % 251):
  /echo                         200, the body is this request's raw bytes
  /status/CODE                  "HTTP/1.1 CODE reason" and a short body (none for 204 and 304);
                                a 1xx is followed by a close
  /redirect/N                   302 to /redirect/N-1 (relative); /redirect/0 is 200 "done"
  /redirect-to?url=U[&status=S] S (302) with "Location: U"
  /relative/a/b                 302 to "../file-relative"; /relative/file-relative is 200
  /cookie/set                   302 to /echo, setting the cookie session=abc123
  /bytes/N                      200, N bytes
  /slow/N/BLOCKS/DELAY_MS       200, N bytes in BLOCKS pieces, DELAY_MS between pieces
  /cut/ANNOUNCED/SENT           Content-Length ANNOUNCED, SENT bytes, orderly close
  /reset/ANNOUNCED/SENT         Content-Length ANNOUNCED, SENT bytes, TCP reset
  /chunked/N                    200, chunked, N bytes in several chunks
  /chunked-broken/N             chunked, about half of N bytes, then closes without the last chunk
  /no-length/N                  200 without Content-Length or chunking, N bytes, then closes
  /length/N?value=V[&value=W]   200 with a "Content-Length: V" header for each value given,
                                N bytes, then closes
  /close/N                      200, N bytes, "Connection: close", then closes
  /stall-headers                reads the request, answers nothing
  /stall-body/ANNOUNCED/SENT    headers and SENT bytes, then nothing
  /bad-status-line              an unparseable status line
  /huge-headers[?kb=K]          200 after slightly more than K KiB (default 300) of header lines
  /continue                     100 Continue, then 200
  /switching                    101 Switching Protocols, then nothing (a stall)
  /not-modified                 304
  /redirect-no-location         302 without Location
  /no-content                   204
  /file/NAME[?framing=F]        NAME from --docroot, 404 when missing; with framing=close
                                without Content-Length, ended by closing; with framing=chunked
                                in chunks
  /KorvaneSetup.exe             answered as the path given by --setup (404 without it)
  /KorvaneSetup.exe.minisig     answered as the path given by --signature (404 without it)
  /codesign-ca.crl              answered as the path given by --revocation-list (404 without it)
Anything else is 404. Stalls last until the server stops, at most STALL_SECONDS.

A CONNECT to a port on 127.0.0.1 or localhost makes it a proxy whose answer to CONNECT carries
headers no answer of a server could pass ("Content-Length: unknown"); it then tunnels the bytes
both ways until either side closes.
"""

import argparse
import contextlib
import fcntl
import http
import json
import os
import selectors
import signal
import socket
import ssl
import struct
import sys
import termios
import threading
import urllib.parse
import warnings

STALL_SECONDS = 120
IDLE_SECONDS = 300  # a connection that sends nothing for this long is dropped
MAX_HEADER_BYTES = 1 << 20
BLOCK = 65536
PATTERN = bytes(i % 251 for i in range(251 * (BLOCK // 251 + 2)))

stopping = threading.Event()


class ConnectionDone(Exception):
    """The scenario has closed the connection (or the client went away)."""


def pattern_bytes(start, length):
    """Yields `length` pattern bytes starting at offset `start`, in blocks."""
    while length > 0:
        size = min(length, BLOCK)
        offset = start % 251
        yield PATTERN[offset:offset + size]
        start += size
        length -= size


class RequestLog:
    def __init__(self, path):
        self._file = open(path, "a", encoding="utf-8") if path else None
        self._lock = threading.Lock()

    def write(self, **record):
        if self._file is None:
            return
        with self._lock:
            self._file.write(json.dumps(record) + "\n")
            self._file.flush()


class Connection:
    """One accepted connection: reads requests and answers them until a scenario closes it."""

    def __init__(self, server, sock, conn_id, listener):
        self.server = server
        self.sock = sock
        self.conn_id = conn_id
        self.listener = listener
        self.buffer = b""

    # Sending and closing.

    def send(self, data):
        try:
            self.sock.sendall(data)
        except OSError as error:
            raise ConnectionDone() from error

    def head(self, code, headers=(), reason=None):
        if reason is None:
            try:
                reason = http.HTTPStatus(code).phrase
            except ValueError:
                reason = "Unknown"
        lines = [f"HTTP/1.1 {code} {reason}"] + [f"{name}: {value}" for name, value in headers]
        self.send(("\r\n".join(lines) + "\r\n\r\n").encode("latin-1"))

    def answer(self, code, body=b"", headers=(), close=False):
        headers = list(headers)
        if code >= 200 and code not in (204, 304):
            headers += [("Content-Type", "text/plain"), ("Content-Length", str(len(body)))]
        else:
            body = b""
        if close:
            headers.append(("Connection", "close"))
        self.head(code, headers)
        self.send(body)
        if close:
            self.close()

    def send_pattern(self, start, length):
        for block in pattern_bytes(start, length):
            self.send(block)

    def pause(self, seconds):
        if stopping.wait(seconds):
            self.close()

    def close(self):
        """Orderly close: TLS close_notify when on TLS, then FIN."""
        if isinstance(self.sock, ssl.SSLSocket):
            try:
                self.sock.setblocking(False)
                self.sock.unwrap()  # sends close_notify; does not wait for the client's
            except (OSError, ValueError):
                pass
        self._shut_and_close()

    def reset(self):
        """Abortive close: let the client's kernel take everything sent, then RST."""
        for _ in range(200):
            try:
                unsent, = struct.unpack("i", fcntl.ioctl(self.sock, termios.TIOCOUTQ, bytes(4)))
            except OSError:
                break
            if unsent == 0:
                break
            stopping.wait(0.01)
        stopping.wait(0.1)
        with contextlib.suppress(OSError):
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self._close()

    def _shut_and_close(self):
        with contextlib.suppress(OSError):
            self.sock.shutdown(socket.SHUT_WR)
        self._close()

    def _close(self):
        with contextlib.suppress(OSError):
            self.sock.close()
        raise ConnectionDone()

    # Reading requests.

    def read_request(self):
        """The raw request head, or None when the client closed the connection."""
        while b"\r\n\r\n" not in self.buffer:
            if len(self.buffer) > MAX_HEADER_BYTES:
                self.answer(431, b"request head too large\n", close=True)
            try:
                data = self.sock.recv(BLOCK)
            except OSError:
                return None
            if not data:
                return None
            self.buffer += data
        end = self.buffer.index(b"\r\n\r\n") + 4
        raw, self.buffer = self.buffer[:end], self.buffer[end:]
        return raw

    def discard_body(self, headers):
        length = int(headers.get("content-length", "0") or "0")
        while len(self.buffer) < length:
            data = self.sock.recv(BLOCK)
            if not data:
                raise ConnectionDone()
            self.buffer += data
        self.buffer = self.buffer[length:]

    def serve(self):
        try:
            self.sock.settimeout(IDLE_SECONDS)
            while not stopping.is_set():
                raw = self.read_request()
                if raw is None:
                    break
                self.server.log.write(event="request", conn=self.conn_id, listener=self.listener,
                                      request=raw.decode("latin-1"))
                lines = raw.decode("latin-1").split("\r\n")
                parts = lines[0].split(" ")
                if len(parts) != 3:
                    self.answer(400, b"bad request line\n", close=True)
                headers = {}
                for line in lines[1:]:
                    name, colon, value = line.partition(":")
                    if colon:
                        headers[name.strip().lower()] = value.strip()
                self.discard_body(headers)
                if parts[0] == "CONNECT":
                    self.tunnel(parts[1])
                self.respond(parts[1], raw)
                connection = headers.get("connection", "").lower()
                if connection == "close" or (parts[2] == "HTTP/1.0" and connection != "keep-alive"):
                    self.close()
            self.close()
        except ConnectionDone:
            pass
        except Exception as error:  # a scenario's bug must not end the server
            print(f"connection {self.conn_id}: {error!r}", file=sys.stderr, flush=True)
            try:
                self.sock.close()
            except OSError:
                pass

    def tunnel(self, authority):
        host, _, port = authority.rpartition(":")
        if host not in ("127.0.0.1", "localhost") or not port.isdigit():
            self.answer(403, b"loopback only\n", close=True)
        try:
            upstream = socket.create_connection(("127.0.0.1", int(port)), timeout=IDLE_SECONDS)
        except OSError:
            self.answer(502, b"cannot connect\n", close=True)
        with upstream, selectors.DefaultSelector() as selector:
            self.send(b"HTTP/1.1 200 Connection established\r\nContent-Length: unknown\r\n\r\n")
            upstream.sendall(self.buffer)
            peers = {self.sock: upstream, upstream: self.sock}
            for sock in peers:
                selector.register(sock, selectors.EVENT_READ)
            while not stopping.is_set():
                for key, _ in selector.select(timeout=1):
                    data = key.fileobj.recv(BLOCK)
                    if not data:
                        self.close()
                    peers[key.fileobj].sendall(data)
        self.close()

    # The scenarios.

    def respond(self, target, raw):
        url = urllib.parse.urlsplit(target)
        path, query = url.path, urllib.parse.parse_qs(url.query, keep_blank_values=True)
        stand_in = {"/KorvaneSetup.exe": self.server.setup,
                    "/KorvaneSetup.exe.minisig": self.server.signature,
                    "/codesign-ca.crl": self.server.revocation_list}.get(path)
        if stand_in:
            url = urllib.parse.urlsplit(stand_in)
            path, query = url.path, urllib.parse.parse_qs(url.query, keep_blank_values=True)
        parts = path.strip("/").split("/")
        name, args = parts[0], parts[1:]
        handler = SCENARIOS.get(name)
        if handler is not None:
            try:
                handler(self, args, query, raw)
                return
            except (ValueError, IndexError, KeyError):
                pass
        self.answer(404, b"not found\n")

    def s_echo(self, args, query, raw):
        self.answer(200, raw)

    def s_status(self, args, query, raw):
        code = int(args[0])
        if code < 200:
            self.head(code)
            self.close()
        else:
            self.answer(code, f"status {code}\n".encode())

    def s_redirect(self, args, query, raw):
        hops = int(args[0])
        if hops <= 0:
            self.answer(200, b"done")
        else:
            self.answer(302, b"redirect\n", [("Location", f"/redirect/{hops - 1}")])

    def s_redirect_to(self, args, query, raw):
        status = int(query.get("status", ["302"])[0])
        self.answer(status, b"redirect\n", [("Location", query["url"][0])])

    def s_relative(self, args, query, raw):
        if args == ["file-relative"]:
            self.answer(200, b"relative ok")
        else:
            self.answer(302, b"redirect\n", [("Location", "../file-relative")])

    def s_cookie(self, args, query, raw):
        if args != ["set"]:
            raise ValueError()
        self.answer(302, b"redirect\n",
                    [("Set-Cookie", "session=abc123; Path=/"), ("Location", "/echo")])

    def s_bytes(self, args, query, raw):
        size = int(args[0])
        self.head(200, [("Content-Type", "application/octet-stream"),
                        ("Content-Length", str(size))])
        self.send_pattern(0, size)

    def s_slow(self, args, query, raw):
        size, blocks, delay_ms = int(args[0]), max(1, int(args[1])), int(args[2])
        self.head(200, [("Content-Type", "application/octet-stream"),
                        ("Content-Length", str(size))])
        sent = 0
        for index in range(blocks):
            piece = size * (index + 1) // blocks - sent
            if index:
                self.pause(delay_ms / 1000)
            self.send_pattern(sent, piece)
            sent += piece

    def _partial(self, args):
        announced, sent = int(args[0]), int(args[1])
        self.head(200, [("Content-Type", "application/octet-stream"),
                        ("Content-Length", str(announced))])
        self.send_pattern(0, sent)

    def s_cut(self, args, query, raw):
        self._partial(args)
        self.close()

    def s_reset(self, args, query, raw):
        self._partial(args)
        self.reset()

    def _chunks(self, size, start=0):
        piece = max(1, min(16384, (size + 3) // 4))
        offset = start
        while offset < start + size:
            length = min(piece, start + size - offset)
            self.send(f"{length:x}\r\n".encode() + b"".join(pattern_bytes(offset, length)) +
                      b"\r\n")
            offset += length

    def s_chunked(self, args, query, raw):
        size = int(args[0])
        self.head(200, [("Content-Type", "application/octet-stream"),
                        ("Transfer-Encoding", "chunked")])
        self._chunks(size)
        self.send(b"0\r\n\r\n")

    def s_chunked_broken(self, args, query, raw):
        size = int(args[0])
        self.head(200, [("Content-Type", "application/octet-stream"),
                        ("Transfer-Encoding", "chunked")])
        self._chunks(size // 2)
        self.close()

    def s_no_length(self, args, query, raw):
        self.head(200, [("Content-Type", "application/octet-stream")])
        self.send_pattern(0, int(args[0]))
        self.close()

    def s_length(self, args, query, raw):
        size = int(args[0])
        self.head(200, [("Content-Type", "application/octet-stream")] +
                  [("Content-Length", value) for value in query["value"]])
        self.send_pattern(0, size)
        self.close()

    def s_close(self, args, query, raw):
        size = int(args[0])
        self.head(200, [("Content-Type", "application/octet-stream"),
                        ("Content-Length", str(size)), ("Connection", "close")])
        self.send_pattern(0, size)
        self.close()

    def s_stall_headers(self, args, query, raw):
        self.pause(STALL_SECONDS)
        self.close()

    def s_stall_body(self, args, query, raw):
        self._partial(args)
        self.pause(STALL_SECONDS)
        self.close()

    def s_bad_status_line(self, args, query, raw):
        self.send(b"HTTP/1.1 abc nonsense\r\n\r\n")
        self.close()

    def s_huge_headers(self, args, query, raw):
        lines = int(query.get("kb", ["300"])[0]) * 1024 // 100 + 1
        filler = [(f"X-Filler-{index:06}", "f" * 82) for index in range(lines)]  # 100 bytes a line
        self.answer(200, b"ok", filler)

    def s_continue(self, args, query, raw):
        self.head(100)
        self.answer(200, b"continued")

    def s_switching(self, args, query, raw):
        self.head(101, [("Upgrade", "korvane-test"), ("Connection", "Upgrade")])
        self.pause(STALL_SECONDS)
        self.close()

    def s_not_modified(self, args, query, raw):
        self.answer(304)

    def s_redirect_no_location(self, args, query, raw):
        self.answer(302, b"redirect without location\n")

    def s_no_content(self, args, query, raw):
        self.answer(204)

    def s_file(self, args, query, raw):
        if len(args) != 1 or args[0] in ("", ".", "..") or not self.server.docroot:
            raise ValueError()
        path = os.path.join(self.server.docroot, urllib.parse.unquote(args[0]))
        try:
            source = open(path, "rb")
        except OSError:
            raise ValueError()
        framing = query.get("framing", ["length"])[0]
        with source:
            size = os.fstat(source.fileno()).st_size
            framing_header = {"length": [("Content-Length", str(size))], "close": [],
                              "chunked": [("Transfer-Encoding", "chunked")]}[framing]
            self.head(200, [("Content-Type", "application/octet-stream")] + framing_header)
            while block := source.read(BLOCK):
                self.send(b"%x\r\n%s\r\n" % (len(block), block) if framing == "chunked" else block)
        if framing == "chunked":
            self.send(b"0\r\n\r\n")
        self.server.log.write(event="file-sent", conn=self.conn_id, name=args[0], bytes=size)
        if framing == "close":
            self.close()


SCENARIOS = {
    "echo": Connection.s_echo,
    "status": Connection.s_status,
    "redirect": Connection.s_redirect,
    "redirect-to": Connection.s_redirect_to,
    "relative": Connection.s_relative,
    "cookie": Connection.s_cookie,
    "bytes": Connection.s_bytes,
    "slow": Connection.s_slow,
    "cut": Connection.s_cut,
    "reset": Connection.s_reset,
    "chunked": Connection.s_chunked,
    "chunked-broken": Connection.s_chunked_broken,
    "no-length": Connection.s_no_length,
    "length": Connection.s_length,
    "close": Connection.s_close,
    "stall-headers": Connection.s_stall_headers,
    "stall-body": Connection.s_stall_body,
    "bad-status-line": Connection.s_bad_status_line,
    "huge-headers": Connection.s_huge_headers,
    "continue": Connection.s_continue,
    "switching": Connection.s_switching,
    "not-modified": Connection.s_not_modified,
    "redirect-no-location": Connection.s_redirect_no_location,
    "no-content": Connection.s_no_content,
    "file": Connection.s_file,
}


def tls_context(pki, name, tls10_only=False):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(os.path.join(pki, f"{name}.pem"), os.path.join(pki, f"{name}.key"))
    if tls10_only:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            context.minimum_version = ssl.TLSVersion.TLSv1
            context.maximum_version = ssl.TLSVersion.TLSv1
        context.set_ciphers("DEFAULT:@SECLEVEL=0")
    else:
        context.minimum_version = ssl.TLSVersion.TLSv1_2
    return context


class Server:
    def __init__(self, options):
        self.setup = options.setup
        self.signature = options.signature
        self.revocation_list = options.revocation_list
        self.docroot = options.docroot
        self.log = RequestLog(options.log)
        localhost = tls_context(options.pki, "localhost")
        # name -> (port asked for, how a connection is wrapped)
        self.kinds = {
            "plain": (0, None),
            "tls": (0, localhost),
            "tls-otherhost": (0, tls_context(options.pki, "otherhost")),
            "tls-selfsigned": (0, tls_context(options.pki, "selfsigned")),
            "tls-rogue": (0, tls_context(options.pki, "rogue")),
            "tls10": (0, tls_context(options.pki, "localhost", tls10_only=True)),
            "dual": (0, "dual"),
        }
        fixed = options.dual_port_listener
        self.kinds[fixed] = (options.dual_port, self.kinds[fixed][1])
        self.localhost = localhost
        self.listeners = {}
        self.next_id = 0

    def listen(self):
        for name, (port, _) in self.kinds.items():
            sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            try:
                sock.bind(("127.0.0.1", port))
            except OSError as error:
                sys.exit(f"cannot listen on 127.0.0.1:{port} for {name}: {error.strerror}")
            sock.listen(64)
            self.listeners[name] = sock
        ports = {name: sock.getsockname()[1] for name, sock in self.listeners.items()}
        print(json.dumps(ports), flush=True)

    def run(self):
        # A signal writes to `wakeup`, so that stopping does not wait for a time-out.
        wakeup, signalled = socket.socketpair()
        signalled.setblocking(False)
        signal.set_wakeup_fd(signalled.fileno())
        with selectors.DefaultSelector() as selector:
            for name, sock in self.listeners.items():
                selector.register(sock, selectors.EVENT_READ, name)
            selector.register(wakeup, selectors.EVENT_READ, None)
            while not stopping.is_set():
                for key, _ in selector.select(timeout=1):
                    if key.data is None:
                        wakeup.recv(64)
                        continue
                    try:
                        client, _ = key.fileobj.accept()
                    except OSError:
                        continue
                    self.next_id += 1
                    self.log.write(event="connection", conn=self.next_id, listener=key.data)
                    threading.Thread(target=self.handle, args=(client, self.next_id, key.data),
                                     daemon=True).start()
        for sock in list(self.listeners.values()) + [wakeup, signalled]:
            sock.close()

    def handle(self, client, conn_id, listener):
        wrapping = self.kinds[listener][1]
        try:
            # Every write goes out at once, so that pauses between pieces are seen as such.
            client.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            client.settimeout(IDLE_SECONDS)
            if wrapping == "dual":
                first = client.recv(1, socket.MSG_PEEK)
                wrapping = self.localhost if first == b"\x16" else None
            if wrapping is not None:
                client = wrapping.wrap_socket(client, server_side=True)
        except (OSError, ssl.SSLError):
            client.close()
            return
        Connection(self, client, conn_id, listener).serve()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--pki", required=True, help="directory of the test certificates")
    parser.add_argument("--dual-port", type=int, default=0)
    parser.add_argument("--dual-port-listener", default="dual",
                        choices=("plain", "tls", "tls-otherhost", "tls-selfsigned", "tls-rogue",
                                 "tls10", "dual"))
    parser.add_argument("--setup", help="path that answers for /KorvaneSetup.exe")
    parser.add_argument("--signature", help="path that answers for /KorvaneSetup.exe.minisig")
    parser.add_argument("--revocation-list", help="path that answers for /codesign-ca.crl")
    parser.add_argument("--docroot", help="directory served under /file/")
    parser.add_argument("--log", help="file to append the connections and requests to")
    options = parser.parse_args()

    def stop(signum, frame):
        stopping.set()

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    server = Server(options)
    server.listen()
    server.run()
    return 0


if __name__ == "__main__":
    sys.exit(main())
