"""The score lookup read straight from pandas' frames against iterrows: the
same lookup, the same patch rows period by period, the same errors, on
random frames of many column types; and which frames take the shortcut."""
import datetime
import decimal
import math
import random
import shutil
import sys

import duckdb
import numpy as np
import pandas as pd
import pytest

from conftest import PATCH, make_db, module_entries, run_isolated

COLUMNS = ["muta", "donem", "eus_skor", "eus_ihtimal"]
FIRMS = ["A", "B", "Şirket", "Ümit Ltd", "企業", "\U0001f600", "", "C"]


def probe(module):
    return type(module.patch_eus_gaps)._gap_rows


def same(a, b):
    """Equal values of the same type; NaN matches NaN, None only None."""
    if type(a) is not type(b):
        return False
    if isinstance(a, tuple):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    if isinstance(a, float) and math.isnan(a):
        return math.isnan(b)
    return a is b or a == b


def by_period(rows):
    """[(period, rows of that period)] in the order the periods come."""
    groups = []
    for row in rows:
        if not groups or groups[-1][0] != row["donem"]:
            groups.append((row["donem"], []))
        groups[-1][1].append(row)
    return groups


def same_rows(a, b):
    """The same periods in the same order, each with the same rows in any
    order: within a period the order is the lookup's own."""
    a, b = by_period(a), by_period(b)
    if [period for period, _ in a] != [period for period, _ in b]:
        return False
    for (_, rows), (_, others) in zip(a, b):
        rest = list(others)
        for row in rows:
            match = next((k for k, other in enumerate(rest) if same(row, other)), None)
            if match is None:
                return False
            del rest[match]
        if rest:
            return False
    return True


def outcome(module, frame, calendar, shortcut):
    """(taken, lookup items, rows) or the exception with its entries."""
    try:
        taken, lookup, rows = probe(module)(frame, calendar, shortcut)
    except Exception as e:  # both paths must fail alike
        return ("error", type(e), str(e), module_entries(e.__traceback__))
    return (taken, list(lookup.items()), rows)


def months(start, count):
    out, (yy, mm) = [], start
    for _ in range(count):
        out.append("%02d%02d" % (yy, mm))
        yy, mm = (yy + 1, 1) if mm == 12 else (yy, mm + 1)
    return out


def random_frame(rng, kind):
    """A frame of up to 80 rows over a few months, with duplicates, missing
    values, off-calendar periods and odd firms; `kind` picks column types."""
    calendar = months((24, rng.randint(1, 12)), rng.randint(3, 8))
    periods = calendar + ["2513", "251", calendar[0] + " ", None]
    rows = []
    for _ in range(rng.randint(0, 80)):
        firm = rng.choice(FIRMS + [None])
        period = rng.choice(calendar) if rng.random() < 0.85 else rng.choice(periods)
        skor = round(rng.uniform(-5, 100), rng.choice([1, 2, 3]))
        if rng.random() < 0.08:
            skor = rng.choice([None, math.nan, rng.randint(0, 9), 2.675, 1e308])
        iht = rng.choice([round(rng.random(), 4), None, math.nan, 0.0001, 0.12345, math.inf,
                          -math.inf, np.float64(0.25)])
        rows.append([firm, period, skor, iht])
        if rng.random() < 0.1:
            rows.append(list(rows[rng.randrange(len(rows))]))
    frame = pd.DataFrame(rows, columns=COLUMNS)
    if kind == "objects":  # None, NaN and numpy floats kept apart
        frame["eus_ihtimal"] = pd.Series([row[3] for row in rows], dtype=object)
    elif kind == "floats":
        frame["eus_skor"] = frame["eus_skor"].astype(float)
        frame["eus_ihtimal"] = frame["eus_ihtimal"].astype(float)
    elif kind == "int periods":
        frame["donem"] = [int(p) if isinstance(p, str) and p.strip().isdigit() else -1
                          for p in frame["donem"]]
    elif kind == "int firms":
        frame["muta"] = [FIRMS.index(f) if f in FIRMS else 99 for f in frame["muta"]]
    elif kind == "all text":
        frame = frame.astype(str)
    elif kind == "nullable":
        frame["muta"] = pd.array(frame["muta"], dtype="string")
        frame["eus_skor"] = pd.array([None if v is None or v != v else float(v)
                                      for v in frame["eus_skor"]], dtype="Float64")
    elif kind == "category":
        frame["muta"] = frame["muta"].astype("category")
        frame["eus_ihtimal"] = frame["eus_ihtimal"].astype(float)
    elif kind == "decimal":
        frame["eus_skor"] = [decimal.Decimal(str(v)) if isinstance(v, float) and v == v else v
                             for v in frame["eus_skor"]]
    return frame, calendar


