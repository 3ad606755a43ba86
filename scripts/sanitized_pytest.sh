#!/usr/bin/env bash
# The Python tests of failures and hostile inputs, of the binding and of the
# objects (test_hostile.py, test_binding.py, test_archive.py) against the module
# built with AddressSanitizer and UndefinedBehaviorSanitizer; the sweeps over
# damaged inputs are the fuzz targets'.  Usage: scripts/sanitized_pytest.sh PYTHON [pytest args...]
# PYTHON is an interpreter that has pytest (the test venv's); the module is
# built for it with plain cmake into build/pyasan and imported from there.
# Fails on a failing test and on any sanitizer report, even one that a test
# run survived.
set -euo pipefail
[ $# -ge 1 ] || { echo "usage: $0 PYTHON [pytest args...]" >&2; exit 2; }
python=$(command -v "$1") || { echo "no interpreter $1" >&2; exit 2; }
# Absolute, but not resolved: a venv's interpreter must keep its own path.
case "$python" in /*) ;; *) python="$(pwd)/$python" ;; esac
shift
cd "$(dirname "$0")/.."
root=$(pwd)
build="$root/build/pyasan"
jobs=$(nproc 2>/dev/null || echo 2)
gen=(); command -v ninja >/dev/null && gen=(-G Ninja)

echo "== module under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B "$build" "${gen[@]}" -DCMAKE_BUILD_TYPE=Debug -DVEXLOR_PYTHON=ON -DVEXLOR_CLI=OFF \
  -DVEXLOR_TESTS=OFF -DVEXLOR_SANITIZE=ON -DPython_EXECUTABLE="$python" >/dev/null
cmake --build "$build" -j "$jobs" --target vexlor

# The interpreter is not built with ASan, so the runtime must be loaded
# before anything else.  Python frees little at exit: leaks are not ours.
libasan=$(gcc -print-file-name=libasan.so)
[ -f "$libasan" ] || { echo "libasan not found ($libasan)" >&2; exit 1; }
logs="$build/sanitizer-logs"
rm -rf "$logs" && mkdir -p "$logs"
export LD_PRELOAD="$libasan"
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:log_path=$logs/asan"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$logs/ubsan"
export PYTHONPATH="$build${PYTHONPATH:+:$PYTHONPATH}"

module=$("$python" -c 'import vexlor; print(vexlor.__file__)')
case "$module" in
  "$build"/*) ;;
  *) echo "imported $module instead of the sanitized build" >&2; exit 1 ;;
esac

echo "== failures, hostile inputs, binding and objects against $module"
status=0
# From the test directory, so that no source-tree module shadows the build.
(cd "$root/tests/python" && "$python" -m pytest -q -p no:cacheprovider test_hostile.py test_binding.py \
  test_archive.py "$@") || status=$?
unset LD_PRELOAD
if compgen -G "$logs/*" >/dev/null; then
  echo "== sanitizer reports" >&2
  cat "$logs"/* >&2
  exit 1
fi
exit "$status"
