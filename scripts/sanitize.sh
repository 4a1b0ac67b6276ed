#!/usr/bin/env bash
# The sanitizer step of CI (after scripts/test.sh):
#
#  1. build-sanitize/: the rules library, engine, the three Python modules, the C++ tests and the
#     rules fuzz driver, built by g++ with AddressSanitizer + UndefinedBehaviorSanitizer
#     (VELMAR_SANITIZE); runs ctest there;
#  2. runs the module's Python tests (self_play/tests, the exchange fuzz test included), those
#     of the rules module (pipeline/tests/rules/test_rules.py) and those of the native exchange
#     endpoints and the engine's native path to them (pipeline/tests/selfplay/test_native_wire.py,
#     pipeline/tests/selfplay/test_native_exchange.py) in an
#     interpreter started with the sanitizer runtimes preloaded, importing the sanitized
#     modules from build-sanitize/ (checked), every interpreter allocation going through
#     malloc (PYTHONMALLOC=malloc) so that AddressSanitizer sees Python objects too, and leak
#     detection on, with the interpreter's own leaks suppressed by scripts/lsan.supp;
#  3. fuzzes the rules library for a bounded time: build-fuzz/ holds the libFuzzer target
#     (clang 16 or newer: older ones lack <expected> with libstdc++ 12); without such a
#     clang, the g++ driver of the same target plays a batch of random inputs instead.
#
# Environment: VELMAR_FUZZ_CASES (exchange fuzz cases, default 100), VELMAR_FUZZ_SEED,
#              VELMAR_RULES_FUZZ_SECONDS (libFuzzer time, default 30), VELMAR_FUZZ_CXX
#              (the clang++ to fuzz with). Extra arguments go to pytest.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"

BUILD="$ROOT/build-sanitize"
FUZZ_BUILD="$ROOT/build-fuzz"
PY="$ROOT/.venv/bin/python"
START=$SECONDS

say() { printf 'sanitize: %s\n' "$*"; }
die() {
  printf 'sanitize: FAILED: %s\n' "$*" >&2
  exit 1
}
elapsed() { say "$1 done ($((SECONDS - START)) s so far)"; }

if ! [ -x "$PY" ] || ! "$PY" -c 'import pytest, pybind11' >/dev/null 2>&1; then
  "$ROOT/scripts/setup.sh"
fi
export PATH="$ROOT/.venv/bin:$PATH"
command -v g++ >/dev/null || die "g++ is missing (scripts/setup.sh installs it)"

# configure DIR CXX ARGS...: a build folder configured with another compiler or other options
# (noted in a stamp file) starts afresh.
configure() {
  local dir="$1" cxx="$2"
  shift 2
  local stamp="$dir/.velmar-configuration"
  local want
  want="$(command -v "$cxx") Ninja $*"
  if [ -d "$dir" ] && { ! [ -f "$stamp" ] || [ "$(cat "$stamp")" != "$want" ]; }; then
    say "$dir was configured otherwise; starting it afresh"
    rm -rf "$dir"
  fi
  cmake -S "$ROOT" -B "$dir" -G Ninja -DCMAKE_CXX_COMPILER="$(command -v "$cxx")" "$@" >/dev/null
  printf '%s' "$want" >"$stamp"
}

# --- 1. g++ build with the sanitizers, C++ tests ---------------------------------------------

say "configure and build $BUILD (g++, ASan + UBSan)"
# -O1 -g1: about half the compile time of -O2 -g (the GoogleTest files dominate), reports
# still carry file and line, and the tests run nearly as fast.
configure "$BUILD" g++ -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1" \
  -DVELMAR_SANITIZE=ON -DVELMAR_FUZZ=ON \
  -DVELMAR_TESTS=ON -DVELMAR_BENCHMARKS=OFF -DVELMAR_PYTHON=ON \
  -DPython_EXECUTABLE="$PY" -Dpybind11_DIR="$("$PY" -m pybind11 --cmakedir)"
cmake --build "$BUILD"
elapsed "build"

export ASAN_OPTIONS="detect_leaks=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
export LSAN_OPTIONS="suppressions=$ROOT/scripts/lsan.supp:print_suppressions=0"

say "C++ tests (ctest)"
ctest --test-dir "$BUILD" --output-on-failure
elapsed "ctest"

# --- 2. the Python tests of the module, sanitized ---------------------------------------------

asan_rt="$(g++ -print-file-name=libasan.so)"
ubsan_rt="$(g++ -print-file-name=libubsan.so)"
[ -f "$asan_rt" ] && [ -f "$ubsan_rt" ] || die "g++ has no sanitizer runtimes ($asan_rt, $ubsan_rt)"

