"""Repairs of one database file from several threads, or under several
spellings of its path, or from two processes, started together: how many
rows each trial inserted, how many (firm, period) pairs ended up twice, and
whether the file still reads whole.  Each trial runs in a fresh interpreter
on a fresh table of 2,000 firms over 100 months.

    python scripts/same-file-trials.py [--trials 10] [--firms 2000] [CASE ...]
"""
import argparse
import json
import os
import re
import subprocess
import sys
import tempfile
import textwrap

TESTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests")

# Each case: the spelling of the path per thread (or per process), and the
# files behind them.
CASES = {
    "2 threads": (["db.duckdb"] * 2, "threads"),
    "4 threads": (["db.duckdb"] * 4, "threads"),
    "8 threads": (["db.duckdb"] * 8, "threads"),
    "./ beside the plain path": (["{dir}/db.duckdb", "{dir}/./db.duckdb"], "threads"),
    "symlink": (["{dir}/db.duckdb", "{dir}/link.duckdb"], "threads"),
    "hard link": (["{dir}/db.duckdb", "{dir}/hard.duckdb"], "threads"),
    "relative and absolute": (["db.duckdb", "{dir}/db.duckdb"], "threads"),
    "2 processes": (["db.duckdb"] * 2, "processes"),
    "2 threads, 2 files": (["db.duckdb", "other.duckdb"], "threads"),
}

TRIAL = """
import io, json, os, subprocess, sys, threading, time
sys.path.insert(0, sys.argv[1])
import duckdb
from conftest import GAPPY_TABLE, make_db, patch_eus

folder, spellings, how, firms = sys.argv[2], json.loads(sys.argv[3]), sys.argv[4], int(sys.argv[5])
os.chdir(folder)
files = sorted({os.path.basename(s) for s in spellings} - {"link.duckdb", "hard.duckdb"})
for name in files:
    make_db(name, select=GAPPY_TABLE.format(firms=firms))
os.symlink("db.duckdb", "link.duckdb")
os.link("db.duckdb", "hard.duckdb")
con = duckdb.connect("db.duckdb")
before = con.execute("SELECT count(*) FROM brz_eus_tahmin").fetchone()[0]
con.close()


class ByThread(io.TextIOBase):
    # Standard output kept apart for each thread.

    def __init__(self):
        self.texts = {}

    def write(self, text):
        self.texts.setdefault(threading.get_ident(), []).append(text)
        return len(text)


def repair(path, start):
    start.wait()
    try:
        patch_eus.patch_eus_gaps(path)
    except Exception as error:
        return "%s: %s" % (type(error).__name__, str(error).splitlines()[0])
    return "".join(sys.stdout.texts[threading.get_ident()]).splitlines()[0]


# A repair in a process of its own, from the moment given on.
ALONE = '''
import sys, time
sys.path.insert(0, sys.argv[1])
from conftest import patch_eus
time.sleep(max(0.0, float(sys.argv[3]) - time.time()))
try:
    patch_eus.patch_eus_gaps(sys.argv[2])
except Exception as error:
    print("%s: %s" % (type(error).__name__, str(error).splitlines()[0]))
'''


real_stdout, sys.stdout = sys.stdout, ByThread()
started = time.perf_counter()
if how == "threads":
    start, said = threading.Barrier(len(spellings)), []
    workers = [threading.Thread(target=lambda p=p: said.append(repair(p, start))) for p in spellings]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    sys.stdout = real_stdout
else:
    sys.stdout = real_stdout
    at = time.time() + 2.0
    workers = [subprocess.Popen([sys.executable, "-c", ALONE, sys.argv[1], p, str(at)],
                                stdout=subprocess.PIPE, text=True) for p in spellings]
    said = [w.communicate()[0].splitlines()[0] for w in workers]
elapsed = time.perf_counter() - started
held = {}
for name in files:
    try:
        con = duckdb.connect(name)
        total, twice = con.execute(
            "SELECT count(*), count(*) - count(DISTINCT (muta, donem)) FROM brz_eus_tahmin"
        ).fetchone()
        con.execute("SELECT sum(eus_skor), max(muta) FROM brz_eus_tahmin").fetchone()
        con.close()
        held[name] = {"inserted": total - before, "twice": twice}
    except Exception as error:
        held[name] = {"unreadable": "%s: %s" % (type(error).__name__, error)}
print(json.dumps({"said": said, "held": held, "seconds": elapsed}))
"""


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--trials", type=int, default=10)
    parser.add_argument("--firms", type=int, default=2000)
    parser.add_argument("cases", nargs="*", default=list(CASES))
    args = parser.parse_args()
    import duckdb

    print("duckdb %s, Python %s, %d trials per case, %d firms"
          % (duckdb.__version__, sys.version.split()[0], args.trials, args.firms))
    for case in args.cases:
        spellings, how = CASES[case]
        tally, seconds = {}, []
        for _ in range(args.trials):
            with tempfile.TemporaryDirectory() as folder:
                spelt = [s.format(dir=folder) for s in spellings]
                proc = subprocess.run(
                    [sys.executable, "-c", textwrap.dedent(TRIAL), TESTS, folder,
                     json.dumps(spelt), how, str(args.firms)],
                    capture_output=True, text=True)
                if proc.returncode != 0:
                    outcome = "interpreter ended with status %d" % proc.returncode
                else:
                    seen = json.loads([line for line in proc.stdout.splitlines() if line.startswith("{")][-1])
                    seconds.append(seen["seconds"])
                    said = sorted(seen["said"])
                    outcome = "%s -> %s" % (
                        "; ".join(s.replace("  patch_eus_gaps: ", "") for s in said),
                        ", ".join("%s %s" % (name, " ".join("%s=%s" % kv for kv in held.items()))
                                  for name, held in sorted(seen["held"].items())))
                outcome = re.sub(r"\(PID \d+\)", "(PID n)", outcome.replace(folder, "<dir>"))
            tally[outcome] = tally.get(outcome, 0) + 1
        print("%s (%s s a trial):" % (case, "%.2f" % (sum(seconds) / len(seconds)) if seconds else "-"))
        for outcome, count in sorted(tally.items(), key=lambda kv: -kv[1]):
            print("  %2d x %s" % (count, outcome))


if __name__ == "__main__":
    main()
