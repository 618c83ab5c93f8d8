#!/usr/bin/env bash
# Uses the real Nestmend through its window as a person would, in a virtual X display: the Qt
# window on Linux (under a window manager, with a home of the test's own where nothing may be
# written), or Nestmend.exe under Wine. Chooses a file with "..." in the system's file dialog,
# reached from the keyboard; presses Begin, answers the closing message and checks the bytes;
# drops another file on the window and presses Exit while its message shows. Then a file named on the command line, by a name that is not ASCII, and
# Exit in the middle of its long run; the display lost in the middle of an append; on Linux a
# signal to end during one. Each leaves the file as it was or completely repaired.
# usage: end_to_end_test.sh linux|windows PROGRAM
# With DESKTOP_ENTRY (Linux), the file on the command line is named by that entry's Exec line.
set -euo pipefail
platform=$1
program=$(realpath "$2")
source "$(dirname "$0")/window_session.sh"
on_windows() { [[ $platform == windows ]]; }
probe() { wine "$probe_exe" "$@" | tr -d '\r'; }

if ! on_windows; then
  folders=("$work/home" "$work/config" "$work/cache" "$work/data" "$work/state")
  mkdir -p "${folders[@]}" "$work/wm"
  export HOME=$work/home XDG_CONFIG_HOME=$work/config XDG_CACHE_HOME=$work/cache \
    XDG_DATA_HOME=$work/data XDG_STATE_HOME=$work/state
  if command -v openbox > /dev/null; then
    HOME=$work/wm XDG_CACHE_HOME=$work/wm XDG_CONFIG_HOME=$work/wm \
      openbox --startup "touch $work/wm/up" > /dev/null 2>&1 &
    pids+=($!)
    wait_until 5 "no window manager" test -e "$work/wm/up"
  fi
fi

file="$work/server settings.conf"
cut_off=$'config {\r\n  server {\r\n    name = "a, {b}",\r\n    port = 80\r\n'
printf '%s' "$cut_off" > "$file"
printf '%s}\r\n}\r\n' "$cut_off" > "$work/expected"
expect_repaired() { cmp -s "$1" "$work/expected" || fail "$2: $(od -c "$1")"; }

# "..." reached with Tab from the path box; the dialog opened with the space bar.
start
click FILE
xdotool key Tab space
dialog=$(timeout 30 xdotool search --sync --onlyvisible --name '^Open$' | head -n 1)
xdotool windowfocus --sync "$dialog"
xdotool type --delay 2 "$(on_windows && windows_path "$file" || echo "$file")"
xdotool key Return
dialog_gone() { ! xdotool search --onlyvisible --name '^Open$' > /dev/null; }
wait_until 5 "the file dialog did not close" dialog_gone
window_active() { [[ $(xdotool getactivewindow 2> /dev/null) == "$window" ]]; }
on_windows || wait_until 5 "the window did not come back" window_active
click Command2
wait_for_message
if ! on_windows; then  # the summary and the bar stay in view beside the message, its frame too
  box=($(xwininfo -id "$message" | awk '/Absolute upper-left Y|Height/ { print $NF }'))
  frame=($(xprop -id "$message" _NET_FRAME_EXTENTS | sed -n 's/.*= //p' | tr -d ,))
  form_top=$(xwininfo -id "$window" | awk '/Absolute upper-left Y/ { print $NF }')
  ((box[0] - ${frame[2]:-0} < form_top + 98 && box[0] + box[1] + ${frame[3]:-0} > form_top + 61)) &&
    fail "the closing message covers the status line or the bar"
fi
answer_message
expect_repaired "$file" "the file was not repaired as expected"
if on_windows; then
  # The reason whole in the tooltip; the bar a third of its width for the first of two lines;
  # the focus back on Begin, which started the run; Shift+F1 shows the reason in place.
  mapfile -t state < <(probe state)
  [[ ${state[1]} == 'Added 2 lines "}" at the end of the file, and they are safely on the disk; the outermost block left open begins on line 1.' &&
     ${state[2]} == 'shown whole' ]] || fail "the tooltip reads: ${state[*]:1:2}"
  [[ ${state[3]} =~ ^position=([0-9]+)\ range=0\.\.([0-9]+)$ ]] && ((BASH_REMATCH[2] > 100)) &&
    ((BASH_REMATCH[1] == BASH_REMATCH[2] / 3)) || fail "the bar reads ${state[3]}"
  [[ ${state[4]} == Begin && ${state[5]} == 'no tooltip' ]] || fail "after the run: ${state[*]:4}"
  xdotool key shift+F1
  tooltip_shown() { [[ $(probe state | tail -n 1) == "tooltip shown" ]]; }
  wait_until 5 "Shift+F1 showed no reason" tooltip_shown || exit 1
