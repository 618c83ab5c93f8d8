# Sourced by the tests and measures that use the real Nestmend through its window as a person
# does, on Linux (the Qt window) or under Wine (Nestmend.exe), in a virtual X display of their
# own. Before it: $platform (linux or windows) and $program; $probe_exe, Nestmend.exe's window
# probe (tests/window_probe_windows.cpp), by default beside it in tests/.
# After it: $work, a folder removed at the end; pids+=(PID) and at_exit+=("COMMAND") for what
# the end must stop or run; start_display; start [ARGUMENT...]; click CONTROL (named as in
# window/layout.h); type_path PATH; repair_typed PATH [DISPLAY]; windows_path PATH;
# wait_for_message; answer_message; press_exit; expect_end MS; mount_slow_storage and rules;
# opens_file COUNT FILE; balance FILE; wait_for_growth; expect_untouched_or_complete. Every wait is for a condition, with a limit.
for tool in Xvfb xdotool; do
  command -v "$tool" > /dev/null || { echo "SKIP: $tool is not installed (Debian: xvfb, xdotool)"; exit 77; }
done
if [[ $platform == windows ]]; then
  command -v wine > /dev/null || { echo "SKIP: wine is not installed (Debian: wine, wine64)"; exit 77; }
  # A Wine server belongs to the display it started on: these tests have a prefix of their own.
  export WINEPREFIX="${WINEPREFIX:-$(dirname "$program")/wine-prefix}-window" WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml="
  probe_exe=${probe_exe:-$(dirname "$program")/tests/window_probe.exe}
fi
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
work=$(mktemp -d)
pids=()
at_exit=()
cleanup() {
  for command in "${at_exit[@]}"; do eval "$command" || true; done
  # Only those still running: an ended process's number may belong to another one by now.
  local running
  running=$(jobs -pr)
  for pid in "${pids[@]}"; do
    if grep -qx "$pid" <<< "$running"; then kill "$pid" 2> /dev/null || true; fi
  done
  rm -rf "$work"
}
trap cleanup EXIT

fail() { echo "FAIL: $*"; exit 1; }

# Runs COMMAND... until it succeeds, every 10 ms for at most SECONDS; fails with WHAT otherwise.
wait_until() {
  local seconds=$1 what=$2
  shift 2
  local deadline=$((SECONDS + seconds + 1))
  until "$@"; do
    ((SECONDS < deadline)) || { echo "FAIL: $what"; return 1; }
    sleep 0.01
  done
}

# Starts one more display; sets $new_display and $new_display_pid. Xvfb picks a free number and
# writes it to the descriptor it is given.
start_display() {
  local number="$work/display-${#pids[@]}"
  Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp 3> "$number" 2>> "$work/xvfb.log" &
  new_display_pid=$!
  pids+=("$new_display_pid")
  wait_until 10 "no display started" test -s "$number"
  new_display=":$(cat "$number")"
}
start_display
export DISPLAY=$new_display
unset QT_QPA_PLATFORM
if [[ $platform == windows ]]; then
  at_exit+=("wineserver -k 2> /dev/null")
  wineserver -k 2> /dev/null || true
  wineserver -w
  mkdir -p "$WINEPREFIX"
  wineserver -p > /dev/null 2>&1
  wineboot --init > /dev/null 2>&1
  # Wine's own fonts (Debian's fonts-wine) draw the title bar's buttons: Debian's Wine does not
  # find them where they are installed.
  if [[ -d /usr/share/wine/fonts ]]; then
    ln -sf /usr/share/wine/fonts/*.ttf "$WINEPREFIX/drive_c/windows/Fonts/" 2> /dev/null || true
  fi
  # Without a window manager, every closing window would wait 2 s for one.
  wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f > /dev/null 2>&1
fi

# Windows' name for a file of this machine.
windows_path() { echo "Z:${1//\//\\}"; }

# Starts the program with ARGUMENTS and finds its window; under Wine, where its client area lies
# in the frame Wine draws.
start() {
  $([[ $platform == windows ]] && echo wine) "$program" "$@" > "$work/nestmend.log" 2>&1 &
  program_pid=$!
  pids+=($program_pid)
  window=$(timeout 30 xdotool search --sync --onlyvisible --name "^Nestmend$" | head -n 1) || { cat "$work/nestmend.log"; exit 1; }
  eval "$(xdotool getwindowgeometry --shell "$window")"
  border=$(((WIDTH - 385) / 2))  # none on Linux, where the window manager's frame is outside
  caption=$((HEIGHT - 98 - border))
}

# The centre of CONTROL in pixels of the client area, from window/layout.h.
centre_of() {
  local place frame
  place=($(sed -n "s/.*k$1{\([-0-9, ]*\)}.*/\1/p" "$here/../window/layout.h" | tr -d ,))
  frame=(0 0)
  [[ $1 == FILE || $1 == Command1 ]] && frame=($(centre_of_frame))
  echo $(((frame[0] + place[0] + place[2] / 2) / 15)) $(((frame[1] + place[1] + place[3] / 2) / 15))
}
centre_of_frame() { sed -n 's/.*kFrame1{\([0-9]*\), \([0-9]*\),.*/\1 \2/p' "$here/../window/layout.h"; }

