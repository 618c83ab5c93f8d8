#!/usr/bin/env bash
# Starts the real Nestmend.exe under Wine in a virtual X display and uses it as a person would:
# reaches "..." with Tab and chooses a file in the system's file dialog, clicks "Begin", finds the
# closing message and presses OK, checks the repaired bytes, repairs again (nothing more is
# appended); drops another file on the window, repairs it and presses "Exit" while that run's
# message shows; then types a path into the path box, presses Enter, and "Exit" in the middle of
# the long run: the program must end and leave the file alone.
# A path box text holding an unpaired surrogate repairs no file.
# usage: end_to_end_windows_test.sh path/to/Nestmend.exe [screenshot.png]
# (tests/window_probe.exe, beside Nestmend.exe, sets that text.)
set -euo pipefail
program=$(realpath "$1")
screenshot=${2:+$(realpath -m "$2")}
for tool in Xvfb xdotool wine wineserver; do
  if ! command -v "$tool" > /dev/null; then
    echo "SKIP: $tool is not installed (Debian: xvfb, xdotool, wine, wine64)"
    exit 77
  fi
done

# A Wine server belongs to the display it started on: this test has a prefix of its own.
export WINEPREFIX="${WINEPREFIX:-$(dirname "$program")/wine-prefix}-window" WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
source "$(dirname "$0")/virtual_display.sh"
start_wine_server

# Windows' name for a file of this machine.
windows_path() { echo "Z:${1//\//\\}"; }

# Starts Nestmend.exe with ARGUMENTS and finds its window.
start() {
  wine "$program" "$@" > "$work/nestmend.log" 2>&1 &
  program_pid=$!
  pids+=($program_pid)
  window=$(timeout 30 xdotool search --sync --onlyvisible --name '^Nestmend$' | head -n 1)
  # Wine draws the frame itself: the 385 x 98 client area sits inside a border and a caption.
  eval "$(xdotool getwindowgeometry --shell "$window")"
  border=$(((WIDTH - 385) / 2))
  caption=$((HEIGHT - 98 - border))
}

# Starts Nestmend.exe, clicks into the path box and types PATH.
start_and_type() {
  start
  click_at 120 35
  xdotool type --delay 2 "$1"
}

# Starts Nestmend.exe and chooses PATH through "..." and the system's file dialog, from the
# keyboard: Tab from the path box reaches "...", and the space bar presses it.
start_and_browse() {
  start
  click_at 120 35
  xdotool key Tab space
  local dialog
  dialog=$(timeout 30 xdotool search --sync --onlyvisible --name '^Open$' | head -n 1)
  # No "Open as read-only" box, which would change nothing; "All files" its one type.
  local shows
  shows=$(wine "$probe" dialog | tr -d '\r')
  [[ $shows == "read-only box hidden; types: All files;" ]] || { echo "FAIL: the dialog: $shows"; exit 1; }
  xdotool windowfocus --sync "$dialog"
  xdotool type --delay 2 "$1"
  xdotool key Return
  for _ in $(seq 100); do
    xdotool search --onlyvisible --name '^Open$' > /dev/null || return 0
    sleep 0.05
  done
  echo "FAIL: the file dialog did not close"
  exit 1
}

# Clicks at X, Y of the window's client area.
click_at() { xdotool mousemove --window "$window" $(($1 + border)) $(($2 + caption)) click 1; }

click_begin() { click_at 345 18; }

# Waits for the closing message, a second window titled "Nestmend".
wait_for_the_message() {
  for _ in $(seq 200); do
    message=$(xdotool search --onlyvisible --name '^Nestmend$' | grep -v -x "$window" | head -n 1 || true)
    [[ -n "$message" ]] && return 0
    sleep 0.05
  done
  echo "FAIL: no closing message appeared"
  import -window root "${TMPDIR:-/tmp}/nestmend-no-message.png" || true
  exit 1
}

# Waits for the closing message and presses OK.
answer_the_message() {
  wait_for_the_message
  xdotool windowfocus --sync "$message"
  xdotool key Return
  for _ in $(seq 100); do
    [[ $(xdotool search --onlyvisible --name '^Nestmend$' | wc -l) -eq 1 ]] && return 0
    sleep 0.05
  done
  echo "FAIL: the closing message did not go"
  exit 1
}

