"""Runs patch_eus_gaps on a demo score table (or on a database you name) and
shows what it changed.

    python scripts/demo.py              builds demo.duckdb afresh and patches it
    python scripts/demo.py FILE.duckdb  patches an existing database file
"""
import random
import sys
from pathlib import Path

import duckdb

from velmora.pipeline.patch_eus import _next_donem, patch_eus_gaps

DEMO_FILE = Path("demo.duckdb")


def build_demo(path):
    """About three dozen firms over 2024-2025: scattered single-month gaps, a
    firm missing two months running, July 2025 without any row (the month an
    ingest lost), and some rows without a probability."""
    rng = random.Random(2507)
    periods, d = [], "2401"
    while d <= "2512":
        periods.append(d)
        d = _next_donem(d)
    rows = []
    for n in range(1, 37):
        firm = "M%04d" % (1000 + 37 * n)
        level = rng.uniform(20, 90)
        for period in periods:
            level = min(99.0, max(1.0, level + rng.gauss(0, 3)))
            if period == "2507":
                continue  # nothing was ingested for this month
            if n == 7 and period in ("2403", "2404"):
                continue  # two months running: left alone
            if rng.random() < 0.04:
                continue  # a single missing month
            probability = None if rng.random() < 0.05 else round(1 / (1 + 2.718 ** ((level - 50) / 12)), 4)
            rows.append((firm, period, round(level, 2), probability))
    if path.exists():
        path.unlink()
    con = duckdb.connect(str(path))
    con.execute(
        "CREATE TABLE brz_eus_tahmin (muta VARCHAR, donem VARCHAR, eus_skor DOUBLE, eus_ihtimal DOUBLE)"
    )
    con.executemany("INSERT INTO brz_eus_tahmin VALUES (?, ?, ?, ?)", rows)
    con.close()


def summary(path):
    con = duckdb.connect(str(path))
    try:
        count, firms, first, last = con.execute(
            "SELECT count(*), count(DISTINCT muta), min(donem), max(donem) FROM brz_eus_tahmin"
        ).fetchone()
        present = {r[0] for r in con.execute("SELECT DISTINCT donem FROM brz_eus_tahmin").fetchall()}
        rows = set(con.execute("SELECT * FROM brz_eus_tahmin").fetchall())
    finally:
        con.close()
    print(f"  {count} rows, {firms} firms, periods {first} to {last}")
    if first and last and first <= last and len(first) == 4:
        empty, d = [], first
        while d <= last:
            if d not in present:
                empty.append(d)
            if d == "9912":
                break
            d = _next_donem(d)
        if empty:
            print(f"  months without any row: {', '.join(empty)}")
    return rows


def main(argv):
    if len(argv) > 1:
        path = Path(argv[1])
        if not path.exists():
            sys.exit(f"no such database file: {path}")
    else:
        path = DEMO_FILE
        build_demo(path)
        print(f"Built the demo database {path}")
    print("Before:")
    before = summary(path)
    print("Running patch_eus_gaps:")
    patch_eus_gaps(path)
    print("After:")
    after = summary(path)
    added = sorted(after - before, key=lambda r: (str(r[1]), str(r[0])))
    if added:
        print("Inserted rows (muta, donem, eus_skor, eus_ihtimal):")
        for row in added[:40]:
            print("  " + "  ".join("NULL" if v is None else str(v) for v in row))
        if len(added) > 40:
            print(f"  ... and {len(added) - 40} more")


if __name__ == "__main__":
    main(sys.argv)
