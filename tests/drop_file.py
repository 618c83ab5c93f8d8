#!/usr/bin/env python3
"""Drops a file on an X window as a file manager would, over the XDND protocol.

usage: drop_file.py WINDOW X Y PATH

WINDOW is the X window (as xdotool gives it), X and Y the point of the screen to drop at, PATH
the file. Exits 0 once the window has taken the drop and said it has finished with it.
Only the standard library: the X calls go to libX11 through ctypes.
"""
import ctypes
import ctypes.util
import sys
import time
import urllib.parse
from ctypes import byref, c_char_p, c_int, c_long, c_ulong, c_void_p

SELECTION_REQUEST, SELECTION_NOTIFY, CLIENT_MESSAGE = 30, 31, 33
XDND_VERSION = 5


class ClientMessage(ctypes.Structure):
    _fields_ = [("type", c_int), ("serial", c_ulong), ("send_event", c_int),
                ("display", c_void_p), ("window", c_ulong), ("message_type", c_ulong),
                ("format", c_int), ("l", c_long * 5)]


class SelectionRequest(ctypes.Structure):
    _fields_ = [("type", c_int), ("serial", c_ulong), ("send_event", c_int),
                ("display", c_void_p), ("owner", c_ulong), ("requestor", c_ulong),
                ("selection", c_ulong), ("target", c_ulong), ("property", c_ulong),
                ("time", c_ulong)]


class SelectionNotify(ctypes.Structure):
    _fields_ = [("type", c_int), ("serial", c_ulong), ("send_event", c_int),
                ("display", c_void_p), ("requestor", c_ulong), ("selection", c_ulong),
                ("target", c_ulong), ("property", c_ulong), ("time", c_ulong)]


class Event(ctypes.Union):
    _fields_ = [("type", c_int), ("client", ClientMessage), ("request", SelectionRequest),
                ("notify", SelectionNotify), ("pad", c_long * 24)]


def load_x11():
    x11 = ctypes.CDLL(ctypes.util.find_library("X11"))
    signatures = {
        "XOpenDisplay": (c_void_p, [c_char_p]),
        "XInternAtom": (c_ulong, [c_void_p, c_char_p, c_int]),
        "XDefaultRootWindow": (c_ulong, [c_void_p]),
        "XCreateSimpleWindow": (c_ulong, [c_void_p, c_ulong, c_int, c_int, ctypes.c_uint,
                                          ctypes.c_uint, ctypes.c_uint, c_ulong, c_ulong]),
        "XSetSelectionOwner": (c_int, [c_void_p, c_ulong, c_ulong, c_ulong]),
        "XSendEvent": (c_int, [c_void_p, c_ulong, c_int, c_long, c_void_p]),
        "XChangeProperty": (c_int, [c_void_p, c_ulong, c_ulong, c_ulong, c_int, c_int,
                                    c_char_p, c_int]),
        "XPending": (c_int, [c_void_p]),
        "XNextEvent": (c_int, [c_void_p, c_void_p]),
        "XFlush": (c_int, [c_void_p]),
    }
    for name, (result, arguments) in signatures.items():
        getattr(x11, name).restype = result
        getattr(x11, name).argtypes = arguments
    return x11


def main():
    target, x, y, path = int(sys.argv[1], 0), int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
    x11 = load_x11()
    display = x11.XOpenDisplay(None)
    if not display:
        sys.exit("cannot open the display")

    def atom(name):
        return x11.XInternAtom(display, name.encode(), 0)

    source = x11.XCreateSimpleWindow(display, x11.XDefaultRootWindow(display), 0, 0, 1, 1, 0, 0, 0)
    x11.XSetSelectionOwner(display, atom("XdndSelection"), source, 0)
    uri_list = atom("text/uri-list")
    uris = ("file://" + urllib.parse.quote(path) + "\r\n").encode()

    def send(message, *values):
        event = Event()
        event.client.type = CLIENT_MESSAGE
        event.client.window = target
        event.client.message_type = atom(message)
        event.client.format = 32
        for index, value in enumerate(values):
            event.client.l[index] = value
        x11.XSendEvent(display, target, 0, 0, byref(event))
        x11.XFlush(display)

    send("XdndEnter", source, XDND_VERSION << 24, uri_list)
    send("XdndPosition", source, 0, (x << 16) | y, 0, atom("XdndActionCopy"))
    dropped = False
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        if not x11.XPending(display):
            time.sleep(0.01)
            continue
        event = Event()
        x11.XNextEvent(display, byref(event))
        if event.type == SELECTION_REQUEST:  # the window asks for the file's name
            request = event.request
            answer = Event()
            answer.notify.type = SELECTION_NOTIFY
            answer.notify.requestor = request.requestor
            answer.notify.selection = request.selection
            answer.notify.target = request.target
            answer.notify.time = request.time
            if request.target == uri_list:
                x11.XChangeProperty(display, request.requestor, request.property, uri_list, 8, 0,
                                    uris, len(uris))
                answer.notify.property = request.property
            x11.XSendEvent(display, request.requestor, 0, 0, byref(answer))
            x11.XFlush(display)
        elif event.type == CLIENT_MESSAGE and event.client.message_type == atom("XdndStatus"):
            if not event.client.l[1] & 1:
                sys.exit("the window does not take the drop")
            if not dropped:
                send("XdndDrop", source, 0, 0)
                dropped = True
        elif event.type == CLIENT_MESSAGE and event.client.message_type == atom("XdndFinished"):
            return
    sys.exit("the drop did not finish within 10 s")


if __name__ == "__main__":
    main()
