"""The repair run against real DuckDB files: exits, report, calendar,
interpolation, and the exact sequence of calls it makes."""
import io
import math
import os
import pathlib

import duckdb
import pandas
import pytest

from conftest import NEXT_DONEM, PATCH, Recorder, make_db, module_entries, table_rows

EXAMPLE = [
    ("A", "2506", 1.0, 0.1), ("A", "2508", 2.0, 0.2),
    ("B", "2506", 0.25, None), ("B", "2508", 0.0, 0.5),
    ("C", "2506", 3.0, 0.3), ("C", "2508", 4.0, 0.4),
    ("A", "2511", 1.0, 0.1), ("A", "2601", 2.0, 0.2),
    ("D", "2511", 0.75, 0.0001), ("D", "2601", 0.0, 0.0002),
]
EXAMPLE_REPORT = (
    "  patch_eus_gaps: 5 rows inserted (2 periods, 4 firms)\n"
    "    2507: 3 firms patched\n"
    "    2512: 2 firms patched\n"
)
EXAMPLE_PATCHES = [
    ("A", "2507", 1.5, 0.15), ("A", "2512", 1.5, 0.15), ("B", "2507", 0.12, None),
    ("C", "2507", 3.5, 0.35), ("D", "2512", 0.38, 0.0002),
]


def inserted(before, after):
    remaining = list(after)
    for row in before:
        remaining.remove(row)
    return sorted(remaining)


# The ways a caller may name the file: each opens the same database.
SPELLINGS = {
    "str": str,
    "Path": pathlib.Path,
    "bytes": os.fsencode,
    "str subclass": type("Text", (str,), {}),
    "only __str__": lambda path: type("Named", (), {"__str__": lambda self: str(path)})(),
}


@pytest.mark.parametrize("spelling", list(SPELLINGS))
def test_example_report_and_rows(module, tmp_path, capsys, spelling):
    db = make_db(tmp_path / "scores.duckdb", EXAMPLE)
    before = table_rows(db)
    assert module.patch_eus_gaps(SPELLINGS[spelling](db)) is None
    assert capsys.readouterr().out == EXAMPLE_REPORT
    assert sorted(os.listdir(tmp_path)) == ["scores.duckdb"]  # nothing else was created
    after = table_rows(db)
    assert inserted(before, after) == EXAMPLE_PATCHES
    # A second run finds nothing left to do.
    assert module.patch_eus_gaps(db_path=str(db)) is None
    assert capsys.readouterr().out == "  patch_eus_gaps: 0 single-period gaps found\n"
    assert table_rows(db) == after


SKIP_EMPTY = "  [SKIP] patch_eus_gaps: empty table\n"
SKIP_SHORT = "  [SKIP] patch_eus_gaps: <3 calendar periods\n"
NO_GAPS = "  patch_eus_gaps: 0 single-period gaps found\n"


@pytest.mark.parametrize(
    "rows, printed",
    [
        ([], SKIP_EMPTY),
        ([("A", None, 1.0, 0.1), ("B", None, 2.0, None)], SKIP_EMPTY),
        ([("A", "", 1.0, 0.1), ("A", "2501", 2.0, 0.2), ("A", "2503", 2.0, 0.2)], SKIP_EMPTY),
        ([("A", "2511", 1.0, 0.1), ("B", "2511", 2.0, 0.2)], SKIP_SHORT),
        ([("A", "2511", 1.0, 0.1), ("A", "2512", 2.0, 0.2)], SKIP_SHORT),
        ([("A", "2511", 1.0, 0.1), ("B", "2513", 2.0, 0.2)], SKIP_SHORT),
        ([("A", "2511", 1.0, 0.1), ("A", "2512", 2.0, 0.2), ("A", "2601", 2.0, 0.2)], NO_GAPS),
        ([("A", "2505", 1.0, 0.1), ("A", "2508", 2.0, 0.2)], NO_GAPS),
    ],
)
def test_early_exits_print_close_and_change_nothing(module, tmp_path, capsys, rows, printed):
    db = make_db(tmp_path / "scores.duckdb", rows)
    before = table_rows(db)
    assert module.patch_eus_gaps(db) is None
    assert capsys.readouterr().out == printed
    assert table_rows(db) == before


