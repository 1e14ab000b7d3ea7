"""A repair of a small table with the interpreter's allocator made to fail
from the n-th allocation on (CPython's _testcapi.set_nomemory), for n from
0 on in steps, each in a process of its own: how each run ended, and
whether the table stayed as it was unless the insert had committed.  This
fails allocations everywhere, in duckdb, pandas and numpy too, where the
failure sweep (tests/sweep) fails only the module's own calls.

    python scripts/nomemory-series.py [--last 4000] [--step 7]
"""
import argparse
import collections
import json
import os
import subprocess
import sys
import tempfile
import textwrap

HERE = os.path.dirname(os.path.abspath(__file__))

RUN = """
import contextlib, io, json, shutil, sys
sys.path.insert(0, sys.argv[1])
import _testcapi
from conftest import module_entries, patch_eus, table_rows
template, work, start = sys.argv[2], sys.argv[3], int(sys.argv[4])
shutil.copyfile(template, work)
out = io.StringIO()
ended, entries = "returned", []
with contextlib.redirect_stdout(out):
    _testcapi.set_nomemory(start, 0)
    try:
        patch_eus.patch_eus_gaps(work)
    except BaseException as error:
        _testcapi.remove_mem_hooks()
        ended, entries = type(error).__name__, module_entries(error.__traceback__)
    else:
        _testcapi.remove_mem_hooks()
print(json.dumps({"ended": ended, "entries": entries, "rows": len(table_rows(work))}))
"""


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--last", type=int, default=4000)
    parser.add_argument("--step", type=int, default=7)
    args = parser.parse_args()
    sys.path.insert(0, os.path.join(HERE, "..", "tests"))
    from conftest import make_db, table_rows

    tally = collections.Counter()
    with tempfile.TemporaryDirectory() as tmp:
        template = make_db(os.path.join(tmp, "template.duckdb"), [
            ("A", "2506", 1.0, 0.1), ("A", "2508", 2.0, None), ("B", "2506", 1.0, 0.1),
            ("B", "2508", 2.0, 0.2), ("A", "2511", 1.0, 0.1)])
        original = len(table_rows(template))
        for start in range(0, args.last + 1, args.step):
            proc = subprocess.run(
                [sys.executable, "-c", textwrap.dedent(RUN), os.path.join(HERE, "..", "tests"),
                 template, os.path.join(tmp, "work.duckdb"), str(start)],
                capture_output=True, text=True)
            if proc.returncode != 0:
                outcome = f"the interpreter ended with status {proc.returncode}"
                print(f"start {start}: {outcome}", file=sys.stderr)
            else:
                seen = json.loads([line for line in proc.stdout.splitlines() if line.startswith("{")][-1])
                lines = sorted({line for _, line in seen["entries"]})
                table = "the table as it was" if seen["rows"] == original else "patched"
                outcome = f"{seen['ended']} (lines {lines}), {table}"
            tally[outcome] += 1
    print(f"{sum(tally.values())} runs, set_nomemory(start, 0) for start 0 to {args.last} "
          f"in steps of {args.step}:")
    for outcome, count in tally.most_common():
        print(f"  {count:4} x {outcome}")
    return 1 if any("status" in o for o in tally) else 0


if __name__ == "__main__":
    sys.exit(main())
