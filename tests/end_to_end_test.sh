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

source "$(dirname "$0")/virtual_display.sh"

# Starts Nestmend, types PATH into its path box (where the focus starts) and presses Enter.
start_repair() {
  "$program" > "$work/nestmend.log" 2>&1 &
  program_pid=$!
  pids+=($program_pid)
  window=$(timeout 30 xdotool search --sync --onlyvisible --name '^Nestmend$' | head -n 1)
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

# Waits until FILE grows past SIZE bytes (the append has begun), for at most 10 s.
wait_for_growth() {
  for _ in $(seq 2000); do
    (( $(stat -c %s "$1") > $2 )) && return 0
    sleep 0.005
  done
  echo "FAIL: the append never began"
  exit 1
}

# The file must be its original bytes, alone or followed by every missing line: never a part.
expect_untouched_or_complete() {
  local size
  size=$(stat -c %s "$1")
  if (( size == $2 )); then
    echo "$3: the file was left as it was"
  elif (( size == $2 + 3 * $2 )) && cmp -s <(tail -c +$(($2 + 1)) "$1") <(yes $'}\r' | head -n "$2"); then
    echo "$3: the file was completely repaired"
  else
    echo "FAIL: $3 left the file half repaired ($size bytes)"
    exit 1
  fi
}

# The program must end on its own within 5 s.
expect_the_end() {
  for _ in $(seq 100); do kill -0 "$program_pid" 2> /dev/null || return 0; sleep 0.05; done
  echo "FAIL: Nestmend still runs 5 s after $1"
  exit 1
}

# A signal to end, sent while millions of lines go out, and while the closing message shows.
opens="$work/opens.txt"
count=30000000
head -c "$count" /dev/zero | tr '\0' '{' > "$opens"
start_repair "$opens"
wait_for_growth "$opens" "$count"
kill -TERM "$program_pid"
expect_the_end "SIGTERM during the append"
expect_untouched_or_complete "$opens" "$count" "SIGTERM during the append"

printf 'a {\r\n' > "$file"
start_repair "$file"
for _ in $(seq 100); do
  [[ $(xdotool search --onlyvisible --name '^Nestmend$' | wc -l) -ge 2 ]] && break
  sleep 0.05
done
kill -HUP "$program_pid"
expect_the_end "SIGHUP while the closing message showed"
[[ $(od -An -c "$file" | tr -d ' \n') == 'a{\r\n}\r\n' ]] || { echo "FAIL: not repaired"; od -c "$file"; exit 1; }
echo "end to end: a signal during the append or the closing message ended the program safely"

# The display lost during the append: the program ends and the file is whole.
head -c "$count" /dev/zero | tr '\0' '{' > "$opens"
start_display
DISPLAY=$new_display start_repair "$opens"
wait_for_growth "$opens" "$count"
kill -KILL "$new_display_pid"
wait "$new_display_pid" 2> /dev/null || true
expect_the_end "its display was lost"
expect_untouched_or_complete "$opens" "$count" "the display lost during the append"

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