KINDS = ["objects", "floats", "int periods", "int firms", "all text", "nullable", "category",
         "decimal"]


@pytest.mark.parametrize("kind", KINDS)
def test_both_paths_agree_on_random_frames(module, kind, monkeypatch):
    """The shortcut, pandas' own notna answered in place, against iterrows
    with every notna call made (a wrapper of notna is not pandas' own)."""
    rng = random.Random(KINDS.index(kind))
    asked = []

    def notna(value, original=pd.notna):
        asked.append(value)
        return original(value)

    taken = patched = 0
    for _ in range(60):
        frame, calendar = random_frame(rng, kind)
        fast = outcome(module, frame, calendar, True)
        with monkeypatch.context() as wrapped:
            wrapped.setattr(pd, "notna", notna)
            slow = outcome(module, frame, calendar, False)
        if fast[0] == "error" or slow[0] == "error":
            assert fast == slow
            continue
        assert slow[0] is False
        taken += fast[0]
        assert same(tuple(fast[1]), tuple(slow[1])), "lookup"
        assert same_rows(fast[2], slow[2]), "rows"
        patched += len(slow[2])
    if kind in ("floats", "int firms"):
        assert taken > 20  # the shortcut itself was exercised
    if patched:  # and so was the call, with values it could have answered
        assert any(type(v) is float for v in asked)


@pytest.mark.parametrize("where", ["pd.notna", "module pd", "isna", "_isna"])
def test_a_notna_other_than_pandas_own_is_called(module, monkeypatch, where):
    """Each stand-in answers "missing" and records its calls: it must be
    asked, and its answer must hold."""
    frame = pd.DataFrame([("A", "2501", 1.0, 0.5), ("A", "2503", 3.0, 0.7)], columns=COLUMNS)
    asked = []

    def stand_in(value, *options):
        asked.append(value)
        return where in ("isna", "_isna")  # missing, said from either side

    if where == "pd.notna":
        monkeypatch.setattr(pd, "notna", stand_in)
    elif where == "module pd":
        monkeypatch.setattr(module, "pd", type(pd)("pd"))
        module.pd.notna = stand_in
    else:
        monkeypatch.setattr(pd.core.dtypes.missing, where, stand_in)
    _, _, rows = probe(module)(frame, ["2501", "2502", "2503"], True)
    assert asked == [0.5] and rows[0]["eus_ihtimal"] is None
    monkeypatch.undo()
    assert probe(module)(frame, ["2501", "2502", "2503"], True)[2][0]["eus_ihtimal"] == 0.6


class Frame(pd.DataFrame):
    pass


def shortcut_taken(module, frame, calendar=("2501", "2502", "2503")):
    return outcome(module, frame, list(calendar), True)[0] is True


def plain():
    return pd.DataFrame([("A", "2501", 1.0, 0.5), ("A", "2503", 3.0, None)], columns=COLUMNS)


@pytest.mark.parametrize(
    "change",
    [
        lambda f: Frame(f),
        lambda f: f[["donem", "muta", "eus_skor", "eus_ihtimal"]],
        lambda f: f.assign(extra=1),
        lambda f: f.set_axis(["muta", "muta", "eus_skor", "eus_ihtimal"], axis=1),
        lambda f: f.assign(eus_skor=math.nan, eus_ihtimal=math.nan),
        lambda f: f.assign(muta=[["A"], ["A"]]),
        lambda f: f.assign(muta=decimal.Decimal(1)),
        lambda f: f.assign(muta=pd.array(["A", None], dtype="string")),
        lambda f: f.assign(muta=pd.Series([1.5, "A"], dtype=object)),
        lambda f: f.assign(muta=[b"A", b"A"]),
        lambda f: f.assign(donem=[datetime.date(2025, 1, 1), datetime.date(2025, 3, 1)]),
        # All four columns of floats: `values` is not an array of objects.
        lambda f: f.assign(muta=1.5, donem=2.5),
    ],
    ids=["subclass", "column order", "extra column", "duplicate labels", "no number in a row",
         "unhashable firm", "decimal firm", "NA firm", "float firm", "bytes firm", "date period",
         "only floats"],
)
def test_other_frames_take_iterrows(module, change):
    assert shortcut_taken(module, plain())
    assert not shortcut_taken(module, change(plain()))


