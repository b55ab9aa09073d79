#!/usr/bin/env bash
# Bounded fuzz runs of both harnesses: bash fuzz/run.sh [SECONDS per harness]
# Installs atheris into the current interpreter's environment if missing.
set -euo pipefail
cd "$(dirname "$0")"
seconds=${1:-60}
python -c "import atheris" 2>/dev/null || python -m pip install -q atheris
for harness in fuzz_boundary.py fuzz_core.py; do
  echo "== $harness for ${seconds}s"
  python "$harness" -max_total_time="$seconds" -rss_limit_mb=4096 -print_final_stats=1 2>&1 |
    grep -E 'Done [0-9]+ runs|stat::number_of_executed_units|ERROR|Traceback|Error' || true
  test "${PIPESTATUS[0]}" -eq 0
done
