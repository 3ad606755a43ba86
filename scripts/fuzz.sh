#!/usr/bin/env bash
# Bounded fuzzing: builds the libFuzzer targets of fuzz/ with clang under
# AddressSanitizer and UndefinedBehaviorSanitizer in build/fuzz (installing
# clang from the distribution's packages when it is missing), then runs each
# target for FUZZ_SECONDS seconds on a scratch copy of its saved corpus and
# regression inputs.  fuzz/ itself is never written.
#
# Any finding (crash, sanitizer report, leak, timeout, out of memory) makes
# the script exit non-zero after every target has run; the input that caused
# it is kept and its path printed.
#
#   FUZZ_SECONDS  seconds per target (default 60)
#   FUZZ_TARGETS  targets to run, separated by blanks (default: all of fuzz/)
#   FUZZ_WORK     scratch directory (default: a new one under /tmp, removed
#                 at the end unless something was found)
#   FUZZ_CXX      clang++ to use (default: the first one found that links
#                 libFuzzer)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
seconds=${FUZZ_SECONDS:-60}
jobs=$(nproc 2>/dev/null || echo 2)
gen=(); command -v ninja >/dev/null && gen=(-G Ninja)

# A clang++ that can build a libFuzzer program with both sanitizers.
links_libfuzzer() {
  local cxx=$1 dir
  command -v "$cxx" >/dev/null || return 1
  dir=$(mktemp -d)
  printf '%s\n' '#include <cstddef>' '#include <cstdint>' \
    'extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t*, std::size_t) { return 0; }' \
    >"$dir/t.cpp"
  if "$cxx" -fsanitize=fuzzer,address,undefined "$dir/t.cpp" -o "$dir/t" >/dev/null 2>&1; then
    rm -rf "$dir"; return 0
  fi
  rm -rf "$dir"; return 1
}

find_clang() {
  local c
  for c in ${FUZZ_CXX:-} clang++ clang++-{21,20,19,18,17,16}; do
    if links_libfuzzer "$c"; then echo "$c"; return 0; fi
  done
  return 1
}

cxx=$(find_clang || true)
if [ -z "$cxx" ]; then
  # clang before 16 cannot compile the C++23 library headers the core uses;
  # the fuzzer runtime comes in its own package (libclang-rt-N-dev).
  echo "== installing clang with its fuzzer runtime"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq </dev/null
  installed=no
  for v in 21 20 19 18 17 16; do
    if apt-cache policy "clang-$v" "libclang-rt-$v-dev" 2>/dev/null |
         awk '/Candidate:/ { if ($2 == "(none)") bad = 1; n++ } END { exit !(n == 2 && !bad) }'; then
      # llvm-N brings the symbolizer that puts names and lines into reports.
      apt-get install -y -qq "clang-$v" "libclang-rt-$v-dev" "llvm-$v" </dev/null >/dev/null
      installed=yes
      break
    fi
  done
  [ "$installed" = yes ] || { echo "fuzz: no clang 16 or later in the package sources" >&2; exit 1; }
  cxx=$(find_clang) || { echo "fuzz: clang installed but cannot link libFuzzer" >&2; exit 1; }
fi

echo "== building fuzz targets with $cxx"
# A build directory made with another compiler cannot switch; start afresh.
cxx=$(command -v "$cxx")
cache=build/fuzz/CMakeCache.txt
if [ -f "$cache" ] && ! grep -qx "CMAKE_CXX_COMPILER:[A-Z]*=$cxx" "$cache"; then
  rm -rf build/fuzz
fi
cmake -S . -B build/fuzz "${gen[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER="$cxx" \
  -DVEXLOR_FUZZ=ON -DVEXLOR_SANITIZE=ON -DVEXLOR_TESTS=OFF -DVEXLOR_PYTHON=OFF -DVEXLOR_CLI=OFF \
  >/dev/null
if [ -n "${FUZZ_TARGETS:-}" ]; then
  read -r -a targets <<<"$FUZZ_TARGETS"
else
  targets=()
  for src in fuzz/*_fuzz.cpp; do
    t=$(basename "$src" .cpp); targets+=("${t%_fuzz}")
  done
fi
cmake --build build/fuzz -j "$jobs" --target "${targets[@]/%/_fuzz}"

# Reports name functions and lines only with a symbolizer; clang's own first.
major=$("$cxx" -dumpversion | cut -d. -f1)
for s in "llvm-symbolizer-$major" "/usr/lib/llvm-$major/bin/llvm-symbolizer" llvm-symbolizer; do
  if s=$(command -v "$s"); then
    export ASAN_SYMBOLIZER_PATH=${ASAN_SYMBOLIZER_PATH:-$s}
    break
  fi
done

work=${FUZZ_WORK:-$(mktemp -d /tmp/vexlor_fuzz_run.XXXXXX)}
mkdir -p "$work"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1${ASAN_SYMBOLIZER_PATH:+:external_symbolizer_path=$ASAN_SYMBOLIZER_PATH}}

failed=()
summary=()
for t in "${targets[@]}"; do
  echo "== fuzzing $t for ${seconds}s"
  corpus="$work/$t/corpus"
  artifacts="$work/$t/findings"
  rm -rf "$corpus" "$artifacts"
  mkdir -p "$corpus" "$artifacts"
  # The saved inputs are the starting point; new ones stay in the scratch copy.
  [ -d "fuzz/corpus/$t" ] && cp -R "fuzz/corpus/$t/." "$corpus/"
  [ -d "fuzz/regressions/$t" ] && cp -R "fuzz/regressions/$t/." "$corpus/"
  log="$work/$t/log"
  start=$SECONDS
  status=0
  "build/fuzz/fuzz/${t}_fuzz" -max_total_time="$seconds" -print_final_stats=1 -timeout=30 \
    -rss_limit_mb=4096 -artifact_prefix="$artifacts/" "$corpus" >"$log" 2>&1 || status=$?
  elapsed=$((SECONDS - start))
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  last=$(grep -E '^#[0-9]+.*cov: [0-9]+ ft: [0-9]+' "$log" | tail -1 || true)
  cov=$(sed -n 's/.*cov: \([0-9]*\).*/\1/p' <<<"$last")
  ft=$(sed -n 's/.*ft: \([0-9]*\).*/\1/p' <<<"$last")
  size=$(find "$corpus" -type f | wc -l)
  line=$(printf '%-14s %4ss  %9s execs  cov %5s  ft %6s  corpus %5s' \
    "$t" "$elapsed" "${execs:-?}" "${cov:-?}" "${ft:-?}" "$size")
  finding=$(find "$artifacts" -type f | head -1)
  if [ "$status" -ne 0 ] || [ -n "$finding" ]; then
    failed+=("$t")
    line+="  FINDING: ${finding:-none saved (exit $status)}"
    grep -E '^(==[0-9]+==ERROR|SUMMARY|fuzz oracle:)|runtime error:' "$log" | head -5 >&2 || true
    echo "fuzz: $t found a problem; input: ${finding:-?}; log: $log" >&2
  fi
  echo "$line"
  summary+=("$line")
done

echo "== fuzz summary (target, seconds, executions, coverage)"
printf '%s\n' "${summary[@]}"
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz: findings in ${failed[*]}; inputs and logs kept under $work" >&2
  exit 1
fi
[ -n "${FUZZ_WORK:-}" ] || rm -rf "$work"
echo "fuzz: no findings"
