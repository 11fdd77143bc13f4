#!/usr/bin/env python3
"""COUNT connections to one device's publisher, each subscribing to everything and cancelling
it again in a loop as fast as the device takes it, for SECONDS; a connection the device cuts is
made again. Prints what was sent.

Usage: subscribe_cancel_flood.py HOST PORT COUNT SECONDS
"""
import errno
import selectors
import socket
import sys
import time

from zmtp_hosts import frame, greeting, ready

LOOP = (frame(b"\x01") + frame(b"\x00")) * 1024


def connect(selector, address):
    conn = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    conn.setblocking(False)
    error = conn.connect_ex(address)
    if error not in (0, errno.EINPROGRESS):
        conn.close()
        return
    selector.register(conn, selectors.EVENT_READ | selectors.EVENT_WRITE, [greeting(False) + ready("SUB")])


def main():
    address, count, seconds = (sys.argv[1], int(sys.argv[2])), int(sys.argv[3]), int(sys.argv[4])
    selector = selectors.DefaultSelector()
    for _ in range(count):
        connect(selector, address)
    end = time.time() + seconds
    sent = cut = 0
    while time.time() < end:
        for key, events in selector.select(0.2):
            conn, pending = key.fileobj, key.data
            try:
                if events & selectors.EVENT_READ and not conn.recv(65536):
                    raise ConnectionError("closed")
                if events & selectors.EVENT_WRITE:
                    if not pending[0]:
                        pending[0] = LOOP
                    done = conn.send(pending[0])
                    pending[0] = pending[0][done:]
                    sent += done
            except (OSError, ConnectionError):
                selector.unregister(conn)
                conn.close()
                cut += 1
                connect(selector, address)
    for key in list(selector.get_map().values()):
        key.fileobj.close()
    print("%d MiB of subscriptions and cancels, %d connections cut" % (sent >> 20, cut))


if __name__ == "__main__":
    main()
