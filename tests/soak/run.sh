#!/usr/bin/env bash
# Soak run of the real Vantrel binary under faults (not part of ./test.sh):
#   tests/soak/run.sh [minutes]      (default 10, at most 15)
#
# Vantrel runs under a private Xvfb with a watchlist of 500 symbols and the broker
# stand-in, fed by vantrel-devserver at 5,000 ticks/s (a market that keeps trading while
# Vantrel is away). The link is dropped once a minute; at 15 % of the run reconnects are
# refused for 2 minutes, at 45 % the link goes silent (mute), at 75 % Vantrel is killed
# (SIGKILL) and started again a minute later; the private MariaDB is restarted once (at
# 30 % of the run) and the whole watchlist is backfilled 45 s after the start (the
# "Backfill" button, clicked with xdotool, before any repair can hold the button; repairs
# queue after it). A run too short for the backfill or the repair after the restart to
# finish is extended by up to 3 minutes, never past 15. At the end
# the program must still run and answer a close request (SIGTERM, the session's close)
# with exit code 0. vantrel-soak then compares what the data server sent with what the
# quote store holds and prints the figures; the exit code is its verdict.
#
# Environment: SOAK_RATE (5000), SOAK_SYMBOLS (500), SOAK_KEEP=1 keeps the work folder,
# BUILD_DIR (build). As root the run takes a private network and PID namespace, like
# ./test.sh, so the fixed demo ports never meet a running ./run.sh.
set -euo pipefail
cd "$(dirname "$0")/../.."
HERE="$(pwd)"
BUILD_DIR="${BUILD_DIR:-$HERE/build}"
MINUTES="${1:-10}"
RATE="${SOAK_RATE:-5000}"
SYMBOLS="${SOAK_SYMBOLS:-500}"
if ! [[ "$MINUTES" =~ ^[0-9]+$ ]] || [ "$MINUTES" -lt 2 ] || [ "$MINUTES" -gt 15 ]; then
  echo "usage: $0 [minutes 2-15]" >&2
  exit 2
fi

if [ -z "${SOAK_INNER:-}" ]; then
  ./scripts/install-deps.sh
  export CCACHE_BASEDIR="$HERE"
  cmake -S . -B "$BUILD_DIR" -G Ninja >/dev/null
  cmake --build "$BUILD_DIR" -j2 --target Vantrel vantrel-devserver vantrel-soak vantrel_formats
  export SOAK_INNER=1 BUILD_DIR SOAK_RATE="$RATE" SOAK_SYMBOLS="$SYMBOLS"
  if [ "$(id -u)" -eq 0 ] && unshare -n -p -f --mount-proc true 2>/dev/null; then
    echo "soak: running in a private network namespace (loopback only)"
    exec unshare -n -p -f --mount-proc "$0" "$@"
  fi
  exec "$0" "$@"
fi
ip link set lo up 2>/dev/null || true

WORK=$(mktemp -d /tmp/vantrel-soak.XXXXXX)
EVENTS="$WORK/events.log"
APPLOG="$WORK/vantrel.log"
SENT="$WORK/sent.log"
export KOVANTA_ROOT="$WORK/root"
export XDG_CONFIG_HOME="$WORK/config"
export VANTREL_DB_DIR="$WORK/db"
export VANTREL_PROBE_HOST="127.0.0.1:49111"
export VANTREL_NO_BROWSER=1
export VANTREL_STALL_WATCH=1
DEMO_ID="VANTREL-DEMO-0001"

now() { date +%s%3N; }
event() { echo "$(now) $*" >> "$EVENTS"; }
say() { echo "soak: $*"; }

APP=""; DEV=""; XVFB=""
cleanup() {
  for p in $APP $DEV $XVFB; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  ./scripts/mariadb.sh stop >/dev/null 2>&1 || true
  if [ "${SOAK_KEEP:-0}" = 1 ]; then say "work folder kept: $WORK"; else rm -rf "$WORK"; fi
}
trap cleanup EXIT

