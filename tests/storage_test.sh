#!/usr/bin/env bash
# The real Nestmend on storage that stalls and fails, used through its window as a person would:
# its files lie on tests/slow_storage, a FUSE file system that stalls or fails chosen calls.
#  - Stalls in pass 1, pass 2, the append's write and the flush: the window answers the desktop
#    during each of them, and the file is repaired.
#  - Exit during a stalled read takes the window away at once; the file is untouched.
#  - Exit during a stalled write ends the program once the write returns; the append is cut back.
#  - A file of another file system with the same size, time and inode number, switched in for the
#    file while the second read opens it (a "current" link): neither file is changed.
# usage: storage_test.sh linux|windows PROGRAM SLOW_STORAGE
# STALL_SECONDS (default 2.5) sets the stalls. (How long the window's pauses are is measured by
# bench/storage_table.sh.)
set -euo pipefail
platform=$1
program=$(realpath "$2")
slow_storage=$(realpath "$3")
stall_ms=$(awk -v s="${STALL_SECONDS:-2.5}" 'BEGIN { printf "%d", s * 1000 }')
if [[ $(id -u) -ne 0 || ! -e /dev/fuse ]] || ! command -v fusermount3 > /dev/null; then
  echo "SKIP: mounting the test file system needs root, /dev/fuse and fuse3"
  exit 77
fi
source "$(dirname "$0")/window_session.sh"
# The files lie on fresh file systems of their own, which number their first file alike.
for folder in back other; do
  mkdir -p "$work/$folder"
  mount -t tmpfs tmpfs "$work/$folder"
  at_exit+=("umount -l '$work/$folder'")
done
mount_slow_storage "$slow_storage"

stalled() { grep -q 'stalled=[1-9]' "$work/mnt/.control"; }
finish() {
  answer_message
  press_exit
  expect_end 5000
}

# Stalls in every phase of one run: the window answers a desktop's "are you alive" ping while
# each stall is still out.
opens_file 200000 "$backing"
rules "read stall=$stall_ms after_opens=1 count=1" "read stall=$stall_ms after_opens=2 count=1" \
  "write stall=$stall_ms after_opens=3 count=1" "fsync stall=$stall_ms after_opens=3 count=1"
# The stalls follow one another at once; each is told by the files opened and the writes made.
stall_of() { sed -n 's/.*\(opens=[0-9]*\).*\(writes=[0-9]*\) stalled=[1-9].*/\1 \2/p' "$work/mnt/.control"; }
new_stall() { now=$(stall_of) && [[ -n $now && $now != "${last:-}" ]]; }
repair_typed "$file"
for phase in "pass 1" "pass 2" "the write" "the flush"; do
  wait_until 30 "no stall in $phase" new_stall || exit 1
  "$here/x11.py" ping "$window" || fail "the window did not answer during the stall in $phase"
  [[ $(stall_of) == "$now" ]] || fail "the window answered only once the stall in $phase was over"
  last=$now
done
finish
[[ $(balance "$backing") -eq 0 && $(stat -c %s "$backing") -eq 800000 ]] || fail "not repaired through the stalls ($(balance "$backing") open)"
echo "storage ($platform): stalls of $stall_ms ms in both passes, the write and the flush, the window answering in each; repaired"

# Exit during a stalled read: the read is abandoned, and the window goes at once, however long
# the storage keeps the process itself.
opens_file 200000 "$backing"
rules "read stall=60000 after_opens=2 count=1"
repair_typed "$file"
wait_until 10 "the storage never stalled" stalled
press_exit
window_gone() { ! xdotool search --onlyvisible --name '^Nestmend$' > /dev/null; }
wait_until 1 "the window stayed 1 s after Exit" window_gone
expect_end 2000
[[ $(stat -c %s "$backing") -eq 200000 ]] || fail "the file changed"
echo "storage ($platform): Exit during a stalled read ended the program in $ended_after_ms ms, the file untouched"

# Exit during a stalled write: the program lives on until the write returns, then the append is
# cut back.
opens_file 3000000 "$backing"
rules "write stall=$stall_ms after_opens=3 skip=2 count=1"
repair_typed "$file"
wait_until 10 "the storage never stalled" stalled
press_exit
while stalled; do
  kill -0 "$program_pid" 2> /dev/null || fail "ended before its write returned"
  sleep 0.01
done
expect_end $((stall_ms + 5000))
[[ $(stat -c %s "$backing") -eq 3000000 ]] || fail "the append was not cut back"
echo "storage ($platform): Exit during a stalled write ended the program once the write returned, the file cut back"

# Another file system's file of the same size, time and inode number, put in the file's place
# while the second read opens it, as a "current" link is switched: the file read is not taken for
# it, and neither is changed.
opens_file 20000 "$backing"
for _ in $(seq 10000); do printf '{}'; done > "$work/other/data.txt"
touch -d '2026-01-01 00:00:00' "$backing" "$work/other/data.txt"
[[ $(stat -c %i "$backing") == $(stat -c %i "$work/other/data.txt") ]] || fail "the inodes differ"
ln -sfn "$work/mnt" "$work/current"
rules "open stall=$stall_ms after_opens=2 count=1"
repair_typed "$work/current/data.txt"
wait_until 10 "the storage never stalled" stalled
ln -sfn "$work/other" "$work/current"
finish
[[ $(tr -cd '}' < "$backing") == "" && $(stat -c %s "$work/other/data.txt") -eq 20000 ]] ||
  fail "a file switched in between the reads was changed"
echo "storage ($platform): a file of another file system switched in between the reads was not taken for the file read"
