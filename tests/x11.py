#!/usr/bin/env python3
"""What a desktop does to a window that xdotool cannot: libX11 through ctypes, the standard
library only.

usage: x11.py drop WINDOW X Y PATH   drops the file PATH at X, Y of the screen on WINDOW, as a
                                     file manager does (the XDND protocol); exits 0 once the window
                                     has taken the drop and finished with it
       x11.py pings WINDOW           sends WINDOW _NET_WM_PING every 5 ms, each as soon as the
                                     last was answered, as a desktop does before it calls a window
                                     "not responding", until SIGTERM or until the window is gone;
                                     prints "measuring" once SIGTERM is awaited, then the longest
                                     round trip ("longest_ms=12.3 pings=456")
"""
import ctypes
import select
import signal
import sys
import time
import urllib.parse
from ctypes import byref, c_char_p, c_int, c_long, c_ulong, c_void_p

CLIENT_MESSAGE, SELECTION_REQUEST, SELECTION_NOTIFY = 33, 30, 31
DESTROY_NOTIFY, UNMAP_NOTIFY = 17, 18
STRUCTURE_NOTIFY, SUBSTRUCTURE_NOTIFY = 1 << 17, 1 << 19


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


x11 = ctypes.cdll.LoadLibrary("libX11.so.6")
for name, result, arguments in [
        ("XOpenDisplay", c_void_p, [c_char_p]),
        ("XInternAtom", c_ulong, [c_void_p, c_char_p, c_int]),
        ("XDefaultRootWindow", c_ulong, [c_void_p]),
        ("XCreateSimpleWindow", c_ulong, [c_void_p, c_ulong, c_int, c_int, ctypes.c_uint,
                                          ctypes.c_uint, ctypes.c_uint, c_ulong, c_ulong]),
        ("XSetSelectionOwner", c_int, [c_void_p, c_ulong, c_ulong, c_ulong]),
        ("XSelectInput", c_int, [c_void_p, c_ulong, c_long]),
        ("XSendEvent", c_int, [c_void_p, c_ulong, c_int, c_long, c_void_p]),
        ("XChangeProperty", c_int, [c_void_p, c_ulong, c_ulong, c_ulong, c_int, c_int, c_char_p,
                                    c_int]),
        ("XPending", c_int, [c_void_p]),
        ("XNextEvent", c_int, [c_void_p, c_void_p]),
        ("XFlush", c_int, [c_void_p]),
        ("XConnectionNumber", c_int, [c_void_p])]:
    getattr(x11, name).restype = result
    getattr(x11, name).argtypes = arguments
display = x11.XOpenDisplay(None)
if not display:
    sys.exit("cannot open the display")


def atom(name):
    return x11.XInternAtom(display, name.encode(), 0)


def send(window, message_type, *values):
    event = Event()
    event.client.type = CLIENT_MESSAGE
    event.client.window = window
    event.client.message_type = message_type
    event.client.format = 32
    for index, value in enumerate(values):
        event.client.l[index] = value
    x11.XSendEvent(display, window, 0, 0, byref(event))
    x11.XFlush(display)


def events(seconds):
    """The events that arrive within SECONDS, as they arrive, and None every 5 ms without one."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        while x11.XPending(display):
            event = Event()
            x11.XNextEvent(display, byref(event))
            yield event
        select.select([x11.XConnectionNumber(display)], [], [], 0.005)
        yield None


def drop(target, x, y, path):
    source = x11.XCreateSimpleWindow(display, x11.XDefaultRootWindow(display), 0, 0, 1, 1, 0, 0, 0)
    x11.XSetSelectionOwner(display, atom("XdndSelection"), source, 0)
    uri_list = atom("text/uri-list")
    uris = ("file://" + urllib.parse.quote(path) + "\r\n").encode()
    send(target, atom("XdndEnter"), source, 5 << 24, uri_list)
    send(target, atom("XdndPosition"), source, 0, (x << 16) | y, 0, atom("XdndActionCopy"))
    dropped = False
    for event in filter(None, events(10)):
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
                send(target, atom("XdndDrop"), source, 0, 0)
                dropped = True
        elif event.type == CLIENT_MESSAGE and event.client.message_type == atom("XdndFinished"):
            return
    sys.exit("the drop did not finish within 10 s")


def pings(window):
    stop = []
    signal.signal(signal.SIGTERM, lambda *_: stop.append(1))
    print("measuring", flush=True)  # from here on, SIGTERM ends the measure with its result
    gone = []
    on_error = ctypes.CFUNCTYPE(c_int, c_void_p, c_void_p)(lambda *_: gone.append(1) or 0)
    x11.XSetErrorHandler(on_error)  # the window no longer exists
    # Answers go to the root window, with one of these masks depending on the toolkit's version;
    # the window unmapped or destroyed as the program ends leaves its last ping unanswered.
    root = x11.XDefaultRootWindow(display)
    x11.XSelectInput(display, root, STRUCTURE_NOTIFY | SUBSTRUCTURE_NOTIFY)
    x11.XSelectInput(display, window, STRUCTURE_NOTIFY)
    longest, answered, serial, ping = 0.0, 0, 0, atom("_NET_WM_PING")
    while not stop and not gone:
        serial += 1
        sent = time.monotonic()
        send(window, atom("WM_PROTOCOLS"), ping, serial, window)
        answer = False
        for event in events(3600):
            if event is None:
                pass
            elif event.type == CLIENT_MESSAGE and tuple(event.client.l[:2]) == (ping, serial):
                answer = True
            elif event.type in (DESTROY_NOTIFY, UNMAP_NOTIFY) and event.client.window == window:
                gone.append(1)
            if answer or stop or gone:
                break
        took = time.monotonic() - sent
        if answer or not gone:
            longest = max(longest, took)
        answered += answer
        time.sleep(max(0.0, 0.005 - took))
    print(f"longest_ms={longest * 1000:.1f} pings={answered}", flush=True)


if sys.argv[1] == "drop":
    drop(int(sys.argv[2], 0), int(sys.argv[3]), int(sys.argv[4]), sys.argv[5])
else:
    pings(int(sys.argv[2], 0))
