#!/usr/bin/env bash
# The style the code assumes, checked: ruff and mypy on the Python (settings in pyproject.toml),
# clang-format (.clang-format) on the C++. Run by scripts/test.sh; needs scripts/setup.sh first.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
VENV="$ROOT/.venv"

echo "== ruff"
"$VENV/bin/ruff" check pipeline/velmar_pipeline pipeline/tests bench
echo "== mypy"
"$VENV/bin/mypy" pipeline/velmar_pipeline
echo "== clang-format"
FORMATTED=(velmar bench pipeline/rules_module pipeline/wire_module self_play)
mapfile -t sources < <(git ls-files "${FORMATTED[@]}" | grep -E '\.(c|cc|cpp|h|hpp)$')
"$(command -v clang-format-19 || command -v clang-format)" --dry-run -Werror "${sources[@]}"
echo "lint: clean"
