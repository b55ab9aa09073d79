#!/usr/bin/env bash
# Bounded fuzz runs of every harness: bash fuzz/run.sh [SECONDS per harness]
# Installs atheris into the current interpreter's environment if missing.
set -euo pipefail
cd "$(dirname "$0")"
seconds=${1:-60}
# The boundary harness writes files; they go to a scratch directory here
# (ignored by git), removed however the run ends. Crash reproducers are
# written to fuzz/ itself (also ignored), where they stay.
export BREVIX_FUZZ_WORKDIR="$PWD/scratch"
rm -rf "$BREVIX_FUZZ_WORKDIR"
trap 'rm -rf "$BREVIX_FUZZ_WORKDIR"' EXIT
python -c "import atheris" 2>/dev/null || python -m pip install -q atheris
for harness in fuzz_boundary.py fuzz_core.py fuzz_rank.py; do
  echo "== $harness for ${seconds}s"
  python "$harness" -max_total_time="$seconds" -rss_limit_mb=4096 \
      -artifact_prefix="$PWD/" -print_final_stats=1 2>&1 |
    grep -E 'Done [0-9]+ runs|stat::number_of_executed_units|ERROR|Traceback|Error' || true
  test "${PIPESTATUS[0]}" -eq 0
done
