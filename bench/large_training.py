"""The large training run: a corpus of real text trained straight from its
file (memory-mapped, no list of ids), reporting time, peak RSS and the
engine's bytes per corpus token.

    python bench/large_training.py                   # 1,000 MB and 100 MB
    python bench/large_training.py --sizes 100 --merges 10000

Each size trains in a fresh interpreter so that its peak RSS is its own.
The engine's share is the peak RSS minus the RSS before training minus the
corpus file itself (mapped, and resident at the peak), per corpus byte; a
byte is one token before training. Corpora come from bench/corpus.py; when
the machine holds less distinct text than a size asks for, the text is
repeated and the report says how many passes it took.
"""

from __future__ import annotations

import argparse
import json
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import corpus  # noqa: E402

CHILD = """
import json, sys, time
from brevix import _internal
from brevix.tokenizer import PyBytePairTokenizer

def status_kb(key):
    for line in open("/proc/self/status"):
        if line.startswith(key):
            return int(line.split()[1])

path, merges = sys.argv[1], int(sys.argv[2])
tok = PyBytePairTokenizer()
before = status_kb("VmRSS:")
start = time.perf_counter()
_internal.train_bytes(tok, path, 2**31 - 1, merges)
seconds = time.perf_counter() - start
print(json.dumps({"seconds": seconds, "rss_before_kb": before, "peak_kb": status_kb("VmHWM:"),
                  "merges": len(_internal.get_merges(tok))}))
"""


def run(path: Path, merges: int) -> dict[str, float]:
    done = subprocess.run([sys.executable, "-c", CHILD, str(path), str(merges)],
                          check=True, capture_output=True, text=True)
    result: dict[str, float] = json.loads(done.stdout.splitlines()[-1])
    return result


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=float, nargs="+", default=[1000, 100], help="corpus sizes in MB")
    parser.add_argument("--merges", type=int, default=10_000)
    parser.add_argument("--cache-dir", type=Path, default=Path("/tmp/brevix-bench-corpora"))
    args = parser.parse_args()

    print("| corpus | merges | time (s) | peak RSS (MB) | RSS before (MB) | engine bytes per token "
          "| text passes |")
    print("|---:|---:|---:|---:|---:|---:|---:|")
    for size_mb in args.sizes:
        path, info = corpus.ensure(int(size_mb * corpus.MB), args.cache_dir)
        size = path.stat().st_size
        r = run(path, args.merges)
        engine = (r["peak_kb"] - r["rss_before_kb"]) * 1024 - size
        print(f"| {size / corpus.MB:,.0f} MB | {r['merges']:,} | {r['seconds']:.1f} "
              f"| {r['peak_kb'] / 1024:,.0f} | {r['rss_before_kb'] / 1024:,.0f} "
              f"| {engine / size:.2f} | {info.get('passes', 1)} |", flush=True)


if __name__ == "__main__":
    main()
