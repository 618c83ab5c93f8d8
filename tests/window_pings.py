#!/usr/bin/env python3
"""Measures from outside how long a window leaves the window manager waiting, as a desktop does
before it calls a window "not responding": sends it _NET_WM_PING every 5 ms, each as soon as the
last was answered, until SIGTERM or until the window is gone, then prints the longest round trip
in milliseconds ("longest_ms=12.3 pings=456"), after "measuring" once SIGTERM is awaited. With
--cursor, prints instead the hot spot of the cursor the display shows now ("hot_spot=0,0"): an
arrow's is its tip, an I-beam's its middle.
libX11 and libXfixes through ctypes, the standard library only.

usage: window_pings.py WINDOW_ID | --cursor
"""
import ctypes
import select
import signal
import sys
import time

x11 = ctypes.cdll.LoadLibrary("libX11.so.6")
x11.XOpenDisplay.restype = ctypes.c_void_p
x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
x11.XDefaultRootWindow.restype = ctypes.c_ulong
x11.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
x11.XInternAtom.restype = ctypes.c_ulong
x11.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
x11.XSelectInput.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_long]
x11.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long,
                           ctypes.c_void_p]
x11.XFlush.argtypes = [ctypes.c_void_p]
x11.XPending.argtypes = [ctypes.c_void_p]
x11.XNextEvent.argtypes = [ctypes.c_void_p, ctypes.c_void_p]
x11.XConnectionNumber.argtypes = [ctypes.c_void_p]
ERROR_HANDLER = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p)
x11.XSetErrorHandler.argtypes = [ERROR_HANDLER]


class ClientMessage(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", ctypes.c_void_p), ("window", ctypes.c_ulong),
                ("message_type", ctypes.c_ulong), ("format", ctypes.c_int),
                ("data", ctypes.c_long * 5)]


class Event(ctypes.Union):
    _fields_ = [("type", ctypes.c_int), ("client", ClientMessage), ("pad", ctypes.c_long * 24)]


CLIENT_MESSAGE = 33
DESTROY_NOTIFY = 17
UNMAP_NOTIFY = 18
STRUCTURE_NOTIFY = 1 << 17
SUBSTRUCTURE_NOTIFY = 1 << 19
gone = False


@ERROR_HANDLER
def on_error(_display, _error):
    global gone
    gone = True  # the window no longer exists
    return 0


class CursorImage(ctypes.Structure):
    _fields_ = [("x", ctypes.c_short), ("y", ctypes.c_short), ("width", ctypes.c_ushort),
                ("height", ctypes.c_ushort), ("xhot", ctypes.c_ushort), ("yhot", ctypes.c_ushort)]


def main():
    global gone
    display = x11.XOpenDisplay(None)
    if not display:
        sys.exit("cannot open the display")
    if sys.argv[1] == "--cursor":
        fixes = ctypes.cdll.LoadLibrary("libXfixes.so.3")
        fixes.XFixesGetCursorImage.restype = ctypes.POINTER(CursorImage)
        fixes.XFixesGetCursorImage.argtypes = [ctypes.c_void_p]
        image = fixes.XFixesGetCursorImage(display).contents
        print(f"hot_spot={image.xhot},{image.yhot}")
        return
    window = int(sys.argv[1], 0)
    stop = []
    signal.signal(signal.SIGTERM, lambda *_: stop.append(1))
    print("measuring", flush=True)  # from here on, SIGTERM ends the measure with its result
    x11.XSetErrorHandler(on_error)
    root = x11.XDefaultRootWindow(display)
    protocols = x11.XInternAtom(display, b"WM_PROTOCOLS", 0)
    ping = x11.XInternAtom(display, b"_NET_WM_PING", 0)
    # Answers go to the root window, with one of these masks depending on the toolkit's version.
    x11.XSelectInput(display, root, STRUCTURE_NOTIFY | SUBSTRUCTURE_NOTIFY)
    # The window unmapped or destroyed, as the program ends: the ping then out is not a pause.
    x11.XSelectInput(display, window, STRUCTURE_NOTIFY)
    longest = 0.0
    pings = 0
    serial = 0
    event = Event()
    begun = time.monotonic()
    while not stop and not gone:
        serial += 1
        message = Event()
        message.client.type = CLIENT_MESSAGE
        message.client.window = window
        message.client.message_type = protocols
        message.client.format = 32
        message.client.data[0] = ping
        message.client.data[1] = serial
        message.client.data[2] = window
        sent = time.monotonic()
        x11.XSendEvent(display, window, 0, 0, ctypes.byref(message))
        x11.XFlush(display)
        answered = False
        while not answered and not stop and not gone:
            while x11.XPending(display):
                x11.XNextEvent(display, ctypes.byref(event))
                if (event.type == CLIENT_MESSAGE and event.client.data[0] == ping
                        and event.client.data[1] == serial):
                    answered = True
                elif event.type in (DESTROY_NOTIFY, UNMAP_NOTIFY) and event.client.window == window:
                    gone = True
            if not answered:
                select.select([x11.XConnectionNumber(display)], [], [], 0.005)
        took = time.monotonic() - sent
        if took > 0.010 and len(sys.argv) > 2:
            print(f"pause {took * 1000:.1f} ms at {sent - begun:.3f} s", file=sys.stderr)
        if answered or not gone:  # a window closing as the program ends leaves the last one
            longest = max(longest, took)
        pings += answered
        time.sleep(max(0.0, 0.005 - took))
    print(f"longest_ms={longest * 1000:.1f} pings={pings}", flush=True)


main()
