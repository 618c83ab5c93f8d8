#!/usr/bin/env bash
# Installs the Debian package on this machine, repairs files through the installed
# /usr/bin/nestmend's window under Xvfb, and removes the package: nothing of it may remain.
# usage: package_test.sh nestmend_1.00-1_amd64.deb   (as root)
set -euo pipefail
deb=$(realpath "$1")
# The description reaches the package as written, quotes included.
if ! dpkg-deb -f "$deb" Description | grep -q 'appends exactly the missing "}" lines'; then
  echo "FAIL: the package's description reads:"
  dpkg-deb -f "$deb" Description
  exit 1
fi
if [[ $(id -u) -ne 0 ]]; then
  echo "SKIP: installing a package needs root"
  exit 77
fi
if dpkg-query -W -f='${Status}' nestmend 2> /dev/null | grep -q installed; then
  echo "SKIP: nestmend is installed already; this test would remove it"
  exit 77
fi
export DEBIAN_FRONTEND=noninteractive
# Its dependencies first, then the package itself.
mapfile -t needed < <(dpkg-deb -f "$deb" Depends | tr ',' '\n' | sed 's/(.*//; s/|.*//; s/ //g')
apt-get install -y -qq --no-install-recommends "${needed[@]}" > /dev/null
dpkg -i "$deb" > /dev/null
files=$(dpkg -L nestmend)
trap 'dpkg -r nestmend > /dev/null 2>&1 || true' EXIT
[[ -x /usr/bin/nestmend ]] || { echo "FAIL: /usr/bin/nestmend was not installed"; exit 1; }
DESKTOP_ENTRY=/usr/share/applications/org.nestmend.Nestmend.desktop \
  "$(dirname "$0")/end_to_end_test.sh" linux /usr/bin/nestmend
dpkg -r nestmend > /dev/null
trap - EXIT
left=()
while IFS= read -r path; do
  [[ -e "$path" && ! -d "$path" ]] && left+=("$path")
  [[ -d "$path" && "$path" == */nestmend ]] && left+=("$path")
done <<< "$files"
if [[ ${#left[@]} -gt 0 || -n $(dpkg-query -W -f='${Status}' nestmend 2> /dev/null | grep -v not-installed || true) ]]; then
  echo "FAIL: the removed package left behind: ${left[*]}"
  exit 1
fi
echo "package: installed, repaired files through /usr/bin/nestmend, removed without a trace"
