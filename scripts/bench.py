"""Times patch_eus_gaps on a large generated score table and prints the
figures: wall time per phase of the data size, rows inserted, peak memory.

    python scripts/bench.py [FIRMS] [MONTHS]
"""
import contextlib
import io
import random
import resource
import sys
import tempfile
import time
from pathlib import Path

import duckdb
import pandas as pd

from velmora.pipeline.patch_eus import _next_donem, patch_eus_gaps


def build(path, firms, months):
    rng = random.Random(1)
    periods, d = [], "2001"
    for _ in range(months):
        periods.append(d)
        d = _next_donem(d)
    frame = pd.DataFrame(
        [
            ("F%06d" % f, p, round(rng.uniform(0, 100), 2), round(rng.random(), 4))
            for f in range(firms)
            for p in periods
            if rng.random() > 0.03
        ],
        columns=["muta", "donem", "eus_skor", "eus_ihtimal"],
    )
    con = duckdb.connect(str(path))
    con.register("frame", frame)
    con.execute("CREATE TABLE brz_eus_tahmin AS SELECT * FROM frame")
    con.close()
    return len(frame)


def main():
    firms = int(sys.argv[1]) if len(sys.argv) > 1 else 2000
    months = int(sys.argv[2]) if len(sys.argv) > 2 else 60
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "bench.duckdb"
        rows = build(path, firms, months)
        rss_before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        report = io.StringIO()
        start = time.perf_counter()
        with contextlib.redirect_stdout(report):
            patch_eus_gaps(path)
        elapsed = time.perf_counter() - start
        rss_after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        con = duckdb.connect(str(path))
        total = con.execute("SELECT count(*) FROM brz_eus_tahmin").fetchone()[0]
        con.close()
    print(f"table: {rows} rows, {firms} firms, {months} months")
    print(f"run: {elapsed:.3f} s, {rows / elapsed:,.0f} table rows/s, {total - rows} rows inserted")
    print(f"report: {report.getvalue().splitlines()[0].strip()}")
    print(f"peak RSS: {rss_after / 1024:.0f} MiB (before the run {rss_before / 1024:.0f} MiB)")

    start = time.perf_counter()
    for _ in range(100000):
        _next_donem("2512")
    per_call = (time.perf_counter() - start) / 100000
    print(f"_next_donem: {per_call * 1e9:.0f} ns per call")


if __name__ == "__main__":
    main()
