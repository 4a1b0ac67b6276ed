#!/usr/bin/env bash
# Runs every test: sets up what is missing (scripts/setup.sh), checks the style (scripts/lint.sh),
# then the C++ tests through ctest and the Python tests through pytest. Extra arguments go to pytest.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"

"$ROOT/scripts/setup.sh"
export PATH="$ROOT/.venv/bin:$PATH"

"$ROOT/scripts/lint.sh"

echo "== C++ tests (ctest)"
ctest --test-dir "$ROOT/build" --output-on-failure

echo "== Python tests (pytest)"
dirs=()
for d in self_play/tests pipeline/tests; do
  [ -d "$d" ] && dirs+=("$d")
done
if [ ${#dirs[@]} -eq 0 ]; then
  echo "no Python test folders"
  exit 0
fi
status=0
"$ROOT/.venv/bin/python" -m pytest -q "${dirs[@]}" "$@" || status=$?
# pytest exits 5 when it collected nothing: not a failure here.
if [ "$status" -eq 5 ]; then
  echo "pytest collected no tests"
  status=0
fi
exit "$status"
