#!/usr/bin/env bash
# The private MariaDB instance the program, its tests and run.sh talk to: 127.0.0.1:49111,
# its own data folder, never the system service.
#
#   scripts/mariadb.sh start            start (or keep running), make sure the account, the
#                                       schema and the seed data are there, print the status
#   scripts/mariadb.sh stop             stop it and wait until the process is gone
#   scripts/mariadb.sh status           one line; exit 0 running, 1 not answering, 3 stopped
#   scripts/mariadb.sh load-demo        restore the demo catalogue (schema + demo.sql)
#   scripts/mariadb.sh load-large [N]   demo data plus generated contracts, N rows in all
#                                       (default 200000)
#
# Environment: VANTREL_DB_DIR (default /tmp/vantrel-mariadb) holds data, socket, pid file
# and log. The database, user and password are the build defaults (CMake VANTREL_DB_*).
set -euo pipefail

PORT=49111
HOST=127.0.0.1
DB_NAME=vantrel
DB_USER=vantrel_app
DB_PASSWORD=vantrel-local-7
START_TIMEOUT=30
STOP_TIMEOUT=60

SCRIPT_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
SEED_DIR=$(cd "$SCRIPT_DIR/../tools/dbseed" && pwd)
BASE=${VANTREL_DB_DIR:-/tmp/vantrel-mariadb}
DATA=$BASE/data
SOCK=$BASE/mysqld.sock
PIDFILE=$BASE/mysqld.pid
ERRLOG=$BASE/mysqld.err
# Which seed is loaded and from which versions of the seed files; lets "start" keep a
# large catalogue across restarts while still noticing edited seed files.
SEEDSTATE=$BASE/seed.state

say() { echo "mariadb.sh: $*"; }
die() { echo "mariadb.sh: error: $*" >&2; exit 1; }

need() {
  command -v "$1" >/dev/null 2>&1 || die "$1 not found (install mariadb-server and mariadb-client: scripts/install-deps.sh)"
}

# Client as the instance's root over TCP; root has no password on this private instance.
admin_sql() { mariadb --no-defaults --protocol=TCP -h"$HOST" -P"$PORT" -uroot "$@"; }
answers() { mariadb-admin --no-defaults --protocol=TCP -h"$HOST" -P"$PORT" -uroot --connect-timeout=2 status >/dev/null 2>&1; }

# PID of our server: the pid file when it names a live mariadbd on our data folder,
# otherwise a search of /proc for one (a pid file can be lost when a start is cut short).
server_pid() {
  local pid cmd p
  if [ -r "$PIDFILE" ]; then
    pid=$(tr -dc '0-9' < "$PIDFILE")
    if [ -n "$pid" ] && [ -r "/proc/$pid/cmdline" ]; then
      cmd=$( { tr '\0' ' ' < "/proc/$pid/cmdline"; } 2>/dev/null || true)
      if [[ "$cmd" == *mariadbd* && "$cmd" == *"--datadir=$DATA "* ]]; then
        echo "$pid"; return 0
      fi
    fi
  fi
  for p in /proc/[0-9]*; do
    # Processes come and go during the scan; a vanished one is simply skipped.
    cmd=$( { tr '\0' ' ' < "$p/cmdline"; } 2>/dev/null || true)
    if [[ "$cmd" == *mariadbd* && "$cmd" == *"--datadir=$DATA "* ]]; then
      echo "${p#/proc/}"; return 0
    fi
  done
  return 1
}

port_taken() { (exec 3<>"/dev/tcp/$HOST/$PORT") 2>/dev/null; }

seed_hash() { cat "$SEED_DIR/schema.sql" "$SEED_DIR/demo.sql" | sha256sum | cut -d' ' -f1; }

user_flag() {
  if [ "$(id -u)" -eq 0 ]; then echo "--user=root"; else echo "--user=$(id -un)"; fi
}

init_datadir() {
  mkdir -p "$BASE"
  if [ -d "$DATA/mysql" ]; then return 0; fi
  rm -rf "$DATA" "$SEEDSTATE"
  mkdir -p "$DATA"
  if ! mariadb-install-db --no-defaults "$(user_flag)" --datadir="$DATA" \
      --auth-root-authentication-method=normal --skip-test-db >"$BASE/install-db.log" 2>&1; then
    tail -n 20 "$BASE/install-db.log" >&2
    die "mariadb-install-db failed (log: $BASE/install-db.log)"
  fi
  say "initialised data folder $DATA"
}

