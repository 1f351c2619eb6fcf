#!/usr/bin/env bash
# How large the tests are next to the code they test: source lines (.cpp .h .c) under tests/ against those under
# src/, sim/ and tools/, blank lines included, as `wc -l` counts them.
set -euo pipefail
cd "$(dirname "$0")/.."
count() { find "$@" -type f \( -name '*.cpp' -o -name '*.h' -o -name '*.c' \) -print0 | xargs -0 cat | wc -l; }
tests=$(count tests)
code=$(count src sim tools)
echo "tests ${tests} lines, product+sim+tools ${code} lines: $((100 * tests / code)) %"