@pytest.mark.parametrize(
    "rows, patches",
    [
        # A month without any row between two that have rows.
        ([("A", "2511", 1.0, 0.5), ("A", "2601", 3.0, 0.7)], [("A", "2512", 2.0, 0.6)]),
        # 2505 .. 2509: gaps only where both neighbours have the firm.
        ([("A", "2505", 1.0, None), ("A", "2507", 3.0, None), ("A", "2509", 5.0, None),
          ("B", "2505", 1.0, None), ("B", "2508", 1.0, None)],
         [("A", "2506", 2.0, None), ("A", "2508", 4.0, None)]),
        # The calendar starts at an off-form smallest period: 2513, 2601, 2602.
        ([("A", "2513", 1.0, 0.1), ("A", "2602", 2.0, 0.2)], [("A", "2601", 1.5, 0.15)]),
        # Double gap: nothing filled.
        ([("A", "2501", 1.0, 0.1), ("A", "2504", 2.0, 0.2), ("B", "2502", 0.0, 0.0)], []),
        # A row with missing values counts as present.
        ([("A", "2501", 1.0, 0.1), ("A", "2502", None, None), ("A", "2503", 2.0, 0.2)], []),
        # Missing probability on either side gives NULL.
        ([("A", "2501", 1.0, None), ("A", "2503", 2.0, 0.2),
          ("B", "2501", 1.0, 0.2), ("B", "2503", 2.0, None)],
         [("A", "2502", 1.5, None), ("B", "2502", 1.5, None)]),
        # Off-calendar period texts are never neighbours nor gaps.
        ([("A", "2501", 1.0, 0.1), ("A", "2502 ", 9.0, 0.9), ("A", "2503", 2.0, 0.2),
          ("B", "251", 1.0, 0.1), ("B", "2502", 2.0, 0.2)],
         [("A", "2502", 1.5, 0.15)]),
        # Rounding: half-even on the exact binary value, 2 and 4 digits.
        ([("A", "2501", 0.25, 0.0001), ("A", "2503", 0.0, 0.0002),
          ("B", "2501", 0.75, 0.1234), ("B", "2503", 0.0, 0.12345),
          ("C", "2501", 2.65, None), ("C", "2503", 2.7, None)],
         [("A", "2502", 0.12, 0.0002), ("B", "2502", 0.38, 0.1234), ("C", "2502", 2.67, None)]),
    ],
)
def test_gap_filling(module, tmp_path, capsys, rows, patches):
    db = make_db(tmp_path / "scores.duckdb", rows)
    before = table_rows(db)
    module.patch_eus_gaps(db)
    assert inserted(before, table_rows(db)) == sorted(patches)
    out = capsys.readouterr().out
    if patches:
        assert out.startswith("  patch_eus_gaps: %d rows inserted (" % len(patches))


def test_later_duplicate_supplies_the_neighbour(module, tmp_path):
    rows = [("A", "2501", 1.0, 0.1), ("A", "2501", 3.0, 0.3), ("A", "2503", 5.0, 0.5)]
    db = make_db(tmp_path / "scores.duckdb", rows)
    con = duckdb.connect(str(db))
    order = [r[2] for r in con.execute(
        "SELECT muta, donem, eus_skor FROM brz_eus_tahmin WHERE donem = '2501'").fetchall()]
    con.close()
    module.patch_eus_gaps(db)
    new = [r for r in table_rows(db) if r[1] == "2502"]
    assert new == [("A", "2502", (order[-1] + 5.0) / 2, round((order[-1] / 10 + 0.5) / 2, 4))]


