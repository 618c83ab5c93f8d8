#!/usr/bin/env bash
# Builds, installs and uninstalls Nestmend from its sources as the README's "From the sources"
# says, word for word (its first two sh blocks, "sudo" left out), in a copy of the sources with
# no git, into a DESTDIR: every command succeeds, the installed program runs, and the uninstall
# leaves no file behind.
# usage: source_install_test.sh README.md
set -euo pipefail
readme=$(realpath "$1")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$(dirname "$readme")" && git ls-files -z --cached --others --exclude-standard |
  tar -c --null -T - -f -) | (mkdir "$work/nestmend" && tar -x -C "$work/nestmend")
# The sh blocks after the heading, one file each.
awk '/^(#+ |\*\*)From the sources/ { on = 1 } on && /^```$/ { if (block) n++; block = 0; next }
     on && /^```sh$/ { block = 1; next } block && n < 2 { print > (dir "/block" n + 0) }' \
  dir="$work" "$readme"
export DESTDIR=$work/root
cd "$work/nestmend"
for block in 0 1; do
  [[ -s "$work/block$block" ]] || { echo "FAIL: the README has no block $block to run"; exit 1; }
  sed 's/^sudo //' "$work/block$block" > "$work/run$block"
  bash -e "$work/run$block" > "$work/log$block" 2>&1 || { cat "$work/log$block"; echo "FAIL: block $block"; exit 1; }
  if [[ $block == 0 ]]; then
    [[ $("$DESTDIR/usr/local/bin/nestmend" --version) == "Nestmend 1.00" ]] || { echo "FAIL: the installed program"; exit 1; }
    installed=$(find "$DESTDIR" -type f | wc -l)
  fi
done
left=$(find "$DESTDIR" -type f)
[[ -z "$left" ]] || { echo "FAIL: the uninstall left: $left"; exit 1; }
echo "source install: built, installed $installed files into a DESTDIR, uninstalled them all, as the README says"