# Clicks "Exit"; the program must be gone within 5 s, and the guard of its last append (the
# program started again, that settles an append the program's end would cut short) soon after.
press_exit_and_expect_the_end() {
  click_at 345 46
  for _ in $(seq 100); do kill -0 "$program_pid" 2> /dev/null || break; sleep 0.05; done
  kill -0 "$program_pid" 2> /dev/null && { echo "FAIL: Nestmend.exe still runs 5 s after Exit"; exit 1; }
  for _ in $(seq 200); do pgrep -f -- '--settle-append' > /dev/null || return 0; sleep 0.05; done
  echo "FAIL: the guard of an append still runs 10 s after the program ended"
  exit 1
}

bytes() { od -An -tx1 "$1" | tr -s ' \n' ' '; }
probe="$(dirname "$program")/tests/window_probe.exe"  # looks at the window from outside

# In the prefix's own Documents folder, as a user's file would be. Wine makes that folder a link
# to the home folder, which other runs of this test (from other build trees) share: here it is a
# folder of this prefix's own.
documents="$WINEPREFIX/drive_c/users/$(whoami)/Documents"
if [[ -L "$documents" ]]; then rm "$documents"; fi
mkdir -p "$documents"
file="$documents/server settings.conf"
rm -f "$file" "$documents/dropped settings.conf"
printf 'config {\r\n  server {\r\n    name = "a, {b}",\r\n    port = 80\r\n' > "$file"
expected="$(bytes "$file") $(printf '}\r\n}\r\n' | od -An -tx1 | tr -s ' \n' ' ')"
start_and_browse "C:\\users\\$(whoami)\\Documents\\server settings.conf"
click_begin
answer_the_message
# The status line's tooltip says why.
reason=$(wine "$probe" status | tr -d '\r' | tail -n 1)
[[ $reason == 'Added 2 lines "}" at the end of the file, and they are safely on the disk; the outermost block left open begins on line 1.' ]] ||
  { echo "FAIL: the tooltip reads: $reason"; exit 1; }
# The bar: a third of its width for the first of two lines; the cursor over the window an arrow.
bar=$(wine "$probe" bar | tr -d '\r')
[[ $bar =~ ^position=([0-9]+)\ range=0\.\.([0-9]+)$ ]] && ((BASH_REMATCH[2] > 100)) &&
  ((BASH_REMATCH[1] == BASH_REMATCH[2] / 3)) || { echo "FAIL: the bar reads $bar"; exit 1; }
# The cursor over the window itself is the arrow a button shows.
cursor_at() {
  xdotool mousemove --window "$window" $(($1 + border)) $(($2 + caption))
  sleep 0.2
  python3 "$(dirname "$0")/window_pings.py" --cursor
}
[[ $(cursor_at 300 55) == $(cursor_at 345 18) ]] || { echo "FAIL: the window's cursor is no arrow"; exit 1; }
if [[ -n "$screenshot" ]]; then
  sleep 0.5
  import -window "$window" "$screenshot"
  echo "screenshot: $screenshot"
fi
if [[ $(bytes "$file" | tr -s ' ') != $(echo "$expected" | tr -s ' ') ]]; then
  echo "FAIL: the file was not repaired as expected:"
  od -c "$file"
  exit 1
fi
click_begin  # again: nothing is missing now
answer_the_message
[[ $(bytes "$file" | tr -s ' ') == $(echo "$expected" | tr -s ' ') ]] || { echo "FAIL: the second run changed the file"; exit 1; }
# Another cut-off file, dropped on the window from a file manager.
dropped="$documents/dropped settings.conf"
printf 'config {\r\n  server {\r\n    name = "a, {b}",\r\n    port = 80\r\n' > "$dropped"
python3 "$(dirname "$0")/drop_file.py" "$window" $((X + border + 150)) $((Y + caption + 60)) "$dropped"
click_begin
wait_for_the_message
press_exit_and_expect_the_end  # while the message shows: it goes, and the program with it
[[ $(bytes "$dropped" | tr -s ' ') == $(echo "$expected" | tr -s ' ') ]] || { echo "FAIL: the dropped file was not repaired"; exit 1; }
rm -f "$file" "$dropped"
# A path that no file name holds exactly (an unpaired surrogate, set by another program) is
# refused: the file a lossy conversion would name instead stays as it was.
decoy="$documents/s"$'\xef\xbf\xbd'".txt"
printf '{' > "$decoy"
start
wine "$probe" set-path \
  "C:\\users\\$(whoami)\\Documents\\s\\uD800.txt"
