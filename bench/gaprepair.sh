#!/usr/bin/env bash
# Gap repair of a whole watchlist after a 5-minute outage, beside the plain backfill of the
# same symbols (one day each), with the real program, the local data server, MariaDB and
# the broker stand-in. Prints the figures in the form of bench/run.sh.
#   bench/gaprepair.sh [symbols=500]
# As root it takes a private network and PID namespace (the demo's fixed ports).
set -euo pipefail
cd "$(dirname "$0")/.."
HERE="$(pwd)"
BUILD_DIR="${BUILD_DIR:-$HERE/build}"
SYMBOLS="${1:-500}"
if [ -z "${BENCH_INNER:-}" ]; then
  export BENCH_INNER=1 BUILD_DIR
  if [ "$(id -u)" -eq 0 ] && unshare -n -p -f --mount-proc true 2>/dev/null; then
    exec unshare -n -p -f --mount-proc "$0" "$@"
  fi
  exec "$0" "$@"
fi
ip link set lo up 2>/dev/null || true

WORK=$(mktemp -d /tmp/vantrel-bench-repair.XXXXXX)
export KOVANTA_ROOT="$WORK/root" XDG_CONFIG_HOME="$WORK/config" VANTREL_DB_DIR="$WORK/db"
export VANTREL_PROBE_HOST="127.0.0.1:49111" VANTREL_NO_BROWSER=1 QT_QPA_PLATFORM=offscreen
export QT_LOGGING_RULES="*.debug=true;qt.*.debug=false"
DEMO_ID="VANTREL-DEMO-0001"
APP=""; DEV=""
cleanup() {
  for p in $APP $DEV; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  ./scripts/mariadb.sh stop >/dev/null 2>&1 || true
  rm -rf "$WORK"
}
trap cleanup EXIT
now() { date +%s%3N; }

./scripts/mariadb.sh start >/dev/null
./scripts/mariadb.sh load-large $((SYMBOLS * 4)) >/dev/null
sql() { mariadb --no-defaults --protocol=TCP -h127.0.0.1 -P49111 -uroot vantrel -N -B -e "$1"; }
sql "UPDATE user_accounts SET SymbolAllowed = $((SYMBOLS * 2)) WHERE MachineID = '$DEMO_ID'"
sql "SELECT Symbol, MIN(Exch) FROM contractv2 GROUP BY Symbol ORDER BY MIN(id) LIMIT $SYMBOLS" > "$WORK/watchlist.tsv"
./scripts/install-root.sh "$KOVANTA_ROOT" "$BUILD_DIR" "$DEMO_ID" >/dev/null

"$BUILD_DIR/tools/devserver/vantrel-devserver" --ws-port 49120 --http-port 49121 --control-port 49122 \
  --rate 500 --batch 50 --log-requests "$WORK/requests.log" > "$WORK/devserver.log" 2>&1 &
DEV=$!
for _ in $(seq 1 100); do grep -q "listening ws" "$WORK/devserver.log" 2>/dev/null && break; sleep 0.1; done

settings() {
  mkdir -p "$XDG_CONFIG_HOME/Vantrel Company"
  {
    echo "[General]"
    echo "firstRun=false"
    echo "selectedSymbolsList=$(cut -f1 "$WORK/watchlist.tsv" | paste -sd, | sed 's/,/, /g')"
    echo "corrExchList=$(cut -f2 "$WORK/watchlist.tsv" | paste -sd, | sed 's/,/, /g')"
    echo "autoBackfillChecked=$1"
    echo "autoFilldays=1"
  } > "$XDG_CONFIG_HOME/Vantrel Company/Vantrel.conf"
}

# timed <line that ends the run>: "<ms from the first request to that line> <requests>".
timed() {
  : > "$WORK/requests.log"
  "$BUILD_DIR/src/Vantrel" > "$WORK/app.log" 2>&1 &
  APP=$!
  local first="" deadline=$(( $(date +%s) + 900 ))
  while [ -z "$first" ] && [ "$(date +%s)" -lt "$deadline" ]; do
    grep -q "send=" "$WORK/requests.log" && first=$(now)
    sleep 0.05
  done
  while ! grep -q "$1" "$WORK/app.log" && [ "$(date +%s)" -lt "$deadline" ]; do sleep 0.05; done
  local end; end=$(now)
  local requests; requests=$(grep -c "send=" "$WORK/requests.log" || true)
  kill -TERM "$APP" 2>/dev/null || true
  wait "$APP" 2>/dev/null || true
  APP=""
  echo "$((end - ${first:-$end})) $requests"
}

# The user's backfill at start-up: one day of every symbol.
settings true
rm -f "$KOVANTA_ROOT/outage_state.txt"
read -r plainMs plainRequests < <(timed "Intraday backfill run complete")

# The same symbols after the program was away for five minutes: the start finds the state.
settings false
echo "lastImport=$(date -u -d '-5 min' +%Y-%m-%dT%H:%M:%S.000Z)" > "$KOVANTA_ROOT/outage_state.txt"
read -r repairMs repairRequests < <(timed "Gap repair run complete")
# A repair stores only the outage's bars; every line of its answers is judged first.
read -r kept judged < <(sed -n 's/.*Gap repair import of .*: kept \([0-9]*\), refused \([0-9]*\).*/\1 \2/p' "$WORK/app.log" \
  | awk '{ k += $1; j += $1 + $2 } END { print k + 0, j + 0 }')

bars=$((SYMBOLS * 375))
awk -v r="$repairMs" -v p="$plainMs" -v rq="$repairRequests" -v pq="$plainRequests" -v n="$SYMBOLS" -v b="$bars" \
    -v k="$kept" -v j="$judged" 'BEGIN {
  printf "gap repair of %d symbols after a 5-min outage until \"Gaps repaired\": %.1f s (baseline: %.1f s plain backfill of the same symbols, ratio %.3g)\n", n, r / 1000, p / 1000, (p > 0 ? r / p : 0)
  printf "gap repair requests sent: %d requests (baseline: %d requests of the plain backfill, ratio %.3g)\n", rq, pq, (pq > 0 ? rq / pq : 0)
  rb = r > 0 ? j * 1000 / r : 0; pb = p > 0 ? b * 1000 / p : 0
  printf "gap repair lines judged: %.0f lines/s (baseline: %.0f bars/s plain backfill, ratio %.3g)\n", rb, pb, (pb > 0 ? rb / pb : 0)
  printf "gap repair bars stored: %d bars (baseline: %d lines judged, ratio %.3g)\n", k, j, (j > 0 ? k / j : 0)
}'
