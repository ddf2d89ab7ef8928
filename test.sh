#!/usr/bin/env bash
# Installs what is missing, builds, starts the services the tests need and runs every
# test through ctest. Tests run in a private network namespace with loopback only (and a
# private PID namespace, so a Vantrel started by ./run.sh is not seen as a second copy).
set -euo pipefail
cd "$(dirname "$0")"
HERE="$(pwd)"
BUILD_DIR="${BUILD_DIR:-$HERE/build}"

./scripts/install-deps.sh
export CCACHE_BASEDIR="$HERE" CCACHE_NOHASHDIR=1
cmake -S . -B "$BUILD_DIR" -G Ninja >/dev/null
cmake --build "$BUILD_DIR" -j2

# The inner part runs inside the namespace: its own MariaDB instance (own data folder),
# then ctest. The instance is stopped whatever the outcome.
inner() {
  set -euo pipefail
  ip link set lo up 2>/dev/null || true
  export VANTREL_DB_DIR="${VANTREL_TEST_DB_DIR:-/tmp/vantrel-mariadb-test}"
  export VANTREL_PROBE_HOST="127.0.0.1:9"
  export VANTREL_NO_BROWSER=1
  trap './scripts/mariadb.sh stop >/dev/null 2>&1 || true' EXIT
  ./scripts/mariadb.sh start
  ctest --test-dir "$BUILD_DIR" --output-on-failure ${CTEST_ARGS:-}
}
export -f inner
export BUILD_DIR

if [ "$(id -u)" -eq 0 ] && unshare -n -p -f --mount-proc true 2>/dev/null; then
  echo "test.sh: running the tests in a private network namespace (loopback only)"
  exec unshare -n -p -f --mount-proc bash -c inner
else
  echo "test.sh: unshare refused here; running the tests in the normal network namespace"
  bash -c inner
fi