fi
# Another cut-off file, dropped on the window from a file manager; Exit while its message shows.
dropped="$work/dropped settings.conf"
printf '%s' "$cut_off" > "$dropped"
eval "$(xdotool getwindowgeometry --shell "$window")"
"$here/x11.py" drop "$window" $((X + border + 150)) $((Y + caption + 60)) "$dropped"
click Command2
wait_for_message
press_exit
expect_end 5000
expect_repaired "$dropped" "the dropped file was not repaired"
if ! on_windows; then
  left=$(find "${folders[@]}" -mindepth 1)
  [[ -z "$left" ]] || fail "Nestmend wrote more than the file: $left"
fi
echo "end to end ($platform): chosen with \"...\", repaired, a dropped file repaired, Exit during its message ended it"

if on_windows; then
  # A path that no file name holds exactly (an unpaired surrogate, set by another program) is
  # refused: the file a lossy conversion would name instead stays as it was.
  decoy="$work/s"$'\xef\xbf\xbd'".txt"
  printf '{' > "$decoy"
  start
  probe set-path "$(windows_path "$work")\\s\\uD800.txt"
  click Command2
  answer_message
  [[ $(cat "$decoy") == '{' ]] || fail "the decoy was repaired"
  # Names that end in a dot or a space, beside the name without: typed, each repairs itself;
  # dropped, where Wine has taken the dot off, neither is taken for the other.
  for name in "b.json." "c.json "; do
    printf '{{{\r\n' > "$work/$name"
    printf '{\r\n' > "$work/${name%?}"
    type_path "$work/$name"
    click Command2
    answer_message
  done
  eval "$(xdotool getwindowgeometry --shell "$window")"
  "$here/x11.py" drop "$window" $((X + border + 150)) $((Y + caption + 60)) "$work/b.json."
  click Command2
  answer_message
  for name in "b.json." "c.json "; do
    [[ $(tr -cd '}' < "$work/$name") == "}}}" && $(tr -cd '}' < "$work/${name%?}") == "" ]] ||
      fail "'$name' and its name without its end: $(od -c "$work/$name" "$work/${name%?}")"
  done
  press_exit
  expect_end 5000
fi

# Named on the command line, as a file manager names it: by bytes that are not UTF-8 on Linux,
# by a name that is not ASCII to a copy of Nestmend.exe in a folder whose name holds the switch
# of the append's guard. Enter presses Begin; Exit in the middle of the run (a gigabyte of holes
# takes a while to read) leaves the file as it was.
large="$work/$(on_windows && echo $'gro\xc3\x9fe' || echo $'caf\xe9').txt"
truncate -s 1G "$large"
printf '{' >> "$large"
if on_windows; then
  odd="$work/Tools --settle-append x"
  mkdir -p "$odd"
  cp "$program" "$odd/"
  program="$odd/Nestmend.exe" start "$(windows_path "$large")"
elif [[ -n ${DESKTOP_ENTRY:-} ]]; then
  read -r -a entry <<< "$(sed -n 's/^Exec=//p' "$DESKTOP_ENTRY")"
  arguments=("${entry[@]:1}")
  program=$(command -v "${entry[0]}") start "${arguments[@]/\%f/$large}"
else
  start "$large"
fi
xdotool key Return
opened() { [[ -n $(find /proc/[0-9]*/fd -lname "$large" 2> /dev/null || true) ]]; }
wait_until 10 "the file named was never opened" opened
press_exit
expect_end 3000
[[ $(stat -c %s "$large") -eq $(((1 << 30) + 1)) ]] || fail "the file changed although the run was left"
rm -f "$large"
echo "end to end ($platform): a file named on the command line opened, Exit during its run left it as it was"

expect_the_end() {
  wait_until 5 "Nestmend still runs 5 s after $1" program_ended || exit 1
  wait_until 10 "a guard of an append still runs" no_guard || exit 1
}
opens="$work/opens.txt"
count=30000000
opens_file "$count" "$opens"
repair_typed "$opens"
wait_for_growth "$opens" "$count"
if on_windows; then
  # While Nestmend.exe appends, a Linux program, which Windows' sharing does not keep out,
  # appends a record: the record is kept, and no repair is claimed.
  printf "another program's record\n" >> "$opens"
  wait_for_message
  [[ $(probe state | head -n 1) == "Summary:  Either the file had no errors or Nestmend was not able to repair it" ]] ||
    fail "a repair was claimed: $(probe state | head -n 1)"
  grep -q "another program's record" "$opens" || fail "the record was overwritten"
  press_exit
  expect_end 5000
else
  kill -TERM "$program_pid"
  expect_the_end "SIGTERM during the append"
  expect_untouched_or_complete "$opens" "$count" "SIGTERM during the append"
fi
# The display lost during the append: the program ends and the file is whole (under Wine, which
# ends the program past all of its own handlers, its guard settles the append).
opens_file "$count" "$opens"
start_display
repair_typed "$opens" "$new_display"
wait_for_growth "$opens" "$count"
kill -KILL "$new_display_pid"
wait "$new_display_pid" 2> /dev/null || true
expect_the_end "its display was lost"
expect_untouched_or_complete "$opens" "$count" "the display lost during the append"
