#!/usr/bin/env bash
# Builds the file-replacement core and its test with mingw-w64 and runs the test under
# Wine against a running executable that holds its own file open (tests/wincheck/wine).
# Passes only when every case ends with a whole installation.
#   scripts/wine-filereplace.sh <work folder>
set -euo pipefail
cd "$(dirname "$0")/.."
work="$(mkdir -p "$1" && cd "$1" && pwd)"

CXX="${WINCHECK_CXX:-x86_64-w64-mingw32-g++-posix}"
WINE="${WINE64:-/usr/lib/wine/wine64}"
WINESERVER="${WINESERVER:-/usr/lib/wine/wineserver}"
for tool in "$CXX" "$WINE" "$WINESERVER"; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "wine-filereplace: $tool missing (scripts/install-deps.sh installs it)" >&2
    exit 1
  fi
done

flags=(-std=c++17 -O1 -Wall -Wextra -Werror -municode -static -Isrc)
"$CXX" "${flags[@]}" tests/wincheck/wine/holder.cpp -o "$work/holder.exe"
"$CXX" "${flags[@]}" tests/wincheck/wine/replacetest.cpp src/platform/filereplace_core.cpp src/platform/installjournal_core.cpp -o "$work/replacetest.exe"

export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
unset DISPLAY
# Wine sees this machine's / as drive Z:.
winpath() { printf 'Z:%s' "${1//\//\\}"; }
rm -rf "$work/cases"
mkdir -p "$work/cases"
stop_wine() { "$WINESERVER" -k >/dev/null 2>&1 || true; }
trap stop_wine EXIT
rc=0
"$WINE" "$work/replacetest.exe" "$(winpath "$work/holder.exe")" "$(winpath "$work/cases")" || rc=$?
exit $rc
