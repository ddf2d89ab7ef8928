#!/usr/bin/env bash
# Installs what is missing, builds, starts the local services (MariaDB, data server) and
# starts Vantrel with the demo account. Without a display it runs under Xvfb and saves a
# screenshot of the screen, whose path it prints.
#   RUN_SECONDS=N  stop everything after N seconds (default: run until Ctrl-C)
set -euo pipefail
cd "$(dirname "$0")"
HERE="$(pwd)"
BUILD_DIR="${BUILD_DIR:-$HERE/build}"
export KOVANTA_ROOT="${KOVANTA_ROOT:-$HOME/Kovanta}"
export VANTREL_DB_DIR="${VANTREL_DB_DIR:-/tmp/vantrel-mariadb}"
DEMO_ID="VANTREL-DEMO-0001"
WS_PORT=49120
# The demo account's backfill paths name 127.0.0.1:49121 (tools/dbseed/demo.sql).
HTTP_PORT=49121
CONTROL_PORT=49122

./scripts/install-deps.sh
export CCACHE_BASEDIR="$HERE" CCACHE_NOHASHDIR=1
cmake -S . -B "$BUILD_DIR" -G Ninja >/dev/null
cmake --build "$BUILD_DIR" -j2

./scripts/mariadb.sh start
./scripts/install-root.sh "$KOVANTA_ROOT" "$BUILD_DIR" "$DEMO_ID"

# The demo account's watchlist, for a settings store that has none yet (a real user's
# store is never touched).
CONF="${XDG_CONFIG_HOME:-$HOME/.config}/Vantrel Company/Vantrel.conf"
if [ ! -f "$CONF" ]; then
  mkdir -p "$(dirname "$CONF")"
  cat > "$CONF" <<'CONF'
[General]
firstRun=false
selectedSymbolsList=BANKNIFTY-I, CRUDEOIL-I, GOLDM-I, SILVERM-I, USDINR-I, INDIAVIX, ICICIBANK, NIFTY-I, BTCUSD, EURUSD, XAGUSD, XAUUSD, XNGUSD, XRPUSD, ETHUSD
corrExchList=FUTURE, MCX, MCX, MCX, CURRENCY, SPOTINDEX, CASH, FUTURE, FOREX, FOREX, FOREX, FOREX, FOREX, FOREX, FOREX
checkbox1=true
autoBackfillChecked=false
autoFilldays=5
CONF
  echo "run.sh: wrote the demo watchlist to $CONF"
fi

PIDS=()
cleanup() {
  for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap cleanup EXIT INT TERM

"$BUILD_DIR/tools/devserver/vantrel-devserver" --ws-port "$WS_PORT" --control-port "$CONTROL_PORT" \
  --http-port "$HTTP_PORT" \
  --rate 40 --batch 8 > /tmp/vantrel-devserver.log 2>&1 &
PIDS+=($!)
for _ in $(seq 1 50); do
  grep -q "listening ws" /tmp/vantrel-devserver.log 2>/dev/null && break
  sleep 0.1
done
echo "run.sh: data server on ws://127.0.0.1:$WS_PORT and http://127.0.0.1:$HTTP_PORT (log /tmp/vantrel-devserver.log)"

# The connectivity monitor probes a local port only; nothing here leaves this machine.
export VANTREL_PROBE_HOST="${VANTREL_PROBE_HOST:-127.0.0.1:49111}"
export VANTREL_NO_BROWSER="${VANTREL_NO_BROWSER:-1}"

if [ -n "${DISPLAY:-}" ]; then
  "$BUILD_DIR/src/Vantrel" &
  PIDS+=($!)
  echo "run.sh: Vantrel started (pid ${PIDS[-1]}), installation root $KOVANTA_ROOT"
  wait "${PIDS[-1]}" || true
else
  SHOT="${SCREENSHOT:-/tmp/vantrel-main-window.png}"
  XVFB_LOG=/tmp/vantrel-xvfb.log
  xvfb-run -a -s "-screen 0 1280x800x24" bash -c '
    "$1/src/Vantrel" > /tmp/vantrel-app.log 2>&1 &
    APP=$!
    sleep 8
    import -window root "$2"
    echo "run.sh: screenshot of the main window saved to $2"
    if [ -n "${RUN_SECONDS:-}" ]; then
      sleep "$RUN_SECONDS"; kill $APP 2>/dev/null || true
    fi
    wait $APP || true
  ' _ "$BUILD_DIR" "$SHOT" 2>"$XVFB_LOG"
fi
