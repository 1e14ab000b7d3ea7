"""The repair compared with an independent model of it on random tables."""
import math
import random

import duckdb
import pytest

from conftest import make_db, table_rows


def successor(d):
    year, month = int(d[:2]), int(d[2:]) + 1
    if month > 12:
        year, month = year + 1, 1
    return "%02d%02d" % (year, month)


def missing(value):
    return value is None or (isinstance(value, float) and math.isnan(value))


def model(rows):
    """(report, inserted rows) for a table holding `rows`, in scan order."""
    periods = [r[1] for r in rows if r[1] is not None]
    if not periods:
        return "  [SKIP] patch_eus_gaps: empty table\n", []
    calendar, d = [], min(periods)
    while d <= max(periods):
        calendar.append(d)
        d = successor(d)
    if len(calendar) < 3:
        return "  [SKIP] patch_eus_gaps: <3 calendar periods\n", []
    values = {(muta, donem): (skor, iht) for muta, donem, skor, iht in rows}
    patches = []
    for before, gap, after in zip(calendar, calendar[1:], calendar[2:]):
        firms = {m for m, d in values if d == before} & {m for m, d in values if d == after}
        for firm in firms - {m for m, d in values if d == gap}:
            (s1, p1), (s2, p2) = values[(firm, before)], values[(firm, after)]
            skor = None if missing(s1) or missing(s2) else round((s1 + s2) / 2, 2)
            iht = None if missing(p1) or missing(p2) else round((p1 + p2) / 2, 4)
            patches.append((firm, gap, skor, iht))
    if not patches:
        return "  patch_eus_gaps: 0 single-period gaps found\n", []
    per_period = {}
    for _, gap, _, _ in patches:
        per_period[gap] = per_period.get(gap, 0) + 1
    report = "  patch_eus_gaps: %d rows inserted (%d periods, %d firms)\n" % (
        len(patches), len(per_period), len({p[0] for p in patches}))
    report += "".join("    %s: %d firms patched\n" % kv for kv in sorted(per_period.items()))
    return report, sorted(patches)


def random_rows(rng):
    """Up to six firms over a stretch of months across a year end; some
    months have no row at all, some firm-months two."""
    start = rng.randint(24 * 12, 26 * 12)
    months = ["%02d%02d" % (i // 12, i % 12 + 1) for i in range(start, start + rng.randint(1, 12))]
    months = [m for m in months if rng.random() < 0.85]
    rows = []
    for firm in "ABCDEF"[: rng.randint(1, 6)]:
        for month in months:
            if rng.random() < 0.55:
                for _ in range(2 if rng.random() < 0.05 else 1):
                    skor = None if rng.random() < 0.05 else round(rng.uniform(0, 10), rng.choice([1, 2, 3, 5]))
                    iht = None if rng.random() < 0.15 else round(rng.random(), rng.choice([2, 4, 5]))
                    rows.append((firm, month, skor, iht))
    rng.shuffle(rows)
    return rows


@pytest.mark.parametrize("seed", range(60))
def test_matches_model(module, tmp_path, capsys, seed):
    rng = random.Random(seed)
    db = make_db(tmp_path / "scores.duckdb", random_rows(rng))
    con = duckdb.connect(str(db))
    scanned = con.execute("SELECT muta, donem, eus_skor, eus_ihtimal FROM brz_eus_tahmin").fetchall()
    con.close()
    report, patches = model(scanned)
    before = table_rows(db)
    module.patch_eus_gaps(db)
    assert capsys.readouterr().out == report
    after = list(table_rows(db))
    for row in before:
        after.remove(row)
    assert sorted(after, key=repr) == sorted(patches, key=repr)
