#!/usr/bin/env bash
# Sets up everything on a Debian 12 machine: the Debian packages the build needs,
# the Python environment .venv with the project installed in editable mode, and
# the C++ development build in build/ (tests and benchmarks on).
#
# Safe to re-run: it installs only what is missing and rebuilds incrementally.
# Environment: PYTHON (interpreter for a new .venv, default python3),
#              VELMAR_SKIP_APT=1 (never call apt-get; fail if something is missing).
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"

PYTHON="${PYTHON:-python3}"
VENV="$ROOT/.venv"
BUILD="$ROOT/build"
LOGS="$(mktemp -d "${TMPDIR:-/tmp}/velmar-setup.XXXXXX")"
trap 'rm -rf "$LOGS"' EXIT

say() { printf 'setup: %s\n' "$*"; }
die() {
  printf 'setup: FAILED: %s\n' "$*" >&2
  exit 1
}

# step NAME CMD...: runs CMD with its output in a log, shown only when it fails.
step() {
  local name="$1"
  shift
  local log="$LOGS/$(printf '%s' "$name" | tr -c 'a-zA-Z0-9' '_').log"
  local start=$SECONDS
  if ! "$@" >"$log" 2>&1; then
    printf 'setup: FAILED: %s\n--- last lines of output (%s) ---\n' "$name" "$*" >&2
    tail -n 60 "$log" >&2
    printf -- '---\n' >&2
    cp "$log" "${TMPDIR:-/tmp}/velmar-setup-failed.log" 2>/dev/null &&
      printf 'setup: full log: %s\n' "${TMPDIR:-/tmp}/velmar-setup-failed.log" >&2
    exit 1
  fi
  say "$name ($((SECONDS - start)) s)"
}

# --- Debian packages ----------------------------------------------------------

have_deb() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }
have_cmd() { command -v "$1" >/dev/null 2>&1; }

missing=()
have_cmd g++ || missing+=(g++)
have_cmd cmake || missing+=(cmake)
have_cmd ninja || missing+=(ninja-build)
have_deb libgtest-dev || missing+=(libgtest-dev)
have_deb libbenchmark-dev || missing+=(libbenchmark-dev)
# clang 19 with its libFuzzer runtime for scripts/sanitize.sh's rules fuzzing (Debian's clang 14
# cannot compile the library: no <expected> with libstdc++ 12).
have_cmd clang++-19 || missing+=(clang-19)
have_deb libclang-rt-19-dev || missing+=(libclang-rt-19-dev)
# clang-format for scripts/lint.sh (the style of .clang-format).
have_cmd clang-format-19 || missing+=(clang-format-19)
# Headless Chromium for the test that opens show's game page in a real browser.
have_cmd chromium || missing+=(chromium)
if ! have_cmd "$PYTHON"; then
  [ "$PYTHON" = python3 ] || die "interpreter '$PYTHON' (from PYTHON) not found"
  missing+=(python3 python3-dev python3-venv)
else
  # Debian's python3 needs python3-venv for venvs with pip and python3-dev for the headers.
  "$PYTHON" -c 'import ensurepip, venv' >/dev/null 2>&1 || missing+=(python3-venv)
  "$PYTHON" -c 'import os, sysconfig; raise SystemExit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))' \
    >/dev/null 2>&1 || missing+=(python3-dev)
fi

if [ ${#missing[@]} -gt 0 ]; then
  [ "${VELMAR_SKIP_APT:-0}" != 1 ] || die "missing Debian packages: ${missing[*]} (VELMAR_SKIP_APT=1 forbids installing them)"
  have_cmd apt-get || die "missing packages ${missing[*]} and no apt-get: install them by hand"
  sudo=()
  if [ "$(id -u)" != 0 ]; then
    have_cmd sudo || die "missing Debian packages ${missing[*]}: run as root or install them by hand"
    sudo=(sudo)
  fi
  say "installing Debian packages: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  step "apt-get update" "${sudo[@]}" apt-get update
  step "apt-get install" "${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
fi

# --- Python environment -------------------------------------------------------

if [ -x "$VENV/bin/python" ] && ! "$VENV/bin/python" -c 'import sys' >/dev/null 2>&1; then
  say "$VENV is broken (its interpreter does not start); recreating it"
  rm -rf "$VENV"
fi
if [ ! -x "$VENV/bin/python" ]; then
  "$PYTHON" -c 'import sys; raise SystemExit(sys.version_info < (3, 11))' ||
    die "$PYTHON is $("$PYTHON" --version 2>&1); Python 3.11 or newer is needed"
  step "create $VENV" "$PYTHON" -m venv "$VENV"
fi
PY="$VENV/bin/python"
# The venv's cmake, ninja and pybind11 come first for everything below.
export PATH="$VENV/bin:$PATH"

pip_quiet=(--disable-pip-version-check --no-input --quiet)
step "build tools in .venv" "$PY" -m pip install "${pip_quiet[@]}" \
  "scikit-build-core>=0.10" "pybind11>=2.12" "cmake>=3.24" "ninja>=1.10"
# Without build isolation pip reuses the tools above, and the build folder keeps
# the extension build incremental across runs. The [train] extra brings torch (pinned to 2.13.0, no
# index of its own: PyPI's build; about half a minute on a fresh venv) and matplotlib for train,
# loop, arena and show; the
# [cluster] extra brings Ray (pinned), so that the --cluster tests run here and in CI.
step "pip install -e .[dev,train,cluster] (builds the Python extensions)" "$PY" -m pip install "${pip_quiet[@]}" \
  --no-build-isolation --config-settings=build-dir=build-py/{wheel_tag} -e ".[dev,train,cluster]"

# --- C++ development build ----------------------------------------------------

# A build folder made by another generator or from another source tree cannot be reused.
if [ -f "$BUILD/CMakeCache.txt" ]; then
  if ! grep -qx 'CMAKE_GENERATOR:INTERNAL=Ninja' "$BUILD/CMakeCache.txt" ||
    ! grep -qx "CMAKE_HOME_DIRECTORY:INTERNAL=$ROOT" "$BUILD/CMakeCache.txt"; then
    say "build/ was configured elsewhere or with another generator; starting it afresh"
    rm -rf "$BUILD"
  fi
fi
PYBIND11_DIR="$("$PY" -m pybind11 --cmakedir)"
step "configure build/" cmake -S "$ROOT" -B "$BUILD" -G Ninja \
  -DCMAKE_BUILD_TYPE=Release -DVELMAR_TESTS=ON -DVELMAR_BENCHMARKS=ON -DVELMAR_PYTHON=ON \
  -DPython_EXECUTABLE="$PY" -Dpybind11_DIR="$PYBIND11_DIR"
step "build build/" cmake --build "$BUILD"

say "ready: .venv (python -m velmar_pipeline), build/ (ctest --test-dir build, build/bench/rules_bench)"