say "Python tests of velmar_self_play, velmar_rules and velmar_wire (sanitized modules, runtimes preloaded)"
# The editable install puts a finder for velmar_self_play and velmar_rules ahead of sys.path,
# so PYTHONPATH alone would still import the installed modules: the script drops that finder
# and puts the sanitized build's module folders first.
LD_PRELOAD="$asan_rt:$ubsan_rt" PYTHONMALLOC=malloc VELMAR_SANITIZED_BUILD="$BUILD" \
  VELMAR_FUZZ_CASES="${VELMAR_FUZZ_CASES:-100}" \
  "$PY" - -q self_play/tests pipeline/tests/rules/test_rules.py pipeline/tests/selfplay/test_native_wire.py \
  pipeline/tests/selfplay/test_native_exchange.py "$@" <<'EOF'
import os
import sys

build = os.environ["VELMAR_SANITIZED_BUILD"]
sys.meta_path[:] = [finder for finder in sys.meta_path if type(finder).__name__ != "ScikitBuildRedirectingFinder"]
sys.path[:0] = [os.path.join(build, "self_play"), os.path.join(build, "pipeline", "rules_module"),
                os.path.join(build, "pipeline", "wire_module")]

import velmar_rules  # noqa: E402
import velmar_self_play  # noqa: E402
import velmar_wire  # noqa: E402

for module in (velmar_self_play, velmar_rules, velmar_wire):
    assert os.path.realpath(module.__file__).startswith(os.path.realpath(build) + os.sep), module.__file__
    print(f"sanitized {module.__name__}: {module.__file__}")

import pytest  # noqa: E402

sys.exit(pytest.main(sys.argv[1:]))
EOF
elapsed "Python tests"

# --- 3. fuzzing the rules library ----------------------------------------------------------------

# A clang++ that compiles C++23 <expected> with this libstdc++ and links libFuzzer.
fuzz_clang() {
  local probe c
  probe="$(mktemp -d "${TMPDIR:-/tmp}/velmar-fuzz-probe.XXXXXX")"
  for c in ${VELMAR_FUZZ_CXX:-} clang++-19 clang++-18 clang++-17 clang++-16 clang++; do
    command -v "$c" >/dev/null 2>&1 || continue
    if printf '%s\n' '#include <expected>' 'static std::expected<int, int> f() { return 0; }' \
      'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return *f(); }' |
      "$c" -std=c++23 -fsanitize=fuzzer,address,undefined -x c++ - -o "$probe/probe" >/dev/null 2>&1; then
      rm -rf "$probe"
      echo "$c"
      return 0
    fi
  done
  rm -rf "$probe"
  return 1
}

seconds="${VELMAR_RULES_FUZZ_SECONDS:-30}"
if clang="$(fuzz_clang)"; then
  say "rules fuzz target with libFuzzer ($clang, ${seconds} s)"
  configure "$FUZZ_BUILD" "$clang" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMAR_SANITIZE=ON -DVELMAR_FUZZ=ON \
    -DVELMAR_TESTS=OFF -DVELMAR_BENCHMARKS=OFF -DVELMAR_PYTHON=OFF
  cmake --build "$FUZZ_BUILD" --target rules_fuzz
  corpus="$FUZZ_BUILD/corpus"
  mkdir -p "$corpus"
  # Long random inputs from the start, so that whole games are played, not only openings.
  if [ -z "$(ls -A "$corpus")" ]; then
    for k in 1 2 3 4; do head -c 1024 /dev/urandom >"$corpus/random-$k"; done
  fi
  log="$FUZZ_BUILD/rules_fuzz.log"
  status=0
  "$FUZZ_BUILD/velmar/fuzz/rules_fuzz" -max_total_time="$seconds" -len_control=0 -max_len=2048 \
    -print_final_stats=1 -artifact_prefix="$FUZZ_BUILD/" "$corpus" >"$log" 2>&1 || status=$?
  if [ "$status" -ne 0 ]; then
    tail -n 80 "$log" >&2
    die "rules_fuzz found a failing input (saved under $FUZZ_BUILD/, log $log)"
  fi
  grep -E '^INFO: Seed:|^Done |^stat::(number_of_executed_units|average_exec_per_sec)' "$log" || true
else
  seed="${VELMAR_FUZZ_SEED:-$RANDOM}"
  say "no clang++ (16 or newer, with libFuzzer) found: the g++ driver plays random inputs (seed $seed)"
  "$BUILD/velmar/fuzz/rules_fuzz" --runs 300 --seed "$seed"
fi
elapsed "rules fuzzing"

say "all passed in $((SECONDS - START)) s"
