#!/usr/bin/env bash
# Lays out an installation root the way the installer does on a user's machine: the
# import format definitions, the seed database files and, for the demo, the user ID.
# Usage: scripts/install-root.sh <root> <build dir> [user id]
set -euo pipefail
ROOT="$1"
BUILD="$2"
USER_ID="${3:-}"
HERE="$(cd "$(dirname "$0")/.." && pwd)"

mkdir -p "$ROOT/dbfiles" "$ROOT/sqldrivers"
for f in dataFormatRT.dll dataFormat.dll dataFormatEod.dll; do
  src="$BUILD/formats/$f"
  [ -f "$src" ] || src="$HERE/tools/formats/$f"
  cp -f "$src" "$ROOT/$f"
done
cp -f "$HERE"/tools/dbfiles/broker.* "$ROOT/dbfiles/"
if [ -n "$USER_ID" ]; then
  printf '%s\n' "$USER_ID" > "$ROOT/userid.txt"
fi
echo "install-root: laid out $ROOT"
