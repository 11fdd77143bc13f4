"""Hosts that speak ZeroMQ's wire protocol (ZMTP 3.0, NULL mechanism) by hand, for the memory
benchmarks: each answers what a device asks with one message of empty frames that never ends,
the cheapest thing to send and, to ZeroMQ, about 64 bytes held for every 2 bytes sent."""
import socket
import struct
import threading

# 32768 empty frames, each saying that more follow.
ENDLESS = b"\x01\x00" * 32768


def greeting(as_server):
    return (b"\xff" + b"\x00" * 8 + b"\x7f" + bytes([3, 0]) + b"NULL" + b"\x00" * 16 +
            bytes([1 if as_server else 0]) + b"\x00" * 31)


def frame(body, more=False, command=False):
    flags = (1 if more else 0) | (4 if command else 0)
    if len(body) > 255:
        return bytes([flags | 2]) + struct.pack(">Q", len(body)) + body
    return bytes([flags, len(body)]) + body


def ready(socket_type):
    name, value = b"Socket-Type", socket_type.encode()
    return frame(b"\x05READY" + bytes([len(name)]) + name + struct.pack(">I", len(value)) + value, command=True)


def read_exactly(conn, size):
    data = b""
    while len(data) < size:
        chunk = conn.recv(size - len(data))
        if not chunk:
            raise ConnectionError("closed")
        data += chunk
    return data


def read_frame(conn):
    """(raw bytes, flags, body) of the next frame."""
    head = read_exactly(conn, 2)
    flags = head[0]
    if flags & 2:
        head += read_exactly(conn, 7)
        size = struct.unpack(">Q", head[1:9])[0]
    else:
        size = head[1]
    body = read_exactly(conn, size)
    return head + body, flags, body


def socket_type_of(ready_body):
    """The Socket-Type property of a READY command's body."""
    at = 1 + ready_body[0]
    while at < len(ready_body):
        name_length = ready_body[at]
        name = ready_body[at + 1:at + 1 + name_length]
        at += 1 + name_length
        value_length = struct.unpack(">I", ready_body[at:at + 4])[0]
        value = ready_body[at + 4:at + 4 + value_length]
        at += 4 + value_length
        if name == b"Socket-Type":
            return value.decode()
    return ""


def read_handshake(conn):
    """Reads the greeting and the READY command; gives (their raw bytes, the socket type)."""
    raw = read_exactly(conn, 64)
    head, flags, body = read_frame(conn)
    return raw + head, socket_type_of(body)


def read_message(conn):
    """Reads frames until a whole message came (commands pass)."""
    while True:
        _, flags, _ = read_frame(conn)
        if not flags & 4 and not flags & 1:
            return


def drain(conn):
    try:
        while conn.recv(65536):
            pass
    except OSError:
        pass


def send_endless(conn, sent):
    """Empty frames until the connection fails; counts the bytes in sent[0]."""
    try:
        while True:
            sent[0] += conn.send(ENDLESS)
    except OSError:
        pass


class Server:
    """Accepts connections on (host, port) and serves each on a thread of its own with
    serve(conn), until stop()."""

    def __init__(self, host, port, serve):
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind((host, port))
        self.listener.listen(64)
        self.listener.settimeout(0.2)
        self.serve, self.running, self.conns = serve, True, []
        self.lock = threading.Lock()
        self.thread = threading.Thread(target=self.loop, daemon=True)
        self.thread.start()

    def loop(self):
        while self.running:
            try:
                conn, _ = self.listener.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            conn.settimeout(None)
            with self.lock:
                self.conns.append(conn)
            threading.Thread(target=self.run_one, args=(conn,), daemon=True).start()

    def run_one(self, conn):
        try:
            self.serve(conn)
        except (OSError, ConnectionError):
            pass
        finally:
            conn.close()

    def stop(self):
        self.running = False
        self.thread.join()
        self.listener.close()
        with self.lock:
            for conn in self.conns:
                try:
                    conn.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass


def endless_answerer(socket_type, sent):
    """Serves as a socket of socket_type: takes the first message (a request, a subscription)
    and answers with empty frames without end."""
    def serve(conn):
        conn.sendall(greeting(True) + ready(socket_type))
        read_handshake(conn)
        read_message(conn)
        threading.Thread(target=drain, args=(conn,), daemon=True).start()
        send_endless(conn, sent)
    return serve


class Parser:
    """Follows one direction of a ZMTP 3 stream: the socket type its READY names, where in the
    bytes fed so far the READY ended, and how many whole messages came."""

    def __init__(self):
        self.buffer, self.fed, self.kind, self.ready_end, self.messages = b"", 0, None, None, 0
        self.greeted = False

    def feed(self, data):
        start = self.fed - len(self.buffer)
        self.buffer += data
        self.fed += len(data)
        while True:
            if not self.greeted:
                if len(self.buffer) < 64:
                    return
                self.buffer, start, self.greeted = self.buffer[64:], start + 64, True
                continue
            if len(self.buffer) < 2:
                return
            flags = self.buffer[0]
            if flags & 2:
                if len(self.buffer) < 9:
                    return
                size, head = struct.unpack(">Q", self.buffer[1:9])[0], 9
            else:
                size, head = self.buffer[1], 2
            if len(self.buffer) < head + size:
                return
            body = self.buffer[head:head + size]
            self.buffer, start = self.buffer[head + size:], start + head + size
            if flags & 4:
                if body.startswith(b"\x05READY") and self.kind is None:
                    self.kind, self.ready_end = socket_type_of(body), start
            elif not flags & 1:
                self.messages += 1


def relay(target, mode, sent):
    """Passes each connection on to target (host, port); while mode[0] names the connection's
    socket type ("REQ": finds, "DEALER": parts), its first request is answered with empty frames
    without end instead of what target answers."""
    def serve(conn):
        upstream = socket.create_connection(target)
        theirs, ours = Parser(), Parser()
        known, asked = threading.Event(), threading.Event()

        def forward_requests():
            try:
                while True:
                    data = conn.recv(65536)
                    if not data:
                        break
                    theirs.feed(data)
                    if theirs.kind is not None:
                        known.set()
                    if theirs.messages > 0:
                        asked.set()
                    upstream.sendall(data)
            except OSError:
                pass
            known.set()
            asked.set()
            for one in (conn, upstream):
                try:
                    one.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass

        threading.Thread(target=forward_requests, daemon=True).start()
        try:
            # The target's greeting and READY go on as they come; then what follows depends on
            # what the connection is.
            while ours.ready_end is None:
                data = upstream.recv(65536)
                if not data:
                    return
                before = ours.fed
                ours.feed(data)
                if ours.ready_end is not None:
                    conn.sendall(data[:ours.ready_end - before])
                    rest = data[ours.ready_end - before:]
                else:
                    conn.sendall(data)
            known.wait(30)
            if mode[0] != theirs.kind:
                conn.sendall(rest)
                copy(upstream, conn)
                return
            asked.wait(30)
            threading.Thread(target=drain, args=(upstream,), daemon=True).start()
            send_endless(conn, sent)
        finally:
            upstream.close()
    return serve


def copy(source, sink):
    try:
        while True:
            data = source.recv(65536)
            if not data:
                break
            sink.sendall(data)
    except OSError:
        pass
    for one in (source, sink):
        try:
            one.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