# pandas 1.3 gave DataFrame a `values` of its own and left NDFrame's
# abstract; before, frames took NDFrame's.
PANDAS_BEFORE_1_3 = tuple(int(p) for p in pd.__version__.split(".")[:2]) < (1, 3)


def without_frame_values(monkeypatch):
    if "values" in vars(pd.DataFrame):
        monkeypatch.delattr(pd.DataFrame, "values")


@pytest.mark.parametrize("patch, taken", [
    (lambda mp, frame: setattr(frame, "iterrows", lambda: iter(())), False),
    (lambda mp, frame: mp.setattr(pd.DataFrame, "iterrows",
                                  lambda self, plain=pd.DataFrame.iterrows: plain(self)), False),
    (lambda mp, frame: mp.setattr(pd.DataFrame, "values",
                                  property(lambda self: self.to_numpy())), False),
    (lambda mp, frame: (without_frame_values(mp), mp.setattr(
        pd.core.generic.NDFrame, "values", property(lambda self: self.to_numpy()))), False),
    # NDFrame's own values: the frame's before pandas 1.3, abstract after.
    (lambda mp, frame: without_frame_values(mp), PANDAS_BEFORE_1_3),
    (lambda mp, frame: mp.setattr(pd.DataFrame, "__getattribute__",
                                  lambda self, name: object.__getattribute__(self, name)), False),
], ids=["instance iterrows", "wrapped iterrows", "frame values", "NDFrame values",
        "NDFrame values as pandas made it", "__getattribute__"])
def test_patched_methods_take_iterrows(module, monkeypatch, patch, taken):
    frame = plain()
    patch(monkeypatch, frame)
    assert shortcut_taken(module, frame) is taken
    monkeypatch.undo()
    assert shortcut_taken(module, plain())
    assert not shortcut_taken(module, plain(), calendar=("2501", 2502, "2503"))


class Score(float):
    pass


# What the guard looks for among the modules already loaded: without any of
# them, the shortcut is not taken (or reads through `values`), and the rows
# are those of iterrows.
@pytest.mark.parametrize("name", ["pandas.core.frame", "pandas.core.indexes.base", "numpy",
                                  "pandas.core.arrays.string_", "pandas.core.dtypes.missing",
                                  "pandas"])
def test_what_the_guard_looks_for_is_not_loaded(module, monkeypatch, name):
    frame, calendar = plain(), ["2501", "2502", "2503"]
    expected = probe(module)(frame, calendar, False)
    monkeypatch.delitem(sys.modules, name)
    taken, lookup, rows = probe(module)(frame, calendar, True)
    # (Before pandas 1.3 the version, read from pandas itself, is needed.)
    assert taken == (name in ("pandas.core.arrays.string_", "pandas.core.dtypes.missing")
                     or name == "pandas" and not PANDAS_BEFORE_1_3)
    assert same(lookup, expected[1]) and same_rows(rows, expected[2])


def test_the_probe_of_the_gap_search_checks_its_arguments(module):
    with pytest.raises(TypeError, match="calendar: list"):
        probe(module)(plain(), ("2501", "2502", "2503"), True)
    with pytest.raises(TypeError, match="calendar: list"):
        probe(module)(plain(), ["2501", "2502", "2503"])