launch() {
  rm -f "$PIDFILE" "$SOCK"
  # setsid: the server must outlive this script and the shell that ran it.
  setsid mariadbd --no-defaults "$(user_flag)" --datadir="$DATA" \
    --bind-address="$HOST" --port="$PORT" --socket="$SOCK" --pid-file="$PIDFILE" \
    --log-error="$ERRLOG" --skip-name-resolve --local-infile=1 --skip-log-bin \
    --character-set-server=utf8mb4 --collation-server=utf8mb4_general_ci \
    </dev/null >/dev/null 2>&1 &
  local child=$! waited=0 pid
  while ! answers; do
    if ! kill -0 "$child" 2>/dev/null && ! server_pid >/dev/null; then
      tail -n 20 "$ERRLOG" >&2 || true
      die "mariadbd exited during start-up (log: $ERRLOG)"
    fi
    if [ "$waited" -ge $((START_TIMEOUT * 10)) ]; then
      tail -n 20 "$ERRLOG" >&2 || true
      die "mariadbd did not answer on $HOST:$PORT within ${START_TIMEOUT}s (log: $ERRLOG)"
    fi
    sleep 0.1
    waited=$((waited + 1))
  done
  pid=$(server_pid) || die "mariadbd answers but its process was not found"
  say "started mariadbd (pid $pid) on $HOST:$PORT, data folder $DATA"
}