# Database with a catalogue large enough for the watchlist and an account allowed it.
./scripts/mariadb.sh start >/dev/null
./scripts/mariadb.sh load-large $((SYMBOLS * 4)) >/dev/null
sql() { mariadb --no-defaults --protocol=TCP -h127.0.0.1 -P49111 -uroot vantrel -N -B -e "$1"; }
sql "UPDATE user_accounts SET SymbolAllowed = $((SYMBOLS * 2)) WHERE MachineID = '$DEMO_ID'"
# One row per symbol name: the same name in two segments would be one quote series.
sql "SELECT Symbol, MIN(Exch) FROM contractv2 GROUP BY Symbol ORDER BY MIN(id) LIMIT $SYMBOLS" > "$WORK/watchlist.tsv"
[ "$(wc -l < "$WORK/watchlist.tsv")" -eq "$SYMBOLS" ] || { say "catalogue has fewer than $SYMBOLS symbols"; exit 2; }
cut -f1 "$WORK/watchlist.tsv" > "$WORK/watchlist.txt"
./scripts/install-root.sh "$KOVANTA_ROOT" "$BUILD_DIR" "$DEMO_ID" >/dev/null
mkdir -p "$XDG_CONFIG_HOME/Vantrel Company"
{
  echo "[General]"
  echo "firstRun=false"
  echo "selectedSymbolsList=$(cut -f1 "$WORK/watchlist.tsv" | paste -sd, | sed 's/,/, /g')"
  echo "corrExchList=$(cut -f2 "$WORK/watchlist.tsv" | paste -sd, | sed 's/,/, /g')"
  echo "checkbox1=true"
  echo "autoBackfillChecked=false"
  echo "autoFilldays=1"
} > "$XDG_CONFIG_HOME/Vantrel Company/Vantrel.conf"

"$BUILD_DIR/tools/devserver/vantrel-devserver" --ws-port 49120 --http-port 49121 --control-port 49122 \
  --rate "$RATE" --batch 50 --linger-ms 20 --log-sent "$SENT" --log-requests "$WORK/requests.log" --market \
  > "$WORK/devserver.log" 2>&1 &
DEV=$!
for _ in $(seq 1 100); do grep -q "listening ws" "$WORK/devserver.log" 2>/dev/null && break; sleep 0.1; done
grep -q "listening ws" "$WORK/devserver.log" || { say "the data server did not start"; cat "$WORK/devserver.log"; exit 2; }
control() {
  local reply
  exec 3<>/dev/tcp/127.0.0.1/49122
  echo "$1" >&3
  read -r -t 10 reply <&3 || reply="(no reply)"
  exec 3>&-
  echo "$reply"
}

exec 4> "$WORK/xvfb.display"
Xvfb -displayfd 4 -screen 0 1280x800x24 -nolisten tcp > "$WORK/xvfb.log" 2>&1 &
XVFB=$!
for _ in $(seq 1 50); do [ -s "$WORK/xvfb.display" ] && break; sleep 0.1; done
export DISPLAY=":$(tr -dc '0-9' < "$WORK/xvfb.display")"

"$BUILD_DIR/src/Vantrel" >> "$APPLOG" 2>&1 &
APP=$!
event start "$APP"
say "Vantrel pid $APP on display $DISPLAY, $SYMBOLS symbols at $RATE ticks/s for $MINUTES minutes (work folder $WORK)"
WIN=$(timeout 60 xdotool search --sync --onlyvisible --name "Vantrel 7\\.10" | head -1) || true
[ -n "$WIN" ] || { say "the main window did not appear"; tail -20 "$APPLOG"; exit 1; }

rss() { awk '/^VmRSS:/ { print $2 }' "/proc/$APP/status" 2>/dev/null || echo 0; }
event rss "$(rss)"