@pytest.mark.parametrize("kind", [float, Score])
def test_the_mean_of_two_scores_whose_sum_overflows(module, kind):
    """Taken as the sum of their halves: finite, as the scores' own mean.
    (numpy's float64 rounds the mean to inf: its round multiplies by 100.)"""
    frame = pd.DataFrame({"muta": ["A", "A"], "donem": ["2501", "2503"],
                          "eus_skor": pd.Series([kind(1e308), kind(1.5e308)], dtype=object),
                          "eus_ihtimal": pd.Series([kind(-1e308), kind(-1.7e308)], dtype=object)})
    for allowed in (True, False):
        _, _, rows = probe(module)(frame, ["2501", "2502", "2503"], allowed)
        assert [(r["eus_skor"], r["eus_ihtimal"]) for r in rows] == [(1.25e308, -1.35e308)]


class Interrupt(BaseException):
    pass


def raising(error):
    def get(self):
        raise error
    return property(get)


# pandas' internals behind the frame, other than this reads them: the
# columns are then read through the public `values` (which iterrows reads
# the rows from too); only running out of memory, or what is not an
# Exception, goes on out of the run.
# (Blocks that are not a tuple leave `values` an array of no objects, and
# the rows to iterrows.)
@pytest.mark.parametrize("patch, raises", [
    (lambda mp: mp.setattr(BLOCK_MANAGER, "blknos", raising(AttributeError("gone"))), True),
    (lambda mp: mp.setattr(BLOCK_MANAGER, "blknos", raising(RuntimeError("changed"))), True),
    (lambda mp: mp.setattr(BLOCK_MANAGER, "blknos", property(lambda self: [0, 0, 0])), True),
    (lambda mp: mp.setattr(BLOCK_MANAGER, "blocks", property(lambda self: [])), False),
    (lambda mp: mp.setattr(BLOCK_MANAGER, "blknos", raising(MemoryError())), MemoryError),
    (lambda mp: mp.setattr(BLOCK_MANAGER, "blknos", raising(Interrupt())), Interrupt),
], ids=["attribute gone", "another error", "three columns", "blocks not a tuple",
        "out of memory", "interrupted"])
def test_other_pandas_internals(module, monkeypatch, patch, raises):
    """`raises`: the exception that leaves the shortcut, or whether the
    shortcut is still taken."""
    frame, calendar = plain(), ["2501", "2502", "2503"]
    patch(monkeypatch)
    if not isinstance(raises, bool):
        with pytest.raises(raises) as info:
            probe(module)(frame, calendar, True)
        assert module_entries(info.value.__traceback__) == [(PATCH, 64)]
        return
    # Both ways agree: the same lookup and rows, or the same failure.
    outcomes = []
    for allowed in (False, True):
        try:
            outcomes.append(probe(module)(frame, calendar, allowed))
        except Exception as error:
            outcomes.append((type(error), module_entries(error.__traceback__)))
    (_, *expected), (taken, *got) = outcomes
    if isinstance(taken, bool):
        assert taken is raises and same(got[0], expected[0]) and same_rows(got[1], expected[1])
    else:
        assert outcomes[0] == outcomes[1] and outcomes[0][1] == [(PATCH, 64)]


BLOCK_MANAGER = type(plain()._mgr)


@pytest.mark.parametrize("seed", range(6))
def test_runs_insert_the_same_rows(module, tmp_path, capsys, monkeypatch, seed):
    """A whole run over a real file: once as it is, once with iterrows
    wrapped so that the shortcut cannot be taken."""
    rng = random.Random(seed)
    rows = [(f, d, round(rng.uniform(0, 9), 2), rng.choice([None, round(rng.random(), 4)]))
            for f in ["F%03d" % i for i in range(rng.randint(20, 300))]
            for d in months((24, 11), 6) if rng.random() < 0.8]
    template = make_db(tmp_path / "t.duckdb", rows)
    results = []
    for wrapped in (False, True):
        db = tmp_path / ("w%d.duckdb" % wrapped)
        shutil.copyfile(template, db)
        if wrapped:
            original = pd.DataFrame.iterrows
            monkeypatch.setattr(pd.DataFrame, "iterrows", lambda self: original(self))
        module.patch_eus_gaps(db)
        con = duckdb.connect(str(db))
        table = con.execute("SELECT * FROM brz_eus_tahmin").fetchall()
        con.close()
        inserted = [dict(zip(COLUMNS, row)) for row in table[len(rows):]]
        results.append((capsys.readouterr().out, table[:len(rows)], inserted))
    assert results[0][:2] == results[1][:2]
    assert results[0][2] and same_rows(results[0][2], results[1][2])


