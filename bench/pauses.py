#!/usr/bin/python3
"""Measures from outside how long a window leaves the desktop waiting.

usage: pauses.py WINDOW   sends WINDOW _NET_WM_PING every 5 ms, each as soon as the last was
                          answered, as a desktop does before it calls a window "not responding",
                          until SIGTERM or until the window is gone; prints "measuring" once
                          SIGTERM is awaited, then the longest round trip ("longest_ms=12.3
                          pings=456")
"""
import os
import signal
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.realpath(__file__)), "..", "tests"))
from x11 import X, atom, events, screen, send  # noqa: E402


def pings(window):
    stop, gone = [], []
    signal.signal(signal.SIGTERM, lambda *_: stop.append(1))
    print("measuring", flush=True)  # from here on, SIGTERM ends the measure with its result
    screen.set_error_handler(lambda *_: gone.append(1))  # the window no longer exists
    # Answers go to the root window; the window unmapped or destroyed as the program ends leaves
    # its last ping unanswered.
    screen.screen().root.change_attributes(
        event_mask=X.StructureNotifyMask | X.SubstructureNotifyMask)
    window.change_attributes(event_mask=X.StructureNotifyMask)
    longest, answered, serial, ping = 0.0, 0, 0, atom("_NET_WM_PING")
    while not stop and not gone:
        serial += 1
        sent = time.monotonic()
        send(window, "WM_PROTOCOLS", ping, serial, window.id)
        answer = False
        for news in events(3600):
            if news is None:
                pass
            elif news.type == X.ClientMessage and tuple(news.data[1][:2]) == (ping, serial):
                answer = True
            elif news.type in (X.DestroyNotify, X.UnmapNotify) and news.window == window:
                gone.append(1)
            if answer or stop or gone:
                break
        took = time.monotonic() - sent
        if answer or not gone:
            longest = max(longest, took)
        answered += answer
        time.sleep(max(0.0, 0.005 - took))
    print(f"longest_ms={longest * 1000:.1f} pings={answered}", flush=True)


pings(screen.create_resource_object("window", int(sys.argv[1], 0)))
