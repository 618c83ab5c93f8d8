#!/usr/bin/python3
"""What a desktop does to a window that xdotool cannot, through python3-xlib.

usage: x11.py drop WINDOW X Y PATH   drops the file PATH at X, Y of the screen on WINDOW, as a
                                     file manager does (the XDND protocol); exits 0 once the window
                                     has taken the drop and finished with it
       x11.py ping WINDOW            sends WINDOW one _NET_WM_PING, as a desktop does before it
                                     calls a window "not responding"; exits 0 once it is answered
(bench/pauses.py measures with these the window's longest pause.)
"""
import select
import sys
import time
import urllib.parse

from Xlib import X, display
from Xlib.protocol import event

screen = display.Display()


def atom(name):
    return screen.intern_atom(name)


def send(window, message_type, *values):
    data = (32, list(values) + [0] * (5 - len(values)))
    window.send_event(event.ClientMessage(window=window, client_type=atom(message_type), data=data))
    screen.flush()


def events(seconds):
    """The events that arrive within SECONDS, as they arrive, and None every 5 ms without one."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        while screen.pending_events():
            yield screen.next_event()
        select.select([screen.fileno()], [], [], 0.005)
        yield None


def drop(target, x, y, path):
    source = screen.screen().root.create_window(0, 0, 1, 1, 0, X.CopyFromParent)
    source.set_selection_owner(atom("XdndSelection"), X.CurrentTime)
    uri_list = atom("text/uri-list")
    send(target, "XdndEnter", source.id, 5 << 24, uri_list)
    send(target, "XdndPosition", source.id, 0, (x << 16) | y, 0, atom("XdndActionCopy"))
    dropped = False
    for news in filter(None, events(10)):
        if news.type == X.SelectionRequest:  # the window asks for the file's name
            answer = X.NONE
            if news.target == uri_list:
                uris = ("file://" + urllib.parse.quote(path) + "\r\n").encode()
                news.requestor.change_property(news.property, uri_list, 8, uris)
                answer = news.property
            news.requestor.send_event(event.SelectionNotify(
                time=news.time, requestor=news.requestor, selection=news.selection,
                target=news.target, property=answer))
            screen.flush()
        elif news.type == X.ClientMessage and news.client_type == atom("XdndStatus"):
            if not news.data[1][1] & 1:
                sys.exit("the window does not take the drop")
            if not dropped:
                send(target, "XdndDrop", source.id, 0, 0)
                dropped = True
        elif news.type == X.ClientMessage and news.client_type == atom("XdndFinished"):
            return
    sys.exit("the drop did not finish within 10 s")


def ping(window):
    """Whether WINDOW answers a ping within 30 s (the answer goes to the root window)."""
    question = (atom("_NET_WM_PING"), 1)
    screen.screen().root.change_attributes(
        event_mask=X.StructureNotifyMask | X.SubstructureNotifyMask)
    send(window, "WM_PROTOCOLS", *question, window.id)
    for news in filter(None, events(30)):
        if news.type == X.ClientMessage and tuple(news.data[1][:2]) == question:
            return True
    return False


if __name__ == "__main__":
    window = screen.create_resource_object("window", int(sys.argv[2], 0))
    if sys.argv[1] == "drop":
        drop(window, int(sys.argv[3]), int(sys.argv[4]), sys.argv[5])
    elif not ping(window):
        sys.exit("the window did not answer within 30 s")
