#!/usr/bin/env bash
# The whole test suite on a fresh machine: installs what is missing, builds the
# C++ tests twice (plain, and under AddressSanitizer + UndefinedBehaviorSanitizer),
# runs them with ctest (the fuzz targets' saved inputs included), fuzzes every
# target for a bounded time (scripts/fuzz.sh), then installs the module into a
# virtual environment and runs pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=$(nproc 2>/dev/null || echo 2)
gen=(); command -v ninja >/dev/null && gen=(-G Ninja)

need_apt=()
command -v cmake >/dev/null || need_apt+=(cmake)
command -v g++ >/dev/null || need_apt+=(g++)
[ -f /usr/include/gtest/gtest.h ] || need_apt+=(libgtest-dev)
# Compressed input; the build works without them, the tests want all four.
[ -f /usr/include/zlib.h ] || need_apt+=(zlib1g-dev)
[ -f /usr/include/zstd.h ] || need_apt+=(libzstd-dev)
[ -f /usr/include/lzma.h ] || need_apt+=(liblzma-dev)
[ -f /usr/include/bzlib.h ] || need_apt+=(libbz2-dev)
command -v tshark >/dev/null || need_apt+=(tshark)
command -v editcap >/dev/null || need_apt+=(wireshark-common)
command -v tcpdump >/dev/null || need_apt+=(tcpdump)
command -v clang-format >/dev/null || need_apt+=(clang-format)
python3 -c 'import venv, ensurepip' 2>/dev/null || need_apt+=(python3-venv)
if [ ${#need_apt[@]} -gt 0 ]; then
  echo "== installing ${need_apt[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${need_apt[@]}" >/dev/null
fi

echo "== formatting (clang-format, the root .clang-format)"
scripts/check_format.sh

echo "== C++ tests"
cmake -S . -B build/cpp "${gen[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEXLOR_TESTS=ON -DVEXLOR_PYTHON=OFF >/dev/null
cmake --build build/cpp -j "$jobs"
ctest --test-dir build/cpp --output-on-failure

echo "== C++ tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build/asan "${gen[@]}" -DCMAKE_BUILD_TYPE=Debug -DVEXLOR_TESTS=ON -DVEXLOR_PYTHON=OFF \
  -DVEXLOR_SANITIZE=ON >/dev/null
cmake --build build/asan -j "$jobs"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir build/asan --output-on-failure

unset ASAN_OPTIONS UBSAN_OPTIONS

# Bounded libFuzzer runs of every fuzz target (FUZZ_SECONDS each), with clang.
echo "== fuzzing"
"$root/scripts/fuzz.sh"

echo "== Python tests"
venv="$root/build/venv"
[ -x "$venv/bin/python" ] || python3 -m venv "$venv"
"$venv/bin/python" -m pip install -q --upgrade pip
"$venv/bin/python" -m pip install -q pytest dpkt mypy pyarrow numpy "dask[distributed]" tqdm
"$venv/bin/python" -m pip install -q "$root"
# Run from outside the source tree so the installed module is the one imported.
cd "$root/tests/python"
"$venv/bin/python" -m pytest -q -p no:cacheprovider "$root/tests/python"

echo "== hostile-input sweep against a module built with the sanitizers"
cd "$root"
"$root/scripts/sanitized_pytest.sh" "$venv/bin/python"

echo "== all tests passed"