SEEDED_RUN = """
    import json, shutil, sys
    import duckdb
    import velmora.pipeline.patch_eus as m
    template, work = sys.argv[1:3]
    shutil.copyfile(template, work)
    con = duckdb.connect(work)
    frame = con.execute("SELECT muta, donem, eus_skor, eus_ihtimal FROM brz_eus_tahmin").fetchdf()
    count = len(frame)
    con.close()
    calendar = ["2411", "2412", "2501", "2502", "2503", "2504"]
    taken = m.patch_eus_gaps.__class__._gap_rows(frame, calendar, True)[0]
    by_rows = [r["muta"] for r in m.patch_eus_gaps.__class__._gap_rows(frame, calendar, False)[2]]
    m.patch_eus_gaps(work)
    con = duckdb.connect(work)
    inserted = con.execute("SELECT * FROM brz_eus_tahmin").fetchall()[count:]
    print(json.dumps([taken, inserted, by_rows]))
"""


def test_the_shortcut_inserts_in_the_same_order_whatever_the_hash_seed(tmp_path):
    rng = random.Random(3)
    rows = [("firma %d" % f, d, float(f), None) for f in range(200)
            for d in months((24, 11), 6) if rng.random() < 0.8]
    template = make_db(tmp_path / "t.duckdb", rows)
    outs = [run_isolated(SEEDED_RUN, args=(template, tmp_path / ("w%s.duckdb" % seed)),
                         env={"PYTHONHASHSEED": seed})
            for seed in ("1", "2")]
    assert [taken for taken, _, _ in outs] == [True, True]
    assert outs[0][1] and outs[0][1] == outs[1][1]
    # The firms are texts: the host's own set order moves with the seed.
    assert sorted(outs[0][2]) == sorted(outs[1][2]) and outs[0][2] != outs[1][2]


def test_errors_in_the_shortcut_keep_their_lines(module):
    frame = pd.DataFrame({"muta": ["A", "A"], "donem": ["2501", "2503"],
                          "eus_skor": pd.Series([None, 1.0], dtype=object),
                          "eus_ihtimal": [0.5, 0.5]})
    assert shortcut_taken(module, frame, calendar=("2501", "2502", "2504"))
    with pytest.raises(TypeError) as info:
        probe(module)(frame, ["2501", "2502", "2503"], True)
    assert module_entries(info.value.__traceback__) == [(PATCH, 85)]


def wide_float(rng):
    """A float from the whole range means are rounded in: tiny to past
    2**32, halves that tie, and values with few decimals."""
    k = rng.random()
    if k < 0.3:
        return rng.uniform(-1, 1)
    if k < 0.5:
        return rng.choice([1, -1]) * 10 ** rng.uniform(-330, 9.7)
    if k < 0.8:
        return round(rng.uniform(-100, 100), rng.choice([1, 2, 3, 4, 5]))
    return rng.choice([0.125, 0.375, 2.675, 0.0001, 0.00015, 1e-300, 5e-324, 4294967295.5,
                       2 ** 31 + 0.005, -0.005, 0.005, 1e308])


def test_means_round_as_the_floats_own_round(module):
    """The mean of two floats is rounded in place, as float.__round__ rounds
    (its exact binary value, half to even): against the builtin round."""
    rng = random.Random(11)
    pairs = [(wide_float(rng), wide_float(rng)) for _ in range(3000)]
    rows = [row for k, (a, b) in enumerate(pairs)
            for row in (("F%d" % k, "2501", a, a), ("F%d" % k, "2503", b, b))]
    frame = pd.DataFrame(rows, columns=COLUMNS)
    for allowed in (True, False):
        taken, _, out = probe(module)(frame, ["2501", "2502", "2503"], allowed)
        assert taken is allowed
        got = {r["muta"]: (r["eus_skor"], r["eus_ihtimal"]) for r in out}
        for k, (a, b) in enumerate(pairs):
            mean = a / 2 + b / 2 if math.isinf(a + b) else (a + b) / 2
            assert repr(got["F%d" % k]) == repr((round(mean, 2), round(mean, 4))), (a, b)