click_begin
answer_the_message
[[ $(cat "$decoy") == '{' ]] || { echo "FAIL: the decoy was repaired"; exit 1; }
press_exit_and_expect_the_end
rm -f "$decoy"
echo "end to end (Windows): chosen with \"...\", repaired, a second run appended nothing, a dropped file repaired, Exit during its message ended it"

# Named on the command line, by a name that is not ASCII, to a copy of Nestmend.exe in a folder
# whose name holds the switch of the append's guard: a window opens, and Enter presses "Begin".
large="$work/gro"$'\xc3\x9f'".txt"
truncate -s 1G "$large"
printf '{' >> "$large"
odd="$work/Tools --settle-append x"
mkdir -p "$odd"
cp "$program" "$odd/"
program="$odd/Nestmend.exe" start "$(windows_path "$large")"
xdotool key Return
# The run opens the very path named (the scan takes about 2 s).
for attempt in $(seq 101); do
  [[ -n $(find /proc/[0-9]*/fd -lname "$large" 2> /dev/null || true) ]] && break
  [[ $attempt -le 100 ]] || { echo "FAIL: the typed file was never opened"; exit 1; }
  sleep 0.05
done
sleep 0.3  # into the run
press_exit_and_expect_the_end
if [[ $(stat -c %s "$large") -ne $(((1 << 30) + 1)) ]]; then
  echo "FAIL: the file changed although the run was left"
  exit 1
fi
echo "end to end (Windows): Exit during a run ended the program and left the file as it was"

# While Nestmend.exe appends, a Linux program, which Windows' sharing does not keep out, appends
# a record: the record is kept, and no repair is claimed. Then the display goes away in the
# middle of an append, ending the program past all of its own handlers: its guard cuts the
# append back or completes it.
opens="$work/opens.txt"
count=30000000
wait_for_growth() {
  for _ in $(seq 2000); do
    (($(stat -c %s "$opens") > count)) && return 0
    sleep 0.005
  done
  echo "FAIL: the append never began"
  exit 1
}
head -c "$count" /dev/zero | tr '\0' '{' > "$opens"
start_and_type "$(windows_path "$opens")"
xdotool key Return
wait_for_growth
printf "another program's record\n" >> "$opens"
wait_for_the_message
status=$(wine "$probe" status | tr -d '\r' | head -n 1)
[[ $status == "Summary:  Either the file had no errors or Nestmend was not able to repair it" ]] ||
  { echo "FAIL: a repair was claimed: $status"; exit 1; }
grep -q "another program's record" "$opens" || { echo "FAIL: the record was overwritten"; exit 1; }
press_exit_and_expect_the_end
head -c "$count" /dev/zero | tr '\0' '{' > "$opens"
start_display
DISPLAY=$new_display start_and_type "$(windows_path "$opens")"
DISPLAY=$new_display xdotool key Return
wait_for_growth
kill -KILL "$new_display_pid"
wait "$new_display_pid" 2> /dev/null || true
for _ in $(seq 200); do kill -0 "$program_pid" 2> /dev/null || break; sleep 0.05; done
for _ in $(seq 200); do
  size=$(stat -c %s "$opens")
  ((size == count || size == 4 * count)) && break
  sleep 0.05
done
for _ in $(seq 200); do pgrep -f -- '--settle-append' > /dev/null || break; sleep 0.05; done
size=$(stat -c %s "$opens")
((size == count || size == 4 * count)) || { echo "FAIL: the display's loss left $size bytes"; exit 1; }
echo "end to end (Windows): another program's record kept and no repair claimed; the display lost mid-append left the file $( ((size == count)) && echo "as it was" || echo "repaired")"