TOTAL=$((MINUTES * 60))
DB_AT=$((TOTAL * 3 / 10))
BACKFILL_AT=45
REFUSE_AT=$((TOTAL * 15 / 100)); REFUSE_S=120
MUTE_AT=$((TOTAL * 45 / 100))
KILL_AT=$((TOTAL * 75 / 100)); DOWN_S=60
refuse_done=0; mute_done=0; kill_done=0; repaired_after_restart=1; repairs_at_restart=0
START_S=$(date +%s)
next_minute=60
db_done=0; backfill_clicked=0; backfill_done=0
# A backfill still running at the end may finish first, within the 15-minute limit.
LIMIT=$(( TOTAL + 180 < 900 ? TOTAL + 180 : 900 ))
while :; do
  t=$(( $(date +%s) - START_S ))
  if [ "$t" -ge "$TOTAL" ]; then
    if [ "$repaired_after_restart" = 0 ] \
       && [ "$(grep -c "Gap repair run complete" "$APPLOG")" -gt "$repairs_at_restart" ]; then
      repaired_after_restart=1
      event repaired-after-restart
    fi
    { [ "$backfill_done" = 1 ] && [ "$repaired_after_restart" = 1 ]; } || [ "$t" -ge "$LIMIT" ] && break
    [ "$t" -eq "$TOTAL" ] && say "+${t}s waiting for the backfill and the repair after the restart (until +${LIMIT}s)"
  fi
  kill -0 "$APP" 2>/dev/null || { say "Vantrel ended after $t s"; break; }
  # The faults of an outage: each is a window of its own for the analysis.
  if [ "$refuse_done" = 0 ] && [ "$t" -ge "$REFUSE_AT" ]; then
    refuse_done=1
    control "refuse $REFUSE_S" > /dev/null
    reply=$(control drop)
    [[ "$reply" =~ ^ok\ ([0-9]+)$ ]] && echo "${BASH_REMATCH[1]} outage refuse" >> "$EVENTS"
    say "+${t}s link dropped and reconnects refused for ${REFUSE_S} s"
    next_minute=$((t + REFUSE_S + 60))
  fi
  if [ "$mute_done" = 0 ] && [ "$t" -ge "$MUTE_AT" ]; then
    mute_done=1
    event outage mute
    say "+${t}s link muted: $(control mute)"
    next_minute=$((t + 60))
  fi
  if [ "$kill_done" = 0 ] && [ "$t" -ge "$KILL_AT" ]; then
    kill_done=1
    event outage kill
    kill -KILL "$APP" 2>/dev/null || true
    wait "$APP" 2>/dev/null || true
    say "+${t}s Vantrel killed; down for ${DOWN_S} s"
    sleep "$DOWN_S"
    repairs_at_restart=$(grep -c "Gap repair run complete" "$APPLOG" || true)
    repaired_after_restart=0
    # Offscreen: under Xvfb the restarted program hung in XOpenDisplay (seen in two runs,
    # the X server answering no connection setup after the kill); it needs no clicks.
    QT_QPA_PLATFORM=offscreen "$BUILD_DIR/src/Vantrel" >> "$APPLOG" 2>&1 &
    APP=$!
    event restart "$APP"
    say "+$(( $(date +%s) - START_S ))s Vantrel started again (pid $APP)"
    next_minute=$(( $(date +%s) - START_S + 60 ))
    continue
  fi
  if [ "$t" -ge "$next_minute" ] && [ "$t" -lt "$TOTAL" ]; then
    event rss "$(rss)"
    reply=$(control drop)
    # "ok <ms>": the moment the data server had dropped the link.
    [[ "$reply" =~ ^ok\ ([0-9]+)$ ]] && echo "${BASH_REMATCH[1]} drop" >> "$EVENTS"
    say "+${t}s link dropped ($reply), rss $(( $(rss) / 1024 )) MB"
    next_minute=$((next_minute + 60))
  fi
  if [ "$db_done" = 0 ] && [ "$t" -ge "$DB_AT" ]; then
    db_done=1
    event db-stop
    ./scripts/mariadb.sh stop >/dev/null
    sleep 5
    ./scripts/mariadb.sh start >/dev/null
    event db-up
    say "+${t}s MariaDB restarted"
  fi
  if [ "$backfill_clicked" = 0 ] && [ "$t" -ge "$BACKFILL_AT" ]; then
    backfill_clicked=1
    event backfill-click
    # The "Backfill" button: 392,51 inside the main window.
    xdotool mousemove --window "$WIN" 392 51 click 1
    say "+${t}s backfill of the whole watchlist started"
  fi
  if [ "$backfill_clicked" = 1 ] && [ "$backfill_done" = 0 ] && grep -q "Intraday backfill run complete" "$APPLOG"; then
    backfill_done=1
    event backfill-done
    say "+${t}s backfill done"
  fi
  sleep 1
done

if kill -0 "$APP" 2>/dev/null; then
  event alive 1
  event rss "$(rss)"
else
  event alive 0
fi
# The feed pauses first, so every tick sent has had time to reach the store when the
# close is asked for; a tick sent after it would be the run's own loss, not the program's.
say "feed paused: $(control pause)"
sleep 3
event close-sent
kill -TERM "$APP" 2>/dev/null || true
code=none
for _ in $(seq 1 600); do
  if ! kill -0 "$APP" 2>/dev/null; then
    code=0; wait "$APP" || code=$?
    break
  fi
  sleep 0.1
done
event exit "$code"
APP=""
say "close answered with exit code $code"
control quit > /dev/null || true
wait "$DEV" 2>/dev/null || true
DEV=""

"$BUILD_DIR/tests/soak/vantrel-soak" analyze --sent "$SENT" --db "$KOVANTA_ROOT/Amibroker/RTDataDatabase" \
  --events "$EVENTS" --app-log "$APPLOG" --watchlist "$WORK/watchlist.txt" \
  --requests "$WORK/requests.log" --backfill-bars 1
