#!/usr/bin/env bash
# Runs every benchmark and prints one line per figure, each beside a baseline measured in
# the same run. Benchmarks never fail the test suite; this script only reports.
#   E2E_SECONDS=60 bench/run.sh
set -uo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR="${BUILD_DIR:-$PWD/build}"
./scripts/install-deps.sh
export CCACHE_BASEDIR="$PWD"
cmake -S . -B "$BUILD_DIR" -G Ninja >/dev/null
cmake --build "$BUILD_DIR" -j2 >/dev/null || { echo "bench: build failed"; exit 1; }
export QT_QPA_PLATFORM=offscreen
# Nothing measured here may reach past this machine.
export VANTREL_PROBE_HOST="${VANTREL_PROBE_HOST:-127.0.0.1:9}"
export QT_LOGGING_RULES="*.debug=false"

echo "== recording"
"$BUILD_DIR/bench/bench_recording"
echo "== end to end live feed"
"$BUILD_DIR/bench/bench_e2e_live" "${E2E_SECONDS:-60}" 2000 500 50 2>/dev/null
echo "== end to end live feed, 20,000 ticks/s over 1,000 symbols (outage state off, then on)"
"$BUILD_DIR/bench/bench_e2e_live" "${E2E_SECONDS:-15}" 20000 1000 100 0 0 off 2>/dev/null
"$BUILD_DIR/bench/bench_e2e_live" "${E2E_SECONDS:-15}" 20000 1000 100 0 0 on 2>/dev/null
echo "== end to end live feed, 5,000 ticks/s over 500 symbols, every import 300 ms slower"
"$BUILD_DIR/bench/bench_e2e_live" "${E2E_SECONDS:-60}" 5000 500 50 300 2>/dev/null
echo "== end to end live feed, 5,000 ticks/s over 500 symbols, the charting program stalls ${STALL_SECONDS:-180} s"
"$BUILD_DIR/bench/bench_e2e_live" 30 5000 500 50 0 "${STALL_SECONDS:-180}" 2>/dev/null
if [ -x "$BUILD_DIR/bench/bench_catalogue" ]; then
  echo "== catalogue (200,000 contracts)"
  ./scripts/mariadb.sh start >/dev/null
  ./scripts/mariadb.sh load-large 200000 >/dev/null
  "$BUILD_DIR/bench/bench_catalogue" 2>/dev/null
  ./scripts/mariadb.sh load-demo >/dev/null
fi
echo "== data health (1,000 symbols)"
"$BUILD_DIR/bench/bench_datahealth" 2>/dev/null
echo "== wishlist load (60,000 symbols)"
./scripts/mariadb.sh start >/dev/null
"$BUILD_DIR/bench/bench_wishlist" 2>/dev/null
echo "== backfill download (200 MB archive)"
"$BUILD_DIR/bench/bench_download" 200 2>/dev/null
echo "== backfill import (intraday file, 100 mapping entries)"
"$BUILD_DIR/bench/bench_backfillimport" 50 2>/dev/null
"$BUILD_DIR/bench/bench_backfillimport" 200 2>/dev/null
echo "== gap repair beside the plain backfill (real program, 500 symbols)"
./bench/gaprepair.sh 500 2>/dev/null
