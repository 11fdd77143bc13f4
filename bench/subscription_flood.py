#!/usr/bin/env python3
"""Sixteen hosts (or COUNT) subscribing to one device's publisher with subscriptions of the
largest size it accepts, as fast as they can, for SECONDS; each touches nothing else. A
connection the device cuts is made again, as libzmq does. Prints what was sent.

Usage: subscription_flood.py ENDPOINT COUNT SECONDS SIZE [TOUCH_FILE]
TOUCH_FILE is written every second, so that the device publishes while it is attacked.
"""
import multiprocessing
import os
import sys
import time

import zmq


def host(endpoint, seconds, size, sent):
    context = zmq.Context()
    end = time.time() + seconds
    count = 0
    while time.time() < end:
        socket = context.socket(zmq.SUB)
        socket.setsockopt(zmq.LINGER, 0)
        socket.connect(endpoint)
        # A socket keeps its own subscriptions too: a fresh one now and then.
        for _ in range(256):
            socket.setsockopt(zmq.SUBSCRIBE, os.urandom(size))
            count += 1
        time.sleep(0.01)
        socket.close()
    context.term()
    with sent.get_lock():
        sent.value += count


def main():
    endpoint, count, seconds, size = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
    touch = sys.argv[5] if len(sys.argv) > 5 else None
    sent = multiprocessing.Value("q", 0)
    hosts = [multiprocessing.Process(target=host, args=(endpoint, seconds, size, sent)) for _ in range(count)]
    for one in hosts:
        one.start()
    end = time.time() + seconds
    while time.time() < end:
        if touch:
            with open(touch, "w") as out:
                out.write(str(time.time()))
        time.sleep(1)
    for one in hosts:
        one.join()
    print("%d subscriptions of %d bytes" % (sent.value, size))


if __name__ == "__main__":
    main()
