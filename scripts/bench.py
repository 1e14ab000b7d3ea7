"""Speed and memory of patch_eus_gaps against two yardsticks, as ratios.

    python scripts/bench.py [--sizes 10k,100k,1M] [--repeat N] [--10m]
                            [--compare SITE]

For each size it generates one score table (firms x 100 months, about 3 % of
the firm-months missing, some of them two in a row, one month with no row at
all, 5 % of the probabilities missing, a few duplicate (firm, period) rows)
and measures, each in a process of its own on a private copy of the table:

- run:    the module's patch_eus_gaps;
- floor:  only the calls every run must make: connect, the MIN and MAX
          queries, the read with fetchdf, DataFrame of the patch rows (the
          rows themselves computed before the clock starts), register, the
          INSERT, unregister, close;
- python: scripts/transcription.py, the same algorithm in plain Python.

The run, the floor (and the other build) take --repeat turns; times are
the best of those turns (the transcription runs once), and run/floor is the
median of the ratios of each turn's run to the same turn's floor, which a
busy spell of the machine moves least.  At 1M rows it also repairs two
copies of the table in two threads of one process, against one repair,
beside the floor's calls made the same way against the floor: runs on
different files overlap as far as the libraries' own calls let them (on
two cores duckdb's scan already takes both, and pandas' frame is built
under the interpreter's lock).  Memory is the peak resident size of
the measuring process.  It prints run/floor and python/run, the growth
from each size to the next, and _next_donem in ns per call beside its
Python transcription, then checks the targets.  The machine may be shared: compare ratios, not seconds.

--10m adds a table of about 10 million rows (a few minutes, and about 2 GiB
per process; the transcription is left out there).  --compare SITE measures
another build of the module too, the folder SITE holding its
velmora/pipeline/patch_eus*.so, in the same rotation as the run and the
floor, so that the two builds are compared side by side.
"""
import argparse
import json
import os
import pickle
import statistics
import resource
import shutil
import subprocess
import sys
import tempfile
import time
import timeit
from pathlib import Path

HERE = Path(__file__).resolve().parent
SIZES = {"10k": 100, "100k": 1_000, "1M": 10_000, "10M": 100_000}  # firms, over 100 months
MONTHS = 100


def periods(count, first=(20, 1)):
    yy, mm = first
    out = []
    for _ in range(count):
        out.append("%02d%02d" % (yy, mm))
        yy, mm = (yy + 1, 1) if mm == 12 else (yy, mm + 1)
    return out


def median(values):
    return statistics.median(list(values))


