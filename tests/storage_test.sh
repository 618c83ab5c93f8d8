#!/usr/bin/env bash
# The real Nestmend on storage that stalls and fails, used through its window as a person would:
# its files lie on tests/slow_storage, a FUSE file system that stalls or fails chosen calls.
#  - Stalls in pass 1, pass 2, the append's write and the flush: the window goes on answering
#    (its longest pause measured from outside stays under PAUSE_LIMIT_MS) and the file is repaired.
#  - Exit during a stalled read ends the program at once; the file is untouched.
#  - Exit during a stalled write ends it once the write returns; the append is cut back.
#  - A device gone mid-append (writes and cut-backs fail): the file holds its bytes and "}" lines
#    only, and a second run, the device back, balances it.
# usage: storage_test.sh linux|windows PROGRAM SLOW_STORAGE [WINDOW_PROBE_EXE]
# STALL_SECONDS (default 2.5) sets the stalls, PAUSE_LIMIT_MS (default 250) the pause allowed.
set -euo pipefail
platform=$1
program=$(realpath "$2")
slow_storage=$(realpath "$3")
probe_exe=${4:+$(realpath "$4")}
stall_ms=$(awk -v s="${STALL_SECONDS:-2.5}" 'BEGIN { printf "%d", s * 1000 }')
pause_limit_ms=${PAUSE_LIMIT_MS:-250}
if [[ $(id -u) -ne 0 || ! -e /dev/fuse ]] || ! command -v fusermount3 > /dev/null; then
  echo "SKIP: mounting the test file system needs root, /dev/fuse and fuse3"
  exit 77
fi
for tool in Xvfb xdotool; do
  command -v "$tool" > /dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done

source "$(dirname "$0")/window_session.sh"
mount_slow_storage "$slow_storage"

wait_for_a_stall() {
  for _ in $(seq 1000); do grep -q 'stalled=[1-9]' "$work/mnt/.control" && return 0; sleep 0.01; done
  echo "FAIL: the storage never stalled"
  exit 1
}
# "{" repeated COUNT times, then lines of nothing but items, as the backing file.
make_file() { head -c "$1" /dev/zero | tr '\0' '{' > "$backing"; }
balance() { echo $(($(tr -cd '{' < "$backing" | wc -c) - $(tr -cd '}' < "$backing" | wc -c))); }
repaired() { [[ $(balance) -eq 0 && $(stat -c %s "$backing") -eq $((4 * $1)) ]]; }
# Types the path, presses Enter, measures the pauses until the closing message, answers it.
repair_measured() {
  type_path "$file"
  pauses_start
  xdotool key Return
  wait_for_message
  pauses_stop
  answer_message
}

# Stalls in every phase of one run.
make_file 200000
rules "read $stall_ms 0 1 0 1" "read $stall_ms 0 2 0 1" "write $stall_ms 0 3 0 1" \
  "fsync $stall_ms 0 3 0 1"
start
repair_measured
press_exit
expect_end 5000
repaired 200000 || { echo "FAIL: not repaired through the stalls ($(balance) open)"; exit 1; }
if [[ $(awk -v p="$longest_pause_ms" -v l="$pause_limit_ms" 'BEGIN { print (p > l) }') -eq 1 ||
      "${was_hung:-0}" -eq 1 ]]; then
  echo "FAIL: the window did not answer for $longest_pause_ms ms during a stall (hung: ${was_hung:-0})"
  exit 1
fi
echo "storage ($platform): stalls of $stall_ms ms in both passes, the write and the flush; longest pause $longest_pause_ms ms; repaired"

# Exit during a stalled read: the read is abandoned.
make_file 200000
rules "read 60000 0 2 0 1"
start
type_path "$file"
xdotool key Return
wait_for_a_stall
press_exit
expect_end 2000
[[ $(stat -c %s "$backing") -eq 200000 ]] || { echo "FAIL: the file changed"; exit 1; }
echo "storage ($platform): Exit during a stalled read ended the program in $ended_after_ms ms, the file untouched"

# Exit during a stalled write: the write is waited for, then the append is cut back.
make_file 3000000
rules "write $stall_ms 0 3 2 1"
start
type_path "$file"
xdotool key Return
wait_for_a_stall
press_exit
sleep 0.5
kill -0 "$program_pid" 2> /dev/null || { echo "FAIL: ended before its write returned"; exit 1; }
expect_end $((stall_ms + 5000))
[[ $(stat -c %s "$backing") -eq 3000000 ]] || { echo "FAIL: the append was not cut back"; exit 1; }
echo "storage ($platform): Exit during a stalled write ended the program once the write returned, the file cut back"

# A device gone mid-append, then back.
make_file 3000000
rules "write 0 5 3 4 0" "truncate 0 5 0 0 0"
start
type_path "$file"
xdotool key Return
answer_message
press_exit
expect_end 5000
size=$(stat -c %s "$backing")
if ! head -c 3000000 "$backing" | cmp -s - <(head -c 3000000 /dev/zero | tr '\0' '{') ||
    [[ -n $(tail -c +3000001 "$backing" | tr -d '}\r\n') || $size -le 3000000 ]]; then
  echo "FAIL: a device gone mid-append left more than the original bytes and \"}\" lines"
  exit 1
fi
rules ""
start
type_path "$file"
xdotool key Return
answer_message
press_exit
expect_end 5000
[[ $(balance) -eq 0 ]] || { echo "FAIL: the second run did not balance the file ($(balance) open)"; exit 1; }
echo "storage ($platform): a device gone mid-append left $(((size - 3000000) / 3)) lines; a second run balanced the file"
