#!/usr/bin/env bash
# Compiles the sources of the Windows program with the mingw-w64 cross compiler in
# syntax-only mode, against Qt's headers and the ActiveQt declarations beside the tests,
# so a typo or a wrong signature in Windows-only code fails here although nothing of it
# can run on this machine.
#   scripts/wincheck.sh <defines header> [source ...]
# Without sources it checks every file the Windows build compiles: src/main.cpp and
# src/*/*.cpp, less the _posix.cpp files and the broker stand-in (built only off Windows).
set -euo pipefail
cd "$(dirname "$0")/.."
defines="$1"; shift

CXX="${WINCHECK_CXX:-}"
if [ -z "$CXX" ]; then
  for c in x86_64-w64-mingw32-g++-posix x86_64-w64-mingw32-g++; do
    if command -v "$c" >/dev/null 2>&1; then CXX="$c"; break; fi
  done
fi
if [ -z "$CXX" ]; then
  echo "wincheck: no mingw-w64 C++ compiler (install g++-mingw-w64-x86-64-posix)" >&2
  exit 1
fi

QT="${WINCHECK_QT_INCLUDE:-$(qmake -query QT_INSTALL_HEADERS 2>/dev/null || echo /usr/include/x86_64-linux-gnu/qt5)}"
if [ "$#" -eq 0 ]; then
  mapfile -t files < <(ls src/main.cpp src/*/*.cpp | grep -v -E '_posix\.cpp$|/standin/' | sort)
else
  files=("$@")
fi

flags=(-std=c++17 -fsyntax-only -Wall -Wextra -Werror -Werror=missing-declarations -Wno-attributes
       -DUNICODE -D_UNICODE -DWIN32 -DQT_CORE_LIB -DQT_GUI_LIB -DQT_WIDGETS_LIB
       -DQT_NETWORK_LIB -DQT_SQL_LIB -DQT_WEBSOCKETS_LIB -DQT_AXCONTAINER_LIB
       -include "$defines" -Isrc -isystem tests/wincheck/include -isystem "$QT")
for m in QtCore QtGui QtWidgets QtNetwork QtSql QtWebSockets; do flags+=(-isystem "$QT/$m"); done

export CXX
export WINCHECK_FLAGS="${flags[*]}"
failed=0
printf '%s\n' "${files[@]}" | xargs -P 2 -I{} sh -c '$CXX $WINCHECK_FLAGS "{}" 2>&1 || { echo "wincheck: FAILED {}"; exit 1; }' \
  || failed=1
echo "wincheck: ${#files[@]} Windows sources checked with $CXX"
exit $failed
