#!/usr/bin/env python3
"""Nestmend from a terminal or a script: --check and --repair with no display, no HOME and no
settings; their exit statuses, the order of files, names given as bytes, a signal in the middle
of a long repair, and the progress line shown on a terminal but never in a pipe.

usage: command_line_test.py path/to/nestmend
"""
import os
import pty
import select
import signal
import subprocess
import sys
import tempfile
import time

program = os.path.realpath(sys.argv[1])
work = tempfile.TemporaryDirectory()
os.chdir(work.name)
home = os.path.join(work.name, "home")  # must stay empty
os.mkdir(home, 0o555)
failures = []

OPEN = b"a {\r\n b {\r\n"  # lacks two lines
LINES2 = b"}\r\n}\r\n"
FILES = {"open.json": OPEN, "done.json": b"{}\r\n", "-x.json": b"{",
         b"caf\xe9.json": b"{{", "another.json": OPEN}


def expect(what, found, wanted):
    if found != wanted:
        failures.append(f"{what}: {found!r}, wanted {wanted!r}")


# Each row: the arguments, the exit status, what each file holds afterwards (others untouched),
# and the start of each line of standard output.
ROWS = [
    (["--check", "open.json", "done.json"], 1, {},
     ["open.json: Would add 2 lines \"}\"", "done.json: Nothing was missing"]),
    (["done.json", "-style", "fusion", "--check"], 0, {}, ["done.json: Nothing"]),
    (["--check", "missing.json", "open.json"], 2, {},
     ["missing.json: There is no file", "open.json: Would add"]),
    (["--repair", "open.json", "missing.json", "done.json"], 1, {"open.json": OPEN + LINES2},
     ["open.json: Added 2 lines", "missing.json: There is no file", "done.json: Nothing"]),
    (["--repair", "--", "-x.json", "done.json"], 0, {"-x.json": b"{}\r\n"},
     ["-x.json: Added 1 line \"}\" at the end of the file, and it is", "done.json: Nothing"]),
    (["--repair", b"caf\xe9.json"], 0, {b"caf\xe9.json": b"{{" + LINES2}, [b"caf\xe9.json: Added"]),
    (["--check", "--repair", "open.json"], 2, {}, []),
    (["--check"], 2, {}, []),
    (["--repair", ""], 2, {}, []),
    (["--repair", "-x.json"], 2, {}, []),
    (["--help", "--repair", "open.json"], 0, {}, ["Usage: nestmend [FILE...]"]),
    (["--version"], 0, {}, ["Nestmend 1.00"]),
]
for index, (arguments, status, after, lines) in enumerate(ROWS):
    for name, content in FILES.items():
        open(name, "wb").write(content)
    # No display and no settings: an environment of nothing but, every other row, HOME.
    result = subprocess.run([program, *arguments], env={"HOME": home} if index % 2 else {},
                            capture_output=True)
    row = f"row {index} {arguments}"
    expect(f"{row}: exit status", result.returncode, status)
    for name, content in FILES.items():
        expect(f"{row}: {name!r}", open(name, "rb").read(), after.get(name, content))
    output = result.stdout.splitlines()
    if "--help" not in arguments:  # one line per file, in the order given
        expect(f"{row}: lines", len(output), len(lines))
    for line, start in zip(output, lines):
        start = start.encode() if isinstance(start, str) else start
        expect(f"{row}: a line", line[:len(start)], start)
    if status == 2 and not lines:  # a usage error: the usage, on standard error
        expect(f"{row}: standard error", b"Usage: nestmend" in result.stderr, True)
expect("HOME", os.listdir(home), [])

# A signal in the middle of a long repair: the file in hand as it was or complete, the next
# one untouched, and 128 + the signal's number.
count = 30_000_000
open("opens.txt", "wb").write(b"{" * count)
repair = subprocess.Popen([program, "--repair", "opens.txt", "open.json"], env={},
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE)
deadline = time.monotonic() + 30
while os.path.getsize("opens.txt") == count and time.monotonic() < deadline:
    time.sleep(0.001)
repair.send_signal(signal.SIGTERM)
output, _ = repair.communicate(timeout=60)
expect("stopped: exit status", repair.returncode, 128 + signal.SIGTERM)
expect("stopped: the file", os.path.getsize("opens.txt") in (count, 4 * count), True)
expect("stopped: the next file", open("open.json", "rb").read(), OPEN)
expect("stopped: one line", output.count(b"\n"), 1)

# The progress line: on a terminal while a long file is read, cleared at the end; never in a
# pipe. A gigabyte of holes takes longer to read than the first redraw waits.
with open("holes.txt", "wb") as file:
    file.seek(1 << 30)
    file.write(b"{")
main, terminal = pty.openpty()
check = subprocess.Popen([program, "--check", "holes.txt"], env={}, stdout=subprocess.PIPE,
                         stderr=terminal)
os.close(terminal)
shown = b""
while select.select([main], [], [], 30)[0]:
    try:
        chunk = os.read(main, 4096)
    except OSError:  # the terminal closed with the program
        break
    if not chunk:
        break
    shown += chunk
check.wait(30)
expect("progress on a terminal", b"holes.txt: reading, pass 1 of 2: " in shown, True)
expect("progress cleared", shown.endswith(b"\r\x1b[K"), True)
piped = subprocess.run([program, "--check", "holes.txt"], env={}, capture_output=True)
expect("progress in a pipe", piped.stderr, b"")

if failures:
    print("\n".join(failures))
    sys.exit(1)
print(f"command line: {len(ROWS)} command lines, a signal mid-repair, progress on a terminal only")
