#!/usr/bin/env bash
# Uses the real Nestmend in a virtual X display as a person would, with a home and XDG folders
# of the test's own: chooses a file with "..." in the real file dialog, presses "Begin", answers
# the closing message (which leaves the summary in view), checks the repaired bytes, and leaves
# through "Exit"; nothing was written in those folders. Then signals to end during an append and
# during the message, the display lost mid-append, and "Exit" in the middle of a long run: each
# ends the program, the file as it was or completely repaired.
# usage: end_to_end_test.sh path/to/nestmend [screenshot.png]
set -euo pipefail
platform=linux
program=$(realpath "$1")
screenshot=${2:+$(realpath -m "$2")}
for tool in Xvfb xdotool; do
  if ! command -v "$tool" > /dev/null; then
    echo "SKIP: $tool is not installed (Debian: xvfb, xdotool)"
    exit 77
  fi
done
source "$(dirname "$0")/window_session.sh"
folders=("$work/home" "$work/config" "$work/cache" "$work/data" "$work/state")
mkdir -p "${folders[@]}"
export HOME=$work/home XDG_CONFIG_HOME=$work/config XDG_CACHE_HOME=$work/cache \
  XDG_DATA_HOME=$work/data XDG_STATE_HOME=$work/state

# A window manager frames the windows, as on a desktop (where one is at hand).
if command -v openbox > /dev/null; then
  mkdir -p "$work/wm"
  HOME=$work/wm XDG_CACHE_HOME=$work/wm XDG_CONFIG_HOME=$work/wm openbox > /dev/null 2>&1 &
  pids+=($!)
  sleep 0.3
fi

file="$work/cut off data.txt"
printf 'config {\r\n  server {\r\n    name = "a, {b}",\r\n    port = 80\r\n' > "$file"
expected="$(od -An -tx1 "$file") $(printf '}\r\n}\r\n' | od -An -tx1)"
start
click_at 274 35  # "..."
for _ in $(seq 200); do
  dialog=$(xdotool search --onlyvisible --name '^Open$' | head -n 1 || true)
  [[ -n "$dialog" ]] && break
  sleep 0.05
done
[[ -n "$dialog" ]] || { echo "FAIL: the file dialog did not open"; exit 1; }
sleep 0.3  # its name field takes the keys once it is up
xdotool type --delay 2 "$file"
xdotool key Return
for _ in $(seq 200); do xdotool search --onlyvisible --name '^Open$' > /dev/null || break; sleep 0.05; done
sleep 0.3  # as a person would, not within the moment the dialog goes
click_at 345 18  # "Begin"
wait_for_message
# The summary and the bar stay in view beside the message, its frame included.
top_of() { xwininfo -id "$1" | awk '/Absolute upper-left Y/ { print $NF }'; }
height_of() { xwininfo -id "$1" | awk '/Height/ { print $NF }'; }
frame() {  # left, right, top, bottom: what the window manager draws around the window
  local extents
  extents=$(xprop -id "$1" _NET_FRAME_EXTENTS 2> /dev/null | sed -n 's/.*= //p' | tr -d ,)
  echo "${extents:-0 0 0 0}"
}
read -r _ _ box_above box_below <<< "$(frame "$message")"
box_top=$(($(top_of "$message") - box_above))
box_bottom=$(($(top_of "$message") + $(height_of "$message") + box_below))
form_top=$(top_of "$window")
if ((box_top < form_top + 98 && box_bottom > form_top + 61)); then
  echo "FAIL: the closing message covers the status line or the bar"
  exit 1
fi
answer_message
if [[ $(od -An -tx1 "$file" | tr -s ' \n' ' ') != $(echo "$expected" | tr -s ' \n' ' ') ]]; then
  echo "FAIL: the file was not repaired as expected:"
  od -c "$file"
  exit 1
fi
if [[ -n "$screenshot" ]]; then
  sleep 0.3  # let the summary paint
  import -window "$window" "$screenshot"
  echo "screenshot: $screenshot"
fi
press_exit
expect_end 3000
wait "$program_pid" || { echo "FAIL: Nestmend exited with an error"; cat "$work/nestmend.log"; exit 1; }
left=$(find "${folders[@]}" -mindepth 1)
[[ -z "$left" ]] || { echo "FAIL: Nestmend wrote more than the file: $left"; exit 1; }
echo "end to end: chosen with \"...\", repaired, closed through Exit; nothing else written"

# Starts Nestmend, types PATH into its path box and presses Enter.
start_repair() {
  start
  type_path "$1"
  xdotool key Return
}

# Waits until FILE grows past SIZE bytes (the append has begun), for at most 10 s.
wait_for_growth() {
  for _ in $(seq 2000); do
    (($(stat -c %s "$1") > $2)) && return 0
    sleep 0.005
  done
  echo "FAIL: the append never began"
  exit 1
}

# The file must be its original bytes, alone or followed by every missing line: never a part.
expect_untouched_or_complete() {
  local size
  size=$(stat -c %s "$1")
  if ((size == $2)); then
    echo "$3: the file was left as it was"
  elif ((size == $2 + 3 * $2)) && cmp -s <(tail -c +$(($2 + 1)) "$1") <(yes $'}\r' | head -n "$2"); then
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

# Named on the command line, by bytes that are not UTF-8, as a file manager names it (with
# DESKTOP_ENTRY, by that entry's Exec line): Enter presses Begin.
named="$work/caf"$'\xe9'".json"
printf 'a {\r\n' > "$named"
if [[ -n ${DESKTOP_ENTRY:-} ]]; then
  read -r -a entry <<< "$(sed -n 's/^Exec=//p' "$DESKTOP_ENTRY")"
  arguments=("${entry[@]:1}")
  program=$(command -v "${entry[0]}") start "${arguments[@]/\%f/$named}"
else
  start "$named"
fi
xdotool key Return
wait_for_message
kill -HUP "$program_pid"
expect_the_end "SIGHUP while the closing message showed"
[[ $(od -An -c "$named" | tr -d ' \n') == 'a{\r\n}\r\n' ]] || { echo "FAIL: not repaired"; od -c "$named"; exit 1; }
echo "end to end: a file named on the command line repaired; a signal during the append or the closing message ended the program safely"

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
press_exit
expect_end 3000
if [[ $(stat -c %s "$large") -ne $(((1 << 30) + 1)) ]]; then
  echo "FAIL: the file changed although the run was left"
  exit 1
fi
echo "end to end: Exit during a run ended the program and left the file as it was"
