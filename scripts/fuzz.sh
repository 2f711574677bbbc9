#!/usr/bin/env bash
# Fuzzes the storage engine and graph records with libFuzzer.
#
#   scripts/fuzz.sh [SECONDS_PER_TARGET] [TARGET...]
#
# Installs clang, CMake and Ninja when missing, builds the targets of
# tests/fuzz with AddressSanitizer + UndefinedBehaviorSanitizer, and runs
# each target (one at a time) for SECONDS_PER_TARGET (default 600) from its
# checked-in seed corpus and its regression inputs. Targets: prop_codec
# header wal db (all by default). New corpus entries go to
# $ORVI_FUZZ_WORK/corpus/<target>, crashing inputs to
# $ORVI_FUZZ_WORK/artifacts/<target>; a crash is fixed in the core and its
# input kept under tests/fuzz/regressions/<target>, which
# tests/cpp/fuzz_regression_test.cpp replays.
#
# Environment: ORVI_FUZZ_BUILD (build folder, default build/fuzz),
# ORVI_FUZZ_WORK (scratch folder, default build/fuzz-work), JOBS (build
# parallelism, default 2).
# Exit status: 0 when no target found anything, 1 otherwise.
set -euo pipefail
cd "$(dirname "$0")/.."

SECONDS_PER_TARGET=${1:-600}
shift || true
TARGETS=("$@")
[ ${#TARGETS[@]} -gt 0 ] || TARGETS=(prop_codec header wal db)
BUILD=${ORVI_FUZZ_BUILD:-build/fuzz}
WORK=${ORVI_FUZZ_WORK:-build/fuzz-work}
JOBS=${JOBS:-2}

case "$SECONDS_PER_TARGET" in
  ''|*[!0-9]*) echo "fuzz.sh: seconds per target must be a number" >&2; exit 2 ;;
esac

# A clang whose compiler-rt has libFuzzer.
fuzzer_works() {
  command -v clang++ >/dev/null 2>&1 || return 1
  local dir
  dir=$(mktemp -d)
  printf '%s\n' '#include <cstddef>' '#include <cstdint>' \
    'extern "C" int LLVMFuzzerTestOneInput(const uint8_t*, size_t) { return 0; }' \
    > "$dir/probe.cpp"
  clang++ -fsanitize=fuzzer,address,undefined "$dir/probe.cpp" -o "$dir/probe" \
    >/dev/null 2>&1
  local rc=$?
  rm -rf "$dir"
  return $rc
}
need_apt=()
fuzzer_works || need_apt+=(clang)
command -v cmake >/dev/null 2>&1 || need_apt+=(cmake)
command -v ninja >/dev/null 2>&1 || need_apt+=(ninja-build)
if [ "${#need_apt[@]}" -gt 0 ]; then
  . scripts/setup.sh functions
  orvi_apt_install "${need_apt[@]}"
  fuzzer_works || { echo "fuzz.sh: clang cannot build libFuzzer targets" >&2; exit 2; }
fi

echo "== building fuzz targets in $BUILD"
cmake -S tests/fuzz -B "$BUILD" -G Ninja -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build "$BUILD" -j"$JOBS" >/dev/null

max_len() {
  case "$1" in
    header) echo 16384 ;;
    wal) echo 65536 ;;
    *) echo 4096 ;;
  esac
}

declare -A EXECS CRASHES
failed=0
for t in "${TARGETS[@]}"; do
  bin="$BUILD/orvi_fuzz_$t"
  [ -x "$bin" ] || { echo "fuzz.sh: no target '$t'" >&2; exit 2; }
  corpus="$WORK/corpus/$t"
  artifacts="$WORK/artifacts/$t"
  log="$WORK/logs/$t.log"
  mkdir -p "$corpus" "$artifacts" "$(dirname "$log")"
  seeds=("tests/fuzz/corpus/$t")
  [ -d "tests/fuzz/regressions/$t" ] && seeds+=("tests/fuzz/regressions/$t")
  before=$(find "$artifacts" -type f | wc -l)
  echo "== fuzzing $t for ${SECONDS_PER_TARGET}s (log: $log)"
  set +e
  "$bin" "$corpus" "${seeds[@]}" \
    -max_total_time="$SECONDS_PER_TARGET" -max_len="$(max_len "$t")" \
    -timeout=10 -rss_limit_mb=2048 -malloc_limit_mb=512 \
    -print_final_stats=1 -artifact_prefix="$artifacts/" >"$log" 2>&1
  rc=$?
  set -e
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  if [ -z "$execs" ]; then
    # A crash ends the run before the final statistics.
    execs=$(grep -Eo '^#[0-9]+' "$log" | tail -1 | tr -d '#')
  fi
  found=$(( $(find "$artifacts" -type f | wc -l) - before ))
  if [ "$rc" -ne 0 ] && [ "$found" -eq 0 ]; then found=1; fi
  EXECS[$t]=${execs:-0}
  CRASHES[$t]=$found
  if [ "$found" -ne 0 ]; then
    failed=1
    echo "   $t: crash (exit $rc); the end of the log:"
    tail -40 "$log" | sed 's/^/   | /'
  fi
done

echo "== fuzz summary (${SECONDS_PER_TARGET}s per target)"
for t in "${TARGETS[@]}"; do
  printf '%-12s executions: %-10s crashes: %s\n' "$t" "${EXECS[$t]}" "${CRASHES[$t]}"
done
if [ "$failed" -ne 0 ]; then
  echo "crashing inputs are under $WORK/artifacts"
  exit 1
fi
