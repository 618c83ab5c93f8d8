# Sourced by the end-to-end tests: a work folder, processes ended and commands run when the test
# exits, and a virtual X display of the test's own. After it: $work; pids+=(PID) to have a
# process ended, at_exit+=("COMMAND") to have a command run first; DISPLAY set; and
# start_display, which starts one more display and sets $new_display and $new_display_pid; and
# start_wine_server, which readies $WINEPREFIX and its server for this display.
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

# Xvfb picks a free display and writes its number to the descriptor it is given.
start_display() {
  local number="$work/display-${#pids[@]}"
  Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp 3> "$number" 2>> "$work/xvfb.log" &
  new_display_pid=$!
  pids+=("$new_display_pid")
  for _ in $(seq 100); do [[ -s "$number" ]] && break; sleep 0.05; done
  new_display=":$(cat "$number")"
}

start_display
export DISPLAY=$new_display
unset QT_QPA_PLATFORM

# A Wine server belongs to the display it started on: each test has a prefix of its own, and
# starts its server afresh.
start_wine_server() {
  at_exit+=("wineserver -k 2> /dev/null")
  wineserver -k 2> /dev/null || true
  wineserver -w
  mkdir -p "$WINEPREFIX"
  wineserver -p > /dev/null 2>&1
  wineboot --init > /dev/null 2>&1
  # Wine's own fonts (Debian's fonts-wine), which draw the title bar's buttons: Debian's Wine
  # does not find them where they are installed.
  if [[ -d /usr/share/wine/fonts ]]; then
    ln -sf /usr/share/wine/fonts/*.ttf "$WINEPREFIX/drive_c/windows/Fonts/" 2> /dev/null || true
  fi
  # Without a window manager, every closing window would wait 2 s for one.
  wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f > /dev/null 2>&1
}
