#!/usr/bin/env bash
# Measures one window (the Qt one, or Nestmend.exe under Wine) on slow, stalling and failing
# storage (tests/slow_storage), case by case, as a person would meet them: prints one line per
# case, "case|what happened", and saves a picture of the window at each case's end in OUT.
# usage: storage_table.sh linux|windows PROGRAM SLOW_STORAGE OUT [WINDOW_WATCH_EXE]
# STALL_SECONDS (default 10) and LONG_STALL_SECONDS (default 60) set the stalls.
set -euo pipefail
platform=$1
program=$(realpath "$2")
slow_storage=$(realpath "$3")
out=$(realpath -m "$4")
if [[ -n ${5:-} ]]; then watch_exe=$(realpath "$5"); fi
stall_ms=$((${STALL_SECONDS:-10} * 1000))
long_stall_ms=$((${LONG_STALL_SECONDS:-60} * 1000))
mkdir -p "$out"
source "$(dirname "$0")/../tests/window_session.sh"
mount_slow_storage "$slow_storage"

# Measures, from outside, how long the window leaves others waiting, by the desktop's ping (or
# with $watch_exe, as Windows asks): from pauses_start, which returns once the measure has
# begun, to pauses_stop, which sets $longest_pause_ms (and with $watch_exe, $was_hung).
pauses_start() {
  rm -f "$work/pauses" "$work/pauses-stop"
  if [[ -n ${watch_exe:-} ]]; then
    wine "$watch_exe" pauses "$(windows_path "$work/pauses-stop")" > "$work/pauses" 2>&1 &
  else
    "$(dirname "$0")/pauses.py" "$window" > "$work/pauses" &
  fi
  pauses_pid=$!
  pids+=($pauses_pid)
  wait_until 10 "the measure of pauses never began" grep -qs measuring "$work/pauses" || exit 1
}
pauses_stop() {
  # (The measure may have ended by itself, with the window.)
  if [[ -n ${watch_exe:-} ]]; then touch "$work/pauses-stop"; else kill -TERM "$pauses_pid" 2> /dev/null || true; fi
  wait "$pauses_pid" || true
  longest_pause_ms=$(sed -n 's/.*longest_ms=\([0-9.]*\).*/\1/p' "$work/pauses")
  was_hung=$(sed -n 's/.*hung=\([01]\).*/\1/p' "$work/pauses")
  [[ -n "$longest_pause_ms" ]] || fail "no measure of pauses: $(cat "$work/pauses")"
}

counter() { sed -n "s/.*$1=\([0-9]*\).*/\1/p" "$work/mnt/.control"; }
# Until the shell test CONDITION holds, for at most 60 s.
until_true() { wait_until 60 "$1 never held" eval "$1"; }
# A file of nested lines of about BYTES, seven blocks left open.
nested() {
  python3 - "$1" "$backing" << 'EOF'
import sys
size, path = int(sys.argv[1]), sys.argv[2]
with open(path, "w", newline="") as out:
    written = 0
    block = 0
    while written < size:
        text = "section%d {\n" % block + "".join("  key%d = %d,\n" % (i, i * 7) for i in range(40))
        text += "}\n" if written + 4000 < size else ""
        out.write(text)
        written += len(text)
        block += 1
    out.write("".join("open%d {\n  value = 1,\n" % depth for depth in range(6)))
EOF
}
what_became() {
  local size
  size=$(stat -c %s "$backing")
  if [[ $(balance "$backing") -eq 0 ]]; then echo "repaired ($(((size - $1) / 3)) lines appended)"
  elif [[ $size -eq $1 ]]; then echo "left as it was"
  else echo "original + $(((size - $1) / 3)) lines$( (((size - $1) % 3)) && echo " and a torn line")"; fi
}
# (import can wait for ever on a window that goes while it reads it: with shorter stalls, one may.)
picture() { timeout 10 import -window "$window" "$out/$platform-$1.png" 2> /dev/null || true; }
finish() {  # the closing message, then Exit
  answer_message
  sleep 0.3
  picture "$1"
  press_exit
  expect_end 60000
}
run() {
  start
  type_path "$file"
  pauses_start
  xdotool key Return
}
# What pauses_stop measured.
pauses() {
  echo "longest pause $longest_pause_ms ms$([[ $platform == windows ]] && echo ", $([[ $was_hung == 1 ]] && echo "Not Responding" || echo "never Not Responding")")"
}

