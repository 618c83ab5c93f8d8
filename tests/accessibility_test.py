#!/usr/bin/env python3
"""What a screen reader hears of the real Qt window, through the AT-SPI bus, in a private D-Bus
session (run under dbus-run-session, on the display of the test that runs it): where the focus
is after a run, what the closing message carries as it takes the focus, and that the path box
is heard becoming unavailable during a run.

usage: accessibility_test.py NESTMEND FILE   (FILE lacks one closing brace; it is repaired twice)
"""
import os
import subprocess
import sys
import time

import gi

gi.require_version("Atspi", "2.0")
from gi.repository import Atspi, GLib  # noqa: E402

program, path = sys.argv[1], sys.argv[2]
bus = subprocess.Popen(["/usr/libexec/at-spi-bus-launcher", "--launch-immediately"])
nestmend = subprocess.Popen([program, path],
                            env={**os.environ, "QT_LINUX_ACCESSIBILITY_ALWAYS_ON": "1"})
heard = []
listener = Atspi.EventListener.new(lambda event: heard.append(
    (event.type, event.detail1, event.source.get_name())))
listener.register("object:state-changed:enabled")


def wait_for(what, condition, seconds=20):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        while GLib.MainContext.default().iteration(False):
            pass
        found = condition()
        if found:
            return found
        time.sleep(0.02)
    sys.exit(f"FAIL: {what}")


def nodes(node):
    yield node
    for index in range(node.get_child_count()):
        yield from nodes(node.get_child_at_index(index))


def application():
    desktop = Atspi.get_desktop(0)
    for index in range(desktop.get_child_count()):
        app = desktop.get_child_at_index(index)
        if app is not None and app.get_name() == "Nestmend":
            return app


def focused():  # the innermost node with the focus
    found = [f"[{node.get_role_name()} {node.get_name()!r}]" for node in nodes(app)
             if node.get_state_set().contains(Atspi.StateType.FOCUSED)]
    return found[-1] if found else None


def box():
    return next((node for node in nodes(app) if node.get_role_name() == "alert"), None)


def key(name):
    subprocess.run(["xdotool", "key", name], check=True)


app = wait_for("Nestmend never reached the AT-SPI bus", application)
window = subprocess.run(["xdotool", "search", "--sync", "--onlyvisible", "--name", "^Nestmend$"],
                        capture_output=True, text=True, check=True).stdout.split()[0]
subprocess.run(["xdotool", "windowactivate", "--sync", window], check=True)
# Each row: the keys that start a run, the key that closes its message, where the focus is then.
ROWS = [([], "Return", "[push button 'Begin']"),
        (["shift+Tab", "shift+Tab"], "Escape", "[text 'Path of the file to repair']")]
wait_for("the focus is not on Begin", lambda: focused() == "[push button 'Begin']")
for keys, closing, focus in ROWS:
    for name in keys + ["Return"]:
        key(name)
    message = wait_for("no closing message", box)
    status = next(node for node in nodes(app) if node.get_role_name() == "label")
    said = f"{status.get_name()} {status.get_description()}"
    if message.get_description() != said or not said.startswith("Summary:  "):
        sys.exit(f"FAIL: the closing message carries {message.get_description()!r}, not {said!r}")
    wait_for("the closing message has not the focus",
             lambda: (focused() or "").endswith("'OK']"))
    key(closing)
    wait_for(f"after the run the focus is on {focused()}, not {focus}", lambda: focused() == focus)
if ("object:state-changed:enabled", 0, "Path of the file to repair") not in heard:
    sys.exit(f"FAIL: the path box was not heard becoming unavailable: {heard}")
nestmend.terminate()
bus.terminate()
print("accessibility: the focus back where each run started, the summary and reason with the "
      "closing message, the path box heard unavailable during a run")