def test_nan_score_still_makes_a_row(module, tmp_path):
    db = make_db(tmp_path / "scores.duckdb",
                 [("A", "2501", float("nan"), 0.1), ("A", "2503", 1.0, 0.3)])
    module.patch_eus_gaps(db)
    new = [r for r in table_rows(db) if r[1] == "2502"]
    assert len(new) == 1 and new[0][3] == 0.2
    assert new[0][2] is None or math.isnan(new[0][2])


def test_too_short_smallest_period_raises_from_the_successor(module, tmp_path):
    db = make_db(tmp_path / "scores.duckdb", [("A", "25", 1.0, 0.1), ("A", "2601", 1.0, 0.1)])
    with pytest.raises(ValueError) as info:
        module.patch_eus_gaps(db)
    assert module_entries(info.value.__traceback__) == [(PATCH, 50), (NEXT_DONEM, 15)]


@pytest.mark.parametrize("largest", ["9912", "9913", "99999", "~"])
def test_calendar_walk_ends_at_9912(module, tmp_path, capsys, largest):
    rows = [("A", "9910", 1.0, 0.1), ("A", "9912", 3.0, 0.3), ("B", "9911", 1.0, None),
            ("B", largest, 1.0, None)]
    db = make_db(tmp_path / "scores.duckdb", rows)
    module.patch_eus_gaps(db)
    assert capsys.readouterr().out.splitlines()[0] == (
        "  patch_eus_gaps: 1 rows inserted (1 periods, 1 firms)")
    assert ("A", "9911", 2.0, 0.2) in table_rows(db)


def test_failing_insert_propagates_and_leaves_the_table(module, tmp_path, capsys):
    db = make_db(tmp_path / "scores.duckdb", [r + (7,) for r in EXAMPLE[:2]],
                 schema="muta VARCHAR, donem VARCHAR, eus_skor DOUBLE, eus_ihtimal DOUBLE, x INT")
    before = table_rows(db)
    with pytest.raises(duckdb.Error) as info:
        module.patch_eus_gaps(db)
    assert module_entries(info.value.__traceback__) == [(PATCH, 104)]
    assert capsys.readouterr().out == ""
    assert table_rows(db) == before


@pytest.mark.parametrize("path", [
    "{dir}/scores.duckdb\x00junk", b"{dir}/scores.duckdb\x00junk", "\x00", b"\x00",
], ids=["str", "bytes", "str, a NUL alone", "bytes, a NUL alone"])
def test_a_path_with_a_nul_is_refused_before_anything_is_opened(module, restore_globals,
                                                               tmp_path, monkeypatch, path):
    monkeypatch.chdir(tmp_path)
    db = make_db(tmp_path / "scores.duckdb", EXAMPLE)
    before = table_rows(db)
    log = []
    restore_globals["duckdb"] = Recorder(duckdb, log)
    fill = os.fsencode if isinstance(path, bytes) else str
    with pytest.raises(ValueError, match="^embedded null character$") as info:
        module.patch_eus_gaps(path.replace(fill("{dir}"), fill(tmp_path)))
    assert module_entries(info.value.__traceback__) == [(PATCH, 34)]
    assert log == [] and sorted(os.listdir(tmp_path)) == ["scores.duckdb"]
    assert table_rows(db) == before


# Texts that name no file of the folder: DuckDB's own answer comes through,
# and nothing is left in the folder.  (A text with a lone surrogate, which
# no file-system path is spelt as: duckdb 1.0 refuses the argument, 1.4
# cannot encode it, 2.0 raises "std::bad_cast".)
SURROGATE_ERRORS = (TypeError, UnicodeEncodeError, RuntimeError)


@pytest.mark.parametrize("path, errors, line", [
    (":memory:", (duckdb.CatalogException,), 37),
    ("", (duckdb.CatalogException,), 37),
    ("\udc80.duckdb", SURROGATE_ERRORS, 34),
    ("\ud800.duckdb", SURROGATE_ERRORS, 34),
    ("gone/../x.duckdb", (duckdb.IOException,), 34),  # from a current folder that is gone
], ids=["memory", "empty", "surrogate escape", "lone surrogate", "no current folder"])
def test_paths_that_name_no_file_of_the_folder(module, tmp_path, monkeypatch, path, errors, line):
    here = tmp_path / "here"
    here.mkdir()
    monkeypatch.chdir(here)
    if path.startswith("gone"):
        here.rmdir()
    with pytest.raises(errors) as info:
        module.patch_eus_gaps(path)
    assert module_entries(info.value.__traceback__) == [(PATCH, line)]
    assert os.listdir(tmp_path) == ([] if path.startswith("gone") else ["here"])
    assert not here.exists() or os.listdir(here) == []


