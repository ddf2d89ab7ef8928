#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (address, undefined-behaviour and leak checks) and
# runs each for a while, starting from its seed corpus in fuzz/corpus/<target>/.
#   scripts/fuzz.sh [seconds per target=60] [target ...]
# New interesting inputs stay in build-fuzz/corpus/<target>/ (the repository's seeds are not
# touched). A crash, time-out or leak leaves its input in build-fuzz/findings/<target>/;
# copy it to fuzz/regressions/<target>/ once fixed, so ./test.sh replays it for ever.
set -euo pipefail
cd "$(dirname "$0")/.."
HERE="$PWD"
SECONDS_PER_TARGET="${1:-60}"; shift || true
BUILD="${FUZZ_BUILD_DIR:-$HERE/build-fuzz}"

./scripts/install-deps.sh
need=()
command -v clang++ >/dev/null 2>&1 || need+=(clang)
ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 || need+=(libclang-rt-dev)
if [ ${#need[@]} -gt 0 ]; then
  echo "fuzz: installing ${need[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq && apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi

export CCACHE_BASEDIR="$HERE"
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DVANTREL_FUZZ=ON >/dev/null
cmake --build "$BUILD" -j2 --target fuzz_all

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  mapfile -t targets < <(ls fuzz/corpus)
fi

export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:allocator_may_return_null=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
status=0
for t in "${targets[@]}"; do
  corpus="$BUILD/corpus/$t"; findings="$BUILD/findings/$t"
  mkdir -p "$corpus" "$findings"
  cp -n fuzz/corpus/"$t"/* "$corpus"/ 2>/dev/null || true
  [ -d fuzz/regressions/"$t" ] && cp -n fuzz/regressions/"$t"/* "$corpus"/ 2>/dev/null || true
  log="$BUILD/fuzz-$t.log"
  if "$BUILD/fuzz/fuzz_$t" "$corpus" -max_total_time="$SECONDS_PER_TARGET" -timeout=10 \
        -rss_limit_mb=2048 -max_len=65536 -artifact_prefix="$findings/" -print_final_stats=1 \
        >"$log" 2>&1; then
    runs=$(grep -E '^stat::number_of_executed_units' "$log" | awk '{print $2}')
    cov=$(grep -E 'DONE|pulse|NEW' "$log" | tail -n 1 | grep -oE 'cov: [0-9]+' || true)
    echo "fuzz: $t: ${runs:-?} runs in ${SECONDS_PER_TARGET} s, ${cov:-cov: ?}, no findings"
  else
    status=1
    echo "fuzz: $t: FINDING (see $log):"
    grep -E 'ERROR: |SUMMARY: |Test unit written to' "$log" | head -n 5 | sed 's/^/    /'
  fi
done
exit $status
