#!/usr/bin/env bash
# Starts the real Nestmend in a virtual X display, types a path into its window, presses Enter,
# answers the closing message, checks the repaired bytes, and leaves through "Exit". Then starts
# it again on a large file and presses "Exit" in the middle of the run: the program must end at
# once and leave the file as it was.
# usage: end_to_end_test.sh path/to/nestmend [screenshot.png]
set -euo pipefail
program=$(realpath "$1")
screenshot=${2:+$(realpath -m "$2")}
for tool in Xvfb xdotool; do
  if ! command -v "$tool" > /dev/null; then
    echo "SKIP: $tool is not installed (Debian: xvfb, xdotool)"
    exit 77
  fi
done

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2> /dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

# Xvfb picks a free display and writes its number to the descriptor it is given.
Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp 3> "$work/display" 2> "$work/xvfb.log" &
pids+=($!)
for _ in $(seq 100); do [[ -s "$work/display" ]] && break; sleep 0.05; done
export DISPLAY=":$(cat "$work/display")"
unset QT_QPA_PLATFORM

# Starts Nestmend, types PATH into its path box (where the focus starts) and presses Enter.
start_repair() {
  "$program" > "$work/nestmend.log" 2>&1 &
  program_pid=$!
  pids+=($program_pid)
  window=$(timeout 10 xdotool search --sync --onlyvisible --name '^Nestmend$' | head -n 1)
  xdotool windowfocus --sync "$window"
  xdotool type --delay 2 "$1"
  xdotool key Return
}

# Clicks "Exit", at (345, 46) in the window's own pixels; the program must be gone within 3 s.
press_exit_and_expect_the_end() {
  xdotool mousemove --window "$window" 345 46 click 1
  for _ in $(seq 60); do kill -0 "$program_pid" 2> /dev/null || break; sleep 0.05; done
  if kill -0 "$program_pid" 2> /dev/null; then
    echo "FAIL: Nestmend still runs 3 s after Exit was pressed"
    exit 1
  fi
  wait "$program_pid" || { echo "FAIL: Nestmend exited with an error"; cat "$work/nestmend.log"; exit 1; }
}

file="$work/cut off data.txt"
printf 'config {\r\n  server {\r\n    name = "a, {b}",\r\n    port = 80\r\n' > "$file"
original=$(od -An -tx1 "$file")

start_repair "$file"

# The repair appends two lines and then shows its closing message.
expected="$original $(printf '}\r\n}\r\n' | od -An -tx1)"
for _ in $(seq 100); do
  [[ $(od -An -tx1 "$file" | tr -s ' \n' ' ') == $(echo "$expected" | tr -s ' \n' ' ') ]] && break
  sleep 0.05
done
if [[ $(od -An -tx1 "$file" | tr -s ' \n' ' ') != $(echo "$expected" | tr -s ' \n' ' ') ]]; then
  echo "FAIL: the file was not repaired as expected:"
  od -c "$file"
  exit 1
fi
for _ in $(seq 100); do
  [[ $(xdotool search --onlyvisible --name '^Nestmend$' | wc -l) -ge 2 ]] && break
  sleep 0.05
done
message=$(xdotool search --onlyvisible --name '^Nestmend$' | grep -v -x "$window" | head -n 1)
[[ -n "$message" ]] || { echo "FAIL: no closing message appeared"; exit 1; }
xdotool windowfocus --sync "$message"
xdotool key Return
for _ in $(seq 100); do
  [[ $(xdotool search --onlyvisible --name '^Nestmend$' | wc -l) -eq 1 ]] && break
  sleep 0.05
done

if [[ -n "$screenshot" ]]; then
  sleep 0.3  # let the summary paint
  import -window "$window" "$screenshot"
  echo "screenshot: $screenshot"
fi

press_exit_and_expect_the_end
echo "end to end: repaired through the window, closed through Exit"

# A gigabyte of holes with one "{" at its end takes a while to read: long enough to leave mid-run.
large="$work/large.txt"
truncate -s 1G "$large"
printf '{' >> "$large"
start_repair "$large"
sleep 0.3  # into the run
press_exit_and_expect_the_end
if [[ $(stat -c %s "$large") -ne $(((1 << 30) + 1)) ]]; then
  echo "FAIL: the file changed although the run was left"
  exit 1
fi
echo "end to end: Exit during a run ended the program and left the file as it was"