# 100 MB at 20 MB/s.
nested 100000000
original=$(stat -c %s "$backing")
rules "rate 20000000"
run
wait_for_message
pauses_stop
echo "20 MB/s, no stall|$(pauses), $(finish rate20 && what_became "$original")"

# At 0.5 MB/s, for 20 s, then Exit.
rules "rate 500000"
run
sleep 20
pauses_stop
press_exit
expect_end 60000
echo "0.5 MB/s, no stall|$(pauses) over 20 s; Exit ended it in $ended_after_ms ms"

# One stall in each phase.
for phase in "pass 1:read stall=$stall_ms after_opens=1 count=1" "pass 2:read stall=$stall_ms after_opens=2 count=1" \
    "the append's write:write stall=$stall_ms after_opens=3 count=1"; do
  nested 2000000
  original=$(stat -c %s "$backing")
  rules "${phase#*:}"
  run
  wait_for_message
  pauses_stop
  echo "a stall of ${stall_ms} ms in ${phase%%:*}|$(pauses), $(finish stall && what_became "$original")"
done

# A long stall in pass 2, Exit 10 s in.
nested 2000000
original=$(stat -c %s "$backing")
rules "read stall=$long_stall_ms after_opens=2 count=1"
run
until_true 'grep -q "stalled=[1-9]" "$work/mnt/.control"'
sleep 10
pauses_stop
press_exit
expect_end $((long_stall_ms + 10000))
echo "a stall of $long_stall_ms ms in pass 2, Exit 10 s in|$(pauses); Exit ended it in $ended_after_ms ms, file $(what_became "$original")"

# A stall in the flush, Exit during it.
nested 2000000
original=$(stat -c %s "$backing")
rules "fsync stall=$stall_ms after_opens=3 count=1"
run
until_true 'grep -q "stalled=[1-9]" "$work/mnt/.control"'
sleep 1
press_exit
sleep 0.3
picture flush-exit
expect_end $((stall_ms + 10000))
pauses_stop
echo "a stall of ${stall_ms} ms in the flush, Exit 1 s in|$(pauses); the program ended $ended_after_ms ms after it, file $(what_became "$original")"

# Writes and cut-backs fail from the middle of a 4,000,000-line append, then a second run.
opens_file 4000000 "$backing"
rules "write fail=5 after_opens=3 skip=90" "truncate fail=5"
run
wait_for_message
pauses_stop
first=$(finish device-gone && what_became 4000000)
rules ""
run
wait_for_message
pauses_stop
echo "writes and cut-backs fail with EIO from the middle of a 4,000,000-line append|$first; a second run: $(finish device-gone-second && what_became 4000000)"

# Every call fails from the flush on.
nested 2000000
original=$(stat -c %s "$backing")
rules "gone fsync 5"
run
wait_for_message
pauses_stop
echo "every call fails from the flush on|$(finish flush-gone && what_became "$original")"

# A file system that will not shrink files and cannot reserve room: a signal mid-append.
opens_file 3000000 "$backing"
rules "fallocate fail=95" "truncate fail=1"
run
until_true '[[ $(counter writes) -ge 10 ]]'
kill -TERM "$program_pid"
status=0
wait "$program_pid" || status=$?
# Under Wine the signal ends the program at once; the guard it left settles the append.
until_true '! pgrep -f -- --settle-append > /dev/null'
pauses_stop
echo "no shrinking and no reserving, SIGTERM mid-append|exit status $status, file $(what_became 3000000)"

# The same file system, full mid-append.
opens_file 3000000 "$backing"
rules "fallocate fail=95" "truncate fail=1" "write fail=28 after_opens=3 skip=60"
run
wait_for_message
pauses_stop
echo "no shrinking and no reserving, disk full mid-append|$(finish disk-full && what_became 3000000)"

# Windows only: another program maps the file while Exit is pressed mid-append, so the cut-back
# is refused (a mapped file cannot be shortened there).
if [[ $platform == windows ]]; then
  opens_file 20000000 "$backing"
  rules "rate 20000000"
  run
  until_true '[[ $(stat -c %s "$backing") -gt 20000000 ]]'
  wine "$watch_exe" map "Z:${file//\//\\}" "Z:${work//\//\\}\\unmap" > "$work/mapped" &
  until_true 'grep -q mapped "$work/mapped"'
  press_exit
  expect_end 60000
  touch "$work/unmap"
  pauses_stop
  echo "another program maps the file while Exit is pressed mid-append|$(pauses); $(cat "$work/mapped" | tr -d '\r'), Exit ended it in $ended_after_ms ms, file $(what_became 20000000)"
fi
