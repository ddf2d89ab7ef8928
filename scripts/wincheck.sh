#!/usr/bin/env bash
# Compiles every source of the Windows program to an object file with the mingw-w64 cross
# compiler (against Qt's headers and the ActiveQt declarations beside the tests), then
# checks that every Windows function an object imports is provided by a library the build
# links on Windows. So a typo or a wrong signature in Windows-only code, and a Windows
# call whose library CMake does not link, fail here although nothing of it runs here.
#   scripts/wincheck.sh <defines header> [source ...]
# Without sources it checks every file the Windows build compiles: src/main.cpp and
# src/*/*.cpp, less the _posix.cpp files and the broker stand-in (built only off Windows).
# The libraries are read from the target_link_libraries lines of the CMake files under
# src/ (plain names such as user32; Qt targets and variables are not Windows libraries),
# plus those every mingw-w64 program links by default.
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
NM="${WINCHECK_NM:-x86_64-w64-mingw32-nm}"
LIBDIR="${WINCHECK_LIBDIR:-/usr/x86_64-w64-mingw32/lib}"
OUT="${WINCHECK_OUT:-$(dirname "$defines")/objects}"
mkdir -p "$OUT"

QT="${WINCHECK_QT_INCLUDE:-$(qmake -query QT_INSTALL_HEADERS 2>/dev/null || echo /usr/include/x86_64-linux-gnu/qt5)}"
if [ "$#" -eq 0 ]; then
  mapfile -t files < <(ls src/main.cpp src/*/*.cpp | grep -v -E '_posix\.cpp$|/standin/' | sort)
else
  files=("$@")
fi

# OpenSSL's headers without the rest of this system's /usr/include (its C library must not
# mix with mingw's): one folder per place the headers live.
inc="$OUT/include"
mkdir -p "$inc/ssl" "$inc/sslarch"
ln -sfn /usr/include/openssl "$inc/ssl/openssl"
for arch in /usr/include/*-linux-gnu/openssl; do
  [ -d "$arch" ] && ln -sfn "$arch" "$inc/sslarch/openssl" && break
done

flags=(-std=c++17 -c -O0 -Wall -Wextra -Werror -Werror=missing-declarations -Wno-attributes
       -DUNICODE -D_UNICODE -DWIN32 -DQT_CORE_LIB -DQT_GUI_LIB -DQT_WIDGETS_LIB
       -DQT_NETWORK_LIB -DQT_SQL_LIB -DQT_WEBSOCKETS_LIB -DQT_AXCONTAINER_LIB
       -include "$defines" -Isrc -isystem tests/wincheck/include -isystem "$QT"
       -isystem "$inc/ssl" -isystem "$inc/sslarch")
for m in QtCore QtGui QtWidgets QtNetwork QtSql QtWebSockets; do flags+=(-isystem "$QT/$m"); done

export CXX OUT
export WINCHECK_FLAGS="${flags[*]}"
failed=0
rm -f "$OUT"/*.o
printf '%s\n' "${files[@]}" | xargs -P 2 -I{} sh -c '
  obj="$OUT/$(echo "{}" | tr / _).o"
  $CXX $WINCHECK_FLAGS "{}" -o "$obj" 2>&1 || { echo "wincheck: FAILED {}"; exit 1; }' \
  || failed=1
echo "wincheck: ${#files[@]} Windows sources compiled with $CXX"
[ "$failed" -eq 0 ] || exit 1

# Libraries the Windows build links: plain lower-case names on target_link_libraries
# lines, and mingw-w64's defaults.
mapfile -t libs < <( { grep -h -o 'target_link_libraries([^)]*' $(find src -name CMakeLists.txt) \
                         | sed 's/target_link_libraries(//' | tr ' ' '\n' \
                         | grep -E '^[a-z][a-z0-9_]*$' | grep -v -E '^(vantrel|public$|private$|interface$)' ;
                       printf '%s\n' kernel32 user32 advapi32 shell32 msvcrt mingwex moldname mingw32 ; } | sort -u)
provided="$OUT/provided.txt"
: > "$provided"
for lib in "${libs[@]}"; do
  a="$LIBDIR/lib$lib.a"
  if [ ! -f "$a" ]; then
    echo "wincheck: CMake links $lib, but mingw-w64 has no $a" >&2
    failed=1
    continue
  fi
  "$NM" -g --defined-only "$a" 2>/dev/null | awk 'NF >= 3 {print $3}' >> "$provided"
done
# The start-up code and the compiler's own run-time (C++ library, unwinder, threads) come
# with every program.
[ -f "$LIBDIR/crt2.o" ] && "$NM" -g --defined-only "$LIBDIR/crt2.o" | awk 'NF >= 3 {print $3}' >> "$provided"
for rt in libstdc++.a libgcc.a libgcc_eh.a libpthread.a; do
  a="$("$CXX" -print-file-name="$rt")"
  [ -f "$a" ] && "$NM" -g --defined-only "$a" 2>/dev/null | awk 'NF >= 3 {print $3}' >> "$provided"
done
# OpenSSL's functions have the same names on every system: what this system's libcrypto
# exports stands for the Windows DLL, when CMake links OpenSSL::Crypto.
if grep -q 'OpenSSL::Crypto' $(find src -name CMakeLists.txt); then
  for so in /usr/lib/*-linux-gnu/libcrypto.so; do
    [ -f "$so" ] && nm -D --defined-only "$so" | awk 'NF >= 3 {print $3}' | sed 's/@.*//' >> "$provided"
  done
fi
sort -u -o "$provided" "$provided"

# Every C function an object needs (C++ names are Qt's or the C++ library's, linked by
# target), whether it is called through the import table (__imp_X) or directly (X).
missing=0
for obj in "$OUT"/*.o; do
  while read -r sym; do
    [ -z "$sym" ] && continue
    if ! grep -qxF "$sym" "$provided"; then
      echo "wincheck: $(basename "$obj" .o) needs ${sym#__imp_}, which no library linked for Windows provides" >&2
      missing=1
    fi
  done < <("$NM" -u "$obj" | awk '$1 == "U" && $2 !~ /^(__imp__Z|_Z)/ {print $2}')
done
echo "wincheck: imports of ${#files[@]} objects checked against ${#libs[@]} libraries (${libs[*]})"
[ "$missing" -eq 0 ] && [ "$failed" -eq 0 ]
