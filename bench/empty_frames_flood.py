#!/usr/bin/env python3
"""Hosts (four, or COUNT, each from a loopback address of its own) sending one device's request
port a request of empty frames without end, for SECONDS. A connection the device cuts is made
again at once. Prints what was sent and how many connections were cut.

Usage: empty_frames_flood.py HOST PORT COUNT SECONDS
"""
import multiprocessing
import socket
import sys
import time

from zmtp_hosts import ENDLESS, greeting, read_handshake, ready


def host(address, target, seconds, sent, cut):
    end = time.time() + seconds
    while time.time() < end:
        conn = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        try:
            conn.bind((address, 0))
            conn.connect(target)
            conn.sendall(greeting(False) + ready("DEALER"))
            read_handshake(conn)
            conn.settimeout(max(0.1, end - time.time()))
            while time.time() < end:
                count = conn.send(ENDLESS)
                with sent.get_lock():
                    sent.value += count
        except socket.timeout:
            pass
        except OSError:
            with cut.get_lock():
                cut.value += 1
        finally:
            conn.close()


def main():
    target = (sys.argv[1], int(sys.argv[2]))
    count, seconds = int(sys.argv[3]), int(sys.argv[4])
    sent, cut = multiprocessing.Value("q", 0), multiprocessing.Value("q", 0)
    hosts = [multiprocessing.Process(target=host, args=("127.0.0.%d" % (20 + i), target, seconds, sent, cut))
             for i in range(count)]
    for one in hosts:
        one.start()
    for one in hosts:
        one.join()
    print("%d MiB of empty frames, %d connections cut" % (sent.value >> 20, cut.value))


if __name__ == "__main__":
    main()