def test_missing_table(module, tmp_path):
    db = tmp_path / "empty.duckdb"
    duckdb.connect(str(db)).close()
    with pytest.raises(duckdb.CatalogException) as info:
        module.patch_eus_gaps(db)
    assert module_entries(info.value.__traceback__) == [(PATCH, 37)]


FULL_RUN_CALLS = [
    "connect", "execute", "fetchone", "execute", "fetchone", "execute", "fetchdf", "iterrows",
    "DataFrame", "register", "execute", "unregister", "groupby", "size", "__len__",
    "__getitem__", "nunique", "__getitem__", "nunique", "items", "close",
]


@pytest.mark.parametrize(
    "rows, calls",
    [
        (EXAMPLE, FULL_RUN_CALLS),
        ([], ["connect", "execute", "fetchone", "execute", "fetchone", "close"]),
        ([("A", "2501", 1.0, 0.1)], ["connect", "execute", "fetchone", "execute", "fetchone",
                                     "close"]),
        ([("A", d, 1.0, 0.1) for d in ("2501", "2502", "2503")],
         ["connect", "execute", "fetchone", "execute", "fetchone", "execute", "fetchdf",
          "iterrows", "close"]),
    ],
)
def test_call_sequence(module, restore_globals, tmp_path, monkeypatch, rows, calls):
    db = make_db(tmp_path / "scores.duckdb", rows)
    stdout = io.StringIO()
    printed_before_close = []

    class Log(list):
        def append(self, entry):
            if entry[0] == "close":
                printed_before_close.append(stdout.getvalue())
            super().append(entry)

    log = Log()
    monkeypatch.setattr("sys.stdout", stdout)
    restore_globals["duckdb"] = Recorder(duckdb, log)
    restore_globals["pd"] = Recorder(pandas, log)
    module.patch_eus_gaps(db)
    names = [name for name, _ in log if name != "notna"]
    assert names == calls
    # Every exit prints its lines first, then closes.
    assert printed_before_close == [stdout.getvalue()] and stdout.getvalue()
    assert log[0][1] == (str(db),)
    sql = [args[0] for name, args in log if name == "execute"]
    assert sql == [
        "SELECT MIN(donem) FROM brz_eus_tahmin",
        "SELECT MAX(donem) FROM brz_eus_tahmin",
        "SELECT muta, donem, eus_skor, eus_ihtimal FROM brz_eus_tahmin",
        "INSERT INTO brz_eus_tahmin SELECT * FROM _patch_df",
    ][: len(sql)]
    if calls is FULL_RUN_CALLS:
        by_name = dict(log)
        frame = by_name["register"][1]
        assert by_name["register"][0] == "_patch_df" and isinstance(frame, pandas.DataFrame)
        assert list(frame.columns) == ["muta", "donem", "eus_skor", "eus_ihtimal"]
        assert by_name["unregister"] == ("_patch_df",) and by_name["groupby"] == ("donem",)
        assert stdout.getvalue() == EXAMPLE_REPORT


def test_rebound_successor_is_used(module, restore_globals, tmp_path, capsys):
    real = module._next_donem
    seen = []

    def successor(d):
        seen.append(d)
        return real(d)

    db = make_db(tmp_path / "scores.duckdb", EXAMPLE[:2])
    restore_globals["_next_donem"] = successor
    module.patch_eus_gaps(db)
    assert seen == ["2506", "2507", "2508"]
    assert capsys.readouterr().out.startswith("  patch_eus_gaps: 1 rows inserted")