ensure_account() {
  admin_sql <<SQL
CREATE DATABASE IF NOT EXISTS \`$DB_NAME\` CHARACTER SET utf8mb4 COLLATE utf8mb4_general_ci;
CREATE USER IF NOT EXISTS '$DB_USER'@'127.0.0.1' IDENTIFIED BY '$DB_PASSWORD';
CREATE USER IF NOT EXISTS '$DB_USER'@'localhost' IDENTIFIED BY '$DB_PASSWORD';
ALTER USER '$DB_USER'@'127.0.0.1' IDENTIFIED BY '$DB_PASSWORD';
ALTER USER '$DB_USER'@'localhost' IDENTIFIED BY '$DB_PASSWORD';
GRANT SELECT ON \`$DB_NAME\`.* TO '$DB_USER'@'127.0.0.1';
GRANT SELECT ON \`$DB_NAME\`.* TO '$DB_USER'@'localhost';
SQL
  say "database $DB_NAME and read-only user $DB_USER@127.0.0.1 / @localhost ready"
}

load_demo() {
  admin_sql "$DB_NAME" < "$SEED_DIR/schema.sql" || die "loading schema.sql failed"
  admin_sql "$DB_NAME" < "$SEED_DIR/demo.sql" || die "loading demo.sql failed"
  echo "demo $(seed_hash)" > "$SEEDSTATE"
  say "loaded schema.sql and demo.sql ($(catalogue_rows) catalogue rows)"
}

catalogue_rows() { admin_sql -N -B "$DB_NAME" -e "SELECT COUNT(*) FROM contractv2" 2>/dev/null || echo "?"; }

# True when the tables exist with the demo account and were loaded from the current seed files.
seed_current() {
  [ -r "$SEEDSTATE" ] || return 1
  local kind hash rest
  read -r kind hash rest < "$SEEDSTATE" || return 1
  [ "$hash" = "$(seed_hash)" ] || return 1
  local n
  n=$(admin_sql -N -B "$DB_NAME" -e "SELECT COUNT(*) FROM user_accounts WHERE MachineID='VANTREL-DEMO-0001'" 2>/dev/null) || return 1
  [ "$n" = "1" ] || return 1
  admin_sql -N -B "$DB_NAME" -e "SELECT 1 FROM versionautoupdator_zip_2026, vantrel_settings, contractv2, broadcastmsg LIMIT 0" >/dev/null 2>&1
}

require_running() {
  server_pid >/dev/null && answers || die "not running on $HOST:$PORT; start it with scripts/mariadb.sh start"
}

cmd_start() {
  need mariadbd; need mariadb-install-db; need mariadb; need mariadb-admin
  local pid
  if pid=$(server_pid); then
    say "already running (pid $pid)"
    local waited=0
    while ! answers; do
      [ "$waited" -lt $((START_TIMEOUT * 10)) ] || die "pid $pid does not answer on $HOST:$PORT (log: $ERRLOG)"
      sleep 0.1; waited=$((waited + 1))
    done
  else
    if port_taken; then
      die "$HOST:$PORT is taken by another process (not the instance in $BASE)"
    fi
    init_datadir
    launch
  fi
  ensure_account
  if seed_current; then
    say "seed data already loaded ($(cut -d' ' -f1 "$SEEDSTATE"), $(catalogue_rows) catalogue rows)"
  else
    load_demo
  fi
  cmd_status
}

cmd_stop() {
  local pid waited=0
  if ! pid=$(server_pid); then
    say "not running (nothing to stop)"
    return 0
  fi
  kill -TERM "$pid"
  while kill -0 "$pid" 2>/dev/null; do
    if [ "$waited" -ge $((STOP_TIMEOUT * 10)) ]; then
      say "pid $pid still there after ${STOP_TIMEOUT}s, sending KILL"
      kill -KILL "$pid" 2>/dev/null || true
      sleep 0.5
      break
    fi
    sleep 0.1
    waited=$((waited + 1))
  done
  if kill -0 "$pid" 2>/dev/null; then die "pid $pid could not be stopped"; fi
  rm -f "$PIDFILE" "$SOCK"
  say "stopped mariadbd (pid $pid)"
}

cmd_status() {
  local pid
  if ! pid=$(server_pid); then
    say "stopped (data folder $BASE)"
    return 3
  fi
  if ! answers; then
    say "pid $pid exists but does not answer on $HOST:$PORT (log: $ERRLOG)"
    return 1
  fi
  local seed="none"
  [ -r "$SEEDSTATE" ] && seed=$(cut -d' ' -f1 "$SEEDSTATE")
  say "running (pid $pid) on $HOST:$PORT, data folder $DATA, seed $seed, $(catalogue_rows) catalogue rows"
}

cmd_load_demo() {
  require_running
  load_demo
}

cmd_load_large() {
  local total=${1:-200000}
  [[ "$total" =~ ^[0-9]+$ ]] || die "load-large: row count must be a number, got '$total'"
  require_running
  load_demo
  local have extra started rows
  # Globals: the EXIT trap runs after this function has returned.
  demo_tsv=$(mktemp "$BASE/demo-catalogue.XXXXXX")
  gen_tsv=$(mktemp "$BASE/large-catalogue.XXXXXX")
  trap 'rm -f "$demo_tsv" "$gen_tsv"' EXIT
  admin_sql -N -B "$DB_NAME" -e "SELECT Symbol, Exch FROM contractv2" > "$demo_tsv"
  have=$(wc -l < "$demo_tsv")
  extra=$((total > have ? total - have : 0))
  "$SEED_DIR/gen-catalogue.sh" "$extra" "$gen_tsv" "$demo_tsv"
  # In symbol order the Symbol index grows at its end instead of splitting pages all over.
  LC_ALL=C sort -t "$(printf '\t')" -k1,1 -o "$gen_tsv" "$gen_tsv"
  say "generated $extra contracts (demo rows excluded)"
  started=$(date +%s%N)
  admin_sql --local-infile=1 "$DB_NAME" -e "LOAD DATA LOCAL INFILE '$gen_tsv' IGNORE INTO TABLE contractv2
      CHARACTER SET utf8mb4 FIELDS TERMINATED BY '\\t' LINES TERMINATED BY '\\n' (Symbol, Exch)" \
    || die "LOAD DATA failed"
  rows=$(catalogue_rows)
  echo "large $(seed_hash) $rows" > "$SEEDSTATE"
  say "loaded large catalogue: $rows rows ($have demo + $extra generated) in $(( ($(date +%s%N) - started) / 1000000 )) ms"
}

case "${1:-}" in
  start) cmd_start ;;
  stop) cmd_stop ;;
  status) cmd_status ;;
  load-demo) cmd_load_demo ;;
  load-large) shift; cmd_load_large "${1:-}" ;;
  *) echo "usage: $0 start|stop|status|load-demo|load-large [N]" >&2; exit 2 ;;
esac
