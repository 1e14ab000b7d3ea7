"""Runs both functions over their successful and failing paths many times and
shows that reference counts and memory stay flat.

    python scripts/leakcheck.py [--quick]

For each path it prints the growth, per 1000 calls, of the GC-tracked
objects and of the memory that Python's allocator holds (tracemalloc), the
smallest of three consecutive windows, and the change in the reference
counts of the objects passed in; exits 1 if any of them grows.
"""
import contextlib
import gc
import os
import shutil
import sys
import tempfile
import tracemalloc
from pathlib import Path

import duckdb

import velmora.pipeline.patch_eus as patch_eus
from velmora.pipeline.patch_eus import _next_donem, patch_eus_gaps

QUICK = "--quick" in sys.argv


def expect(exc, fn, *args, **kwargs):
    try:
        fn(*args, **kwargs)
    except exc:
        return
    raise AssertionError(f"{fn} did not raise {exc}")


class Text(str):
    pass


def make_db(path, rows, schema="muta VARCHAR, donem VARCHAR, eus_skor DOUBLE, eus_ihtimal DOUBLE"):
    con = duckdb.connect(str(path))
    con.execute(f"CREATE TABLE brz_eus_tahmin({schema})")
    for row in rows:
        con.execute("INSERT INTO brz_eus_tahmin VALUES (?, ?, ?, ?)", list(row))
    con.close()
    return path


def main():
    tmp = Path(tempfile.mkdtemp())
    gaps = [("A", "2506", 1.0, 0.1), ("A", "2508", 2.0, None), ("B", "2506", 1.0, 0.1),
            ("B", "2508", 2.0, 0.2), ("A", "2511", 1.0, 0.1), ("A", "2601", 2.0, 0.2)]
    template = make_db(tmp / "template.duckdb", gaps)
    work = tmp / "work.duckdb"
    empty = make_db(tmp / "empty.duckdb", [])
    short = make_db(tmp / "short.duckdb", [("A", "2506", 1.0, 0.1)])
    no_gaps = make_db(tmp / "nogaps.duckdb", [("A", d, 1.0, 0.1) for d in ("2501", "2502", "2503")])
    text_scores = make_db(tmp / "text.duckdb", gaps,
                          "muta VARCHAR, donem VARCHAR, eus_skor VARCHAR, eus_ihtimal DOUBLE")
    no_table = tmp / "none.duckdb"
    duckdb.connect(str(no_table)).close()
    code, sub, bad = "2512", Text("2512"), "ab12"
    globals_ = vars(patch_eus)

    def full_run():
        shutil.copyfile(template, work)
        patch_eus_gaps(work)

    def failing_insert():
        shutil.copyfile(template, work)
        real = globals_["pd"]

        class Frames:
            DataFrame = staticmethod(lambda rows: real.DataFrame(rows).assign(extra=1))
            notna = staticmethod(real.notna)

        globals_["pd"] = Frames
        try:
            expect(duckdb.Error, patch_eus_gaps, work)
        finally:
            globals_["pd"] = real

    fast = 2000 if QUICK else 20000
    slow = 300 if QUICK else 1500
    paths = [
        ("_next_donem ok", fast, lambda: _next_donem(code)),
        ("_next_donem by keyword", fast, lambda: _next_donem(d=code)),
        ("_next_donem ValueError", fast, lambda: expect(ValueError, _next_donem, bad)),
        ("_next_donem str subclass", fast, lambda: expect(TypeError, _next_donem, sub)),
        ("_next_donem None", fast, lambda: expect(TypeError, _next_donem, None)),
        ("binding: no argument", fast, lambda: expect(TypeError, _next_donem)),
        ("binding: two arguments", fast, lambda: expect(TypeError, _next_donem, code, code)),
        ("binding: multiple values", fast, lambda: expect(TypeError, _next_donem, code, d=code)),
        ("binding: unexpected keyword", fast, lambda: expect(TypeError, patch_eus_gaps, x=code)),
        ("binding: generic form", fast, lambda: type(_next_donem).__call__(_next_donem, d=code)),
        ("patch: empty table", slow, lambda: patch_eus_gaps(empty)),
        ("patch: <3 periods", slow, lambda: patch_eus_gaps(short)),
        ("patch: full run", slow, full_run),
        ("patch: zero gaps", slow, lambda: patch_eus_gaps(no_gaps)),
        ("patch: missing table", slow, lambda: expect(duckdb.Error, patch_eus_gaps, no_table)),
        ("patch: score arithmetic fails", slow,
         lambda: expect(TypeError, patch_eus_gaps, text_scores)),
        ("patch: insert fails", slow, failing_insert),
    ]
    watched = [code, sub, bad, empty, short, no_gaps, template, work, no_table, text_scores]

    tracemalloc.start()
    failed = False
    print(f"{'path':32} {'calls':>7} {'objects/1k':>11} {'bytes/1k':>10} {'refs':>5}")
    for name, calls, fn in paths:
        window = calls // 3
        growth = []
        with open(os.devnull, "w") as sink, contextlib.redirect_stdout(sink):
            for _ in range(max(10, calls // 5)):
                fn()
            gc.collect()
            refs = [sys.getrefcount(o) for o in watched]
            # Caches of the libraries fill up and stop; a leak grows in
            # every window, so the smallest growth of three windows counts.
            for _ in range(3):
                objects = len(gc.get_objects())
                memory = tracemalloc.get_traced_memory()[0]
                for _ in range(window):
                    fn()
                gc.collect()
                growth.append(((len(gc.get_objects()) - objects) * 1000 / window,
                               (tracemalloc.get_traced_memory()[0] - memory) * 1000 / window))
        grown_objects = min(g[0] for g in growth)
        grown_memory = min(g[1] for g in growth)
        grown_refs = sum(sys.getrefcount(o) for o in watched) - sum(refs)
        # The smallest Python object takes 32 bytes: one leaked per call
        # would show as 32,000 bytes per 1000 calls or more.
        leaking = grown_objects >= 500 or grown_memory >= 20000 or grown_refs != 0
        failed |= leaking
        print(f"{name:32} {3 * window:7} {grown_objects:11.1f} {grown_memory:10.0f} {grown_refs:5}"
              + ("  LEAK" if leaking else ""))
    shutil.rmtree(tmp)
    print("leak check:", "FAILED" if failed else "flat")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
