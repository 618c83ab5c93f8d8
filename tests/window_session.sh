# Sourced by tests that use the real Nestmend through its window as a person does, on Linux (the
# Qt window) or under Wine (Nestmend.exe), in a virtual display of the test's own. Before it:
# $platform (linux or windows) and $program. After it, beside virtual_display.sh's: start,
# click_at X Y, type_path PATH, wait_for_message, answer_message, press_exit, expect_end MS, and
# pauses_start / pauses_stop, which measure from outside how long the window leaves others waiting,
# and mount_slow_storage with rules, storage that stalls and fails.
# $probe_exe looks at Nestmend.exe's window from outside (tests/window_probe_windows.cpp).
if [[ $platform == windows ]]; then
  # A Wine server belongs to the display it started on: this test has a prefix of its own.
  export WINEPREFIX="${WINEPREFIX:-$(dirname "$program")/wine-prefix}-window" WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml="
fi
source "$(dirname "${BASH_SOURCE[0]}")/virtual_display.sh"
if [[ $platform == windows ]]; then start_wine_server; fi

# Starts the program with ARGUMENTS and finds its window; under Wine, where its client area
# lies in the frame.
start() {
  if [[ $platform == windows ]]; then
    wine "$program" "$@" > "$work/nestmend.log" 2>&1 &
  else
    "$program" "$@" > "$work/nestmend.log" 2>&1 &
  fi
  program_pid=$!
  pids+=($program_pid)
  window=$(timeout 30 xdotool search --sync --onlyvisible --name '^Nestmend$' | head -n 1)
  border=0
  caption=0
  if [[ $platform == windows ]]; then
    eval "$(xdotool getwindowgeometry --shell "$window")"
    border=$(((WIDTH - 385) / 2))
    caption=$((HEIGHT - 98 - border))
  fi
}

# Clicks at X, Y of the window's client area.
click_at() { xdotool mousemove --window "$window" $(($1 + border)) $(($2 + caption)) click 1; }

# Types PATH, a file of this machine, into the path box (Windows names it by drive Z:).
type_path() {
  click_at 120 35
  if [[ $platform == windows ]]; then
    xdotool type --delay 2 "Z:${1//\//\\}"
  else
    xdotool type --delay 2 "$1"
  fi
}

# Clicks "Exit"; the clock of expect_end starts as the button goes down.
press_exit() {
  xdotool mousemove --window "$window" $((345 + border)) $((46 + caption))
  exit_pressed_at=$(date +%s%N)
  xdotool click 1 &
}

# Waits for the closing message, a second window titled "Nestmend", for at most 30 s.
wait_for_message() {
  for _ in $(seq 600); do
    message=$(xdotool search --onlyvisible --name '^Nestmend$' | grep -v -x "$window" | head -n 1 || true)
    [[ -n "$message" ]] && return 0
    sleep 0.05
  done
  echo "FAIL: no closing message appeared"
  kill -0 "$program_pid" 2> /dev/null && echo "Nestmend still runs" || echo "Nestmend had ended"
  echo "windows shown: $(xdotool search --onlyvisible --name '.' getwindowname %@ 2> /dev/null | paste -sd '|')"
  echo "Nestmend's output: $(cat "$work/nestmend.log")"
  exit 1
}

answer_message() {
  wait_for_message
  xdotool windowfocus --sync "$message"
  xdotool key Return
}

# The program must end within MS milliseconds of the last press of "Exit"; $ended_after_ms says
# how long it took.
expect_end() {
  while kill -0 "$program_pid" 2> /dev/null; do
    if ((($(date +%s%N) - exit_pressed_at) / 1000000 > $1)); then
      echo "FAIL: the program still runs $1 ms after Exit"
      exit 1
    fi
    sleep 0.002
  done
  ended_after_ms=$((($(date +%s%N) - exit_pressed_at) / 1000000))
  wait_for_guards
}

# Under Wine an append has a guard, the program started again, that may still act on the file
# once the program has ended (repair/append_guard_windows.h): it must be done first.
wait_for_guards() {
  [[ $platform == windows ]] || return 0
  for _ in $(seq 200); do pgrep -f -- '--settle-append' > /dev/null || return 0; sleep 0.05; done
  echo "FAIL: a guard of an append is still running 10 s after the program ended"
  exit 1
}

pauses_start() {
  rm -f "$work/pauses" "$work/pauses-stop"
  if [[ $platform == windows ]]; then
    wine "$probe_exe" pauses "Z:${work//\//\\}\\pauses-stop" > "$work/pauses" 2>&1 &
  else
    python3 "$(dirname "${BASH_SOURCE[0]}")/window_pings.py" "$window" > "$work/pauses" &
  fi
  pauses_pid=$!
  pids+=($pauses_pid)
  for _ in $(seq 1000); do grep -q measuring "$work/pauses" 2> /dev/null && break; sleep 0.01; done
}

# (pauses_start returns once the measure has begun.)
# Sets $longest_pause_ms (and, under Wine, $was_hung) from the measure since pauses_start.
pauses_stop() {
  if [[ $platform == windows ]]; then touch "$work/pauses-stop"; else kill -TERM "$pauses_pid" 2> /dev/null || true; fi
  wait "$pauses_pid" || true
  longest_pause_ms=$(sed -n 's/.*longest_ms=\([0-9.]*\).*/\1/p' "$work/pauses")
  was_hung=$(sed -n 's/.*hung=\([01]\).*/\1/p' "$work/pauses")
  [[ -n "$longest_pause_ms" ]] || { echo "FAIL: no measure of pauses: $(cat "$work/pauses")"; exit 1; }
}

# Mounts SLOW_STORAGE, the test file system (tests/slow_storage), over $work/back at $work/mnt.
# After it: $file, a file's path through it, and $backing, the same file beside it; and rules
# RULE..., which replaces its rules ("OP DELAY_MS ERRNO FROM_OPEN SKIP COUNT", "rate BYTES" or
# "gone OP ERRNO").
mount_slow_storage() {
  mkdir -p "$work/back" "$work/mnt"
  "$1" "$work/back" "$work/mnt" 2> "$work/storage.log" &
  pids+=($!)
  at_exit+=("fusermount3 -u -z '$work/mnt'")
  for _ in $(seq 200); do [[ -e "$work/mnt/.control" ]] && break; sleep 0.02; done
  file="$work/mnt/data.txt"
  backing="$work/back/data.txt"
}
rules() { printf '%s\n' "$@" > "$work/mnt/.control"; }