# Moves the pointer to X, Y of the client area.
point_at() { xdotool mousemove --window "$window" $(($1 + border)) $(($2 + caption)); }
click() {
  point_at $(centre_of "$1")
  xdotool click 1
}

# Types PATH, a file of this machine, into the path box in place of what it held (Windows
# names it by drive Z:).
type_path() {
  click FILE
  xdotool key ctrl+a
  xdotool type --delay 2 "$([[ $platform == windows ]] && windows_path "$1" || echo "$1")"
}

# Starts the program and a repair of PATH, typed into its path box, on DISPLAY (by default the
# first display).
repair_typed() {
  DISPLAY=${2:-$DISPLAY} start
  DISPLAY=${2:-$DISPLAY} type_path "$1"
  DISPLAY=${2:-$DISPLAY} xdotool key Return
}

# Clicks "Exit"; the clock of expect_end starts as the button goes down.
press_exit() {
  point_at $(centre_of Command3)
  exit_pressed_at=$(date +%s%N)
  xdotool click 1 &
}

# Waits for the closing message, a second window titled "Nestmend", for at most 30 s.
message_shown() {
  message=$(xdotool search --onlyvisible --name '^Nestmend$' | grep -v -x "$window" | head -n 1 || true)
  [[ -n "$message" ]]
}
wait_for_message() {
  wait_until 30 "no closing message appeared" message_shown && return 0
  kill -0 "$program_pid" 2> /dev/null && echo "Nestmend still runs" || echo "Nestmend had ended"
  echo "Nestmend's output: $(cat "$work/nestmend.log")"
  exit 1
}

# Waits for the closing message and presses OK; it must go.
message_gone() { ! xdotool search --onlyvisible --name '^Nestmend$' | grep -q -v -x "$window"; }
answer_message() {
  wait_for_message
  xdotool windowfocus --sync "$message"
  xdotool key Return
  wait_until 5 "the closing message did not go" message_gone || exit 1
}

# The program must end within MS milliseconds of the last press of "Exit"; $ended_after_ms says
# how long it took. Under Wine an append has a guard, the program started again, that may still
# act on the file once the program has ended (repair/append_guard_windows.h): it must be done too.
program_ended() { ! kill -0 "$program_pid" 2> /dev/null; }
no_guard() { ! pgrep -f -- '--settle-append' > /dev/null; }
expect_end() {
  while kill -0 "$program_pid" 2> /dev/null; do
    ((($(date +%s%N) - exit_pressed_at) / 1000000 <= $1)) || fail "the program still runs $1 ms after Exit"
    sleep 0.002
  done
  ended_after_ms=$((($(date +%s%N) - exit_pressed_at) / 1000000))
  wait_until 10 "a guard of an append still runs 10 s after the program ended" no_guard || exit 1
}

# Mounts SLOW_STORAGE, the test file system (tests/slow_storage.cpp), over $work/back at
# $work/mnt. After it: $file, a file's path through it, and $backing, the same file beside it;
# and rules RULE..., which replaces its rules (see slow_storage.cpp).
mount_slow_storage() {
  mkdir -p "$work/back" "$work/mnt"
  "$1" "$work/back" "$work/mnt" 2> "$work/storage.log" &
  pids+=($!)
  at_exit+=("fusermount3 -u -z '$work/mnt'")
  wait_until 5 "the test file system did not mount" test -e "$work/mnt/.control" || exit 1
  file="$work/mnt/data.txt"
  backing="$work/back/data.txt"
}
rules() { printf '%s\n' "$@" > "$work/mnt/.control"; }

# Writes "{" COUNT times to FILE; prints the "{" less the "}" of FILE.
opens_file() { head -c "$1" /dev/zero | tr '\0' '{' > "$2"; }
balance() { echo $(($(tr -cd '{' < "$1" | wc -c) - $(tr -cd '}' < "$1" | wc -c))); }

# Waits until FILE grows past SIZE bytes: the append has begun.
grown() { (($(stat -c %s "$1") > $2)); }
wait_for_growth() { wait_until 10 "the append never began" grown "$1" "$2" || exit 1; }

# FILE, once SIZE bytes of "{", must be those bytes alone or followed by every missing line.
expect_untouched_or_complete() {
  local size
  size=$(stat -c %s "$1")
  if ((size == $2)); then
    echo "$3: the file was left as it was"
  elif ((size == 4 * $2)) && cmp -s <(tail -c +$(($2 + 1)) "$1") <(yes $'}\r' | head -n "$2"); then
    echo "$3: the file was completely repaired"
  else
    fail "$3 left the file half repaired ($size bytes)"
  fi
}