def build(path, firms, seed=7):
    """The generated table in a new database file; returns its row count."""
    import duckdb
    import numpy as np
    import pandas as pd

    rng = np.random.default_rng(seed)
    months = np.array(periods(MONTHS), dtype=object)
    present = rng.random((firms, MONTHS)) > 0.03
    present[:, MONTHS // 2] = False  # a month without any row
    # Two-month gaps for some firms: never filled.
    starts = rng.integers(1, MONTHS - 3, size=firms // 50 + 1)
    present[np.arange(starts.size), starts] = False
    present[np.arange(starts.size), starts + 1] = False
    f, m = np.nonzero(present)
    names = np.array(["F%06d" % i for i in range(firms)], dtype=object)
    frame = pd.DataFrame({
        "muta": names[f],
        "donem": months[m],
        "eus_skor": np.round(rng.uniform(0, 100, f.size), 2),
        "eus_ihtimal": np.round(rng.random(f.size), 4),
        "no_prob": rng.random(f.size) < 0.05,
    })
    # Duplicate (firm, period) rows with other values.
    extra = frame.sample(n=max(1, f.size // 500), random_state=seed).copy()
    extra["eus_skor"] = np.round(rng.uniform(0, 100, len(extra)), 2)
    frame = pd.concat([frame, extra], ignore_index=True)
    con = duckdb.connect(str(path))
    con.execute("SET threads = 1")  # keep the row order of the frame
    con.register("generated", frame)
    con.execute(
        "CREATE TABLE brz_eus_tahmin AS SELECT muta, donem, eus_skor, "
        "CASE WHEN no_prob THEN NULL ELSE eus_ihtimal END AS eus_ihtimal FROM generated")
    con.close()
    return len(frame)


def child(kind, db, rows_file):
    """One measurement in this process; prints JSON."""
    import contextlib
    import io

    import duckdb
    import pandas as pd

    rows = None
    base = kind[len("pair-"):] if kind.startswith("pair-") else kind
    if base == "floor":
        with open(rows_file, "rb") as f:
            rows = pickle.load(f)
    if base in ("run", "other"):
        from velmora.pipeline.patch_eus import patch_eus_gaps
    elif base == "python":
        sys.path.insert(0, str(HERE))
        from transcription import patch_eus_gaps

    def floor(path):
        con = duckdb.connect(str(path))
        con.execute("SELECT MIN(donem) FROM brz_eus_tahmin").fetchone()
        con.execute("SELECT MAX(donem) FROM brz_eus_tahmin").fetchone()
        con.execute("SELECT muta, donem, eus_skor, eus_ihtimal FROM brz_eus_tahmin").fetchdf()
        patch_df = pd.DataFrame(rows)
        con.register("_patch_df", patch_df)
        con.execute("INSERT INTO brz_eus_tahmin SELECT * FROM _patch_df")
        con.unregister("_patch_df")
        con.close()

    one = floor if base == "floor" else patch_eus_gaps
    start = time.perf_counter()
    with contextlib.redirect_stdout(io.StringIO()) as out:
        if kind.startswith("pair-"):
            # Two threads, each on a file of its own.
            import threading

            pair = [threading.Thread(target=one, args=(f,))
                    for f in (db, Path(db).with_name("second.duckdb"))]
            for t in pair:
                t.start()
            for t in pair:
                t.join()
        else:
            one(db)
    seconds = time.perf_counter() - start
    peak_kib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print(json.dumps({"seconds": seconds, "peak_mib": peak_kib / 1024,
                      "report": out.getvalue().splitlines()[:1]}))


def measure(kind, template, work, rows_file="", site=None):
    """One measurement in a process of its own; `site` comes first on the
    module path (the other build)."""
    shutil.copyfile(template, work)
    if kind.startswith("pair-"):
        shutil.copyfile(template, Path(work).with_name("second.duckdb"))
    env = dict(os.environ)
    if site:
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [site, env.get("PYTHONPATH")]))
    proc = subprocess.run([sys.executable, __file__, "--child", kind, str(work), str(rows_file)],
                          capture_output=True, text=True, check=True, env=env)
    return json.loads([line for line in proc.stdout.splitlines() if line.startswith("{")][-1])


def table_difference(db, template):
    """The rows of `db` that `template` does not have (a multiset)."""
    import duckdb

    con = duckdb.connect(str(db))
    con.execute(f"ATTACH '{template}' AS before (READ_ONLY)")
    rows = con.execute(
        "SELECT * FROM brz_eus_tahmin EXCEPT ALL SELECT * FROM before.brz_eus_tahmin"
    ).fetchall()
    con.close()
    return sorted(rows, key=repr)


def next_donem_timing():
    """ns per call of _next_donem('2512') and of its Python transcription,
    each the best of five timings of the call statement itself."""
    from velmora.pipeline.patch_eus import _next_donem

    sys.path.insert(0, str(HERE))
    import transcription

    def per_call(fn):
        number = 500_000
        best = min(timeit.repeat("f(d)", globals={"f": fn, "d": "2512"}, number=number, repeat=5))
        return best / number * 1e9

    return per_call(_next_donem), per_call(transcription._next_donem)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sizes", default="10k,100k,1M")
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--10m", dest="ten_million", action="store_true",
                        help="add a table of about 10 million rows")
    parser.add_argument("--compare", metavar="SITE",
                        help="a folder holding another build of the module, measured beside")
    parser.add_argument("--child", nargs=3, metavar=("KIND", "DB", "ROWS"))
    args = parser.parse_args()
    if args.child:
        child(*args.child)
        return 0

    sizes = args.sizes.split(",") + (["10M"] if args.ten_million else [])
    compare = str(Path(args.compare).resolve()) if args.compare else None
    results = []
    with tempfile.TemporaryDirectory() as tmp:
        tmp = Path(tmp)
        for size in sizes:
            template, work = tmp / f"{size}.duckdb", tmp / "work.duckdb"
            rows_file = tmp / "rows.pickle"
            count = build(template, SIZES[size])
            measure("run", template, work)
            patches = table_difference(work, template)
            with open(rows_file, "wb") as f:
                pickle.dump([dict(zip(("muta", "donem", "eus_skor", "eus_ihtimal"), r))
                             for r in patches], f)
            if compare:
                measure("other", template, work, site=compare)
                other_same = table_difference(work, template) == patches
            # Runs, floors (and the other build) take turns, so a busy spell
            # of the machine slows them alike; each turn gives one ratio.
            def take_turns(prefix=""):
                floors, runs, others = [], [], []
                for _ in range(args.repeat):
                    floors.append(measure(prefix + "floor", template, work, rows_file))
                    runs.append(measure(prefix + "run", template, work))
                    if compare:
                        others.append(measure(prefix + "other", template, work, site=compare))
                return floors, runs, others

            def ratio(these, those):
                return median(a["seconds"] / b["seconds"] for a, b in zip(these, those))

            floors, runs, others = take_turns()
            # Two files in two threads, each kind against one of its own: the
            # floor's calls show how far the libraries themselves overlap.
            if size == "1M":
                floor_pairs, pairs, other_pairs = take_turns("pair-")
                pair_ratio = ratio(pairs, runs)
                floor_pair_ratio = ratio(floor_pairs, floors)
                other_pair_ratio = ratio(other_pairs, others) if compare else None
            # The transcription takes minutes from 1M rows on; at 10M, hours.
            python = measure("python", template, work) if size != "10M" else None
            same = table_difference(work, template) == patches if python else None
            result = {
                "size": size, "rows": count, "inserted": len(patches), "same": same,
                "run": min(r["seconds"] for r in runs),
                "floor": min(r["seconds"] for r in floors),
                "python": python["seconds"] if python else None,
                "ratio": ratio(runs, floors),
                "run_mib": min(r["peak_mib"] for r in runs),
                "floor_mib": min(r["peak_mib"] for r in floors),
            }
            if size == "1M":
                result.update(pair=min(p["seconds"] for p in pairs), pair_ratio=pair_ratio,
                              floor_pair_ratio=floor_pair_ratio, other_pair_ratio=other_pair_ratio)
            if compare:
                result.update(other=min(r["seconds"] for r in others),
                              other_ratio=ratio(others, floors),
                              other_mib=min(r["peak_mib"] for r in others),
                              other_same=other_same)
            results.append(result)
            print(f"measured {size}: {count:,} rows", file=sys.stderr)

    print(f"{'rows':>10} {'inserted':>8} {'run s':>8} {'floor s':>8} {'python s':>9} "
          f"{'run/floor':>9} {'python/run':>10} {'run MiB':>8} {'floor MiB':>9} "
          f"{'MiB run/floor':>13}  same rows")
    for r in results:
        python = (f"{r['python']:>9.2f}", f"{r['python'] / r['run']:>10.1f}") if r["python"] \
            else (f"{'-':>9}", f"{'-':>10}")
        print(f"{r['rows']:>10,} {r['inserted']:>8,} {r['run']:>8.3f} {r['floor']:>8.3f} "
              f"{python[0]} {r['ratio']:>9.2f} {python[1]} "
              f"{r['run_mib']:>8.0f} {r['floor_mib']:>9.0f} {r['run_mib'] / r['floor_mib']:>13.2f}"
              f"  {({True: 'yes', False: 'NO', None: '-'})[r['same']]}")
    if compare:
        print(f"beside {compare}:")
        print(f"{'rows':>10} {'this s':>8} {'other s':>8} {'floor s':>8} {'this/floor':>10} "
              f"{'other/floor':>11} {'this MiB':>8} {'other MiB':>9} {'floor MiB':>9}  same rows")
        for r in results:
            print(f"{r['rows']:>10,} {r['run']:>8.3f} {r['other']:>8.3f} {r['floor']:>8.3f} "
                  f"{r['ratio']:>10.2f} {r['other_ratio']:>11.2f} "
                  f"{r['run_mib']:>8.0f} {r['other_mib']:>9.0f} {r['floor_mib']:>9.0f}"
                  f"  {'yes' if r['other_same'] else 'NO'}")
    for a, b in zip(results, results[1:]):
        python = f", python {b['python'] / a['python']:.1f}x" if a["python"] and b["python"] else ""
        print(f"growth {a['size']} -> {b['size']} ({b['rows'] / a['rows']:.1f}x rows): "
              f"run {b['run'] / a['run']:.1f}x, floor {b['floor'] / a['floor']:.1f}x{python}")
    for r in results:
        if "pair" in r:
            print(f"two {r['size']} files repaired in two threads: {r['pair']:.3f} s, "
                  f"{r['pair_ratio']:.2f}x one repair (2.00x: one after the other); "
                  f"the floor's calls on two files in two threads: "
                  f"{r['floor_pair_ratio']:.2f}x the floor"
                  + (f"; the other build: {r['other_pair_ratio']:.2f}x its one repair"
                     if r["other_pair_ratio"] is not None else ""))
    module_ns, python_ns = next_donem_timing()
    print(f"_next_donem('2512'): {module_ns:.0f} ns per call, Python transcription "
          f"{python_ns:.0f} ns ({python_ns / module_ns:.1f}x)")

    checks = []
    by_size = {r["size"]: r for r in results}
    if "1M" in by_size:
        big = by_size["1M"]
        checks += [
            ("1M: run within 1.4x the floor's time", big["ratio"] <= 1.4),
            ("1M: run at least 30x faster than Python", big["python"] >= 30 * big["run"]),
            ("1M: peak memory within 1.5x the floor's", big["run_mib"] <= 1.5 * big["floor_mib"]),
            # The module's own work (about a third of a run) holds the
            # interpreter's lock, so it overlaps less than the bare calls.
            ("1M: two files in two threads overlap as the floor's calls do (within +0.35)",
             big["pair_ratio"] <= big["floor_pair_ratio"] + 0.35),
        ]
    if "1M" in by_size and by_size["1M"].get("other_pair_ratio") is not None:
        big = by_size["1M"]
        checks.append(("1M: two files in two threads overlap as with the other build (within +0.15)",
                       big["pair_ratio"] <= big["other_pair_ratio"] + 0.15))
    if "10M" in by_size:
        huge = by_size["10M"]
        checks += [
            ("10M: run within 1.5x the floor's time", huge["ratio"] <= 1.5),
            ("10M: peak memory no higher than the floor's", huge["run_mib"] <= huge["floor_mib"]),
        ]
    if "100k" in by_size and "1M" in by_size:
        checks.append(("100k -> 1M: run grows at most 12x",
                       by_size["1M"]["run"] <= 12 * by_size["100k"]["run"]))
    checks += [
        ("_next_donem at most 150 ns a call", module_ns <= 150),
        ("_next_donem at least 10x faster than Python", python_ns >= 10 * module_ns),
        ("the module and the transcription insert the same rows",
         all(r["same"] is not False for r in results)),
    ]
    for name, ok in checks:
        print(f"{'met' if ok else 'NOT MET':>8}  {name}")
    return 0 if all(ok for _, ok in checks) else 1


if __name__ == "__main__":
    sys.exit(main())
