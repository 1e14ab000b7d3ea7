"""Failures inside patch_eus_gaps: for each reachable statement, the
exception arrives unchanged with exactly one traceback entry naming its
line, nothing after it runs, and the table is untouched unless the insert
had already happened."""
import itertools

import duckdb
import pandas
import pytest

from conftest import (
    NEXT_DONEM, PATCH, SCHEMA, Injected, Recorder, make_db, module_entries, table_rows,
)

TABLES = {
    "gaps": [("A", "2506", 1.0, 0.1), ("A", "2508", 2.0, 0.2), ("B", "2506", 1.0, 0.1),
             ("B", "2508", 2.0, 0.2), ("A", "2511", 1.0, 0.1), ("A", "2601", 2.0, 0.2)],
    "empty": [],
    "short": [("A", "2506", 1.0, 0.1)],
    "nogap": [("A", d, 1.0, 0.1) for d in ("2501", "2502", "2503")],
}
INSERT_LINE = 104


def run_failing(module, globals_, folder, table, *, fail=None, replace=None, schema=SCHEMA,
                expected=Injected):
    """Runs the repair with duckdb and pandas behind recorders; returns the
    exception, the call log, and the table before and after."""
    folder.mkdir(exist_ok=True)
    db = make_db(folder / "scores.duckdb", TABLES.get(table, table) if isinstance(table, str) else table,
                 schema=schema)
    before = table_rows(db)
    log = []
    globals_["duckdb"] = Recorder(duckdb, log, fail=fail, replace=replace)
    globals_["pd"] = Recorder(pandas, log, fail=fail, replace=replace)
    with pytest.raises(expected) as info:
        module.patch_eus_gaps(db)
    return info.value, [name for name, _ in log], before, table_rows(db)


@pytest.mark.parametrize(
    "table, fail, line",
    [
        ("gaps", ("connect", 1), 34),
        ("gaps", ("execute", 1), 37), ("gaps", ("fetchone", 1), 37),
        ("gaps", ("execute", 2), 38), ("gaps", ("fetchone", 2), 38),
        ("gaps", ("execute", 3), 58), ("gaps", ("fetchdf", 1), 60),
        ("gaps", ("iterrows", 1), 64),
        ("gaps", ("notna", 1), 87), ("gaps", ("notna", 2), 87),
        ("gaps", ("DataFrame", 1), 102), ("gaps", ("register", 1), 103),
        ("gaps", ("execute", 4), 104), ("gaps", ("unregister", 1), 105),
        ("gaps", ("groupby", 1), 108), ("gaps", ("size", 1), 108),
        ("gaps", ("__len__", 1), 109),
        ("gaps", ("__getitem__", 1), 110), ("gaps", ("nunique", 1), 110),
        ("gaps", ("__getitem__", 2), 111), ("gaps", ("nunique", 2), 111),
        ("gaps", ("items", 1), 112),
        ("gaps", ("close", 1), 115),
        ("empty", ("close", 1), 42),
        ("short", ("close", 1), 54),
        ("nogap", ("close", 1), 99),
    ],
)
def test_injected_failure(module, restore_globals, tmp_path, capsys, table, fail, line):
    error, calls, before, after = run_failing(module, restore_globals, tmp_path, table, fail=fail)
    assert type(error) is Injected and error.args == (fail[0],)
    assert module_entries(error.__traceback__) == [(PATCH, line)]
    assert calls[-1] == fail[0]  # nothing ran after the failing call
    assert "close" not in calls[:-1]
    if line <= INSERT_LINE:
        assert after == before
    else:
        assert len(after) == len(before) + 3  # the insert stays done
    printed = capsys.readouterr().out
    assert ("firms patched" in printed) == (line == 115)


class Unknowable:
    def __bool__(self):
        raise ValueError("no truth value")


def bad_rows(rows):
    return lambda frame: iter(rows)


def failing_iteration(frame):
    yield 0, {"eus_skor": 1.0, "eus_ihtimal": 0.1, "muta": "A", "donem": "2506"}
    raise RuntimeError("iteration broke")


class Period:
    """Hashes like a period text but cannot be compared with one."""

    def __init__(self, text):
        self.text = text

    def __hash__(self):
        return hash(self.text)

    def __eq__(self, other):
        raise ArithmeticError("cannot compare")


def host_message(action):
    """What the interpreter says when `action` fails: its wording changes
    between versions (3.14 names the dict key's type too)."""
    try:
        action()
    except Exception as error:
        return str(error)
    raise AssertionError("the action did not fail")


def store(key):
    lookup = {}
    lookup[key] = (1, 1)


@pytest.mark.parametrize(
    "table, replace, expected, message, line",
    [
        ("gaps", ("fetchone", 1, lambda row: (Unknowable(),)), ValueError, "no truth value", 40),
        ("gaps", ("fetchone", 2, lambda row: (5,)), TypeError,
         "'<=' not supported between instances of 'str' and 'int'", 48),
        ("gaps", ("iterrows", 1, bad_rows([(1, 2, 3)])), ValueError,
         "too many values to unpack (expected 2)", 64),
        ("gaps", ("iterrows", 1, bad_rows([(1,)])), ValueError,
         "not enough values to unpack (expected 2, got 1)", 64),
        ("gaps", ("iterrows", 1, bad_rows([5])), TypeError,
         "cannot unpack non-iterable int object", 64),
        ("gaps", ("iterrows", 1, lambda frame: 42), TypeError, "'int' object is not iterable", 64),
        # A list unpacks like a tuple: the row is read (and lacks the score).
        ("gaps", ("iterrows", 1, bad_rows([[0, {}]])), KeyError, "'eus_skor'", 65),
        ("gaps", ("iterrows", 1, failing_iteration), RuntimeError, "iteration broke", 64),
        ("gaps", ("iterrows", 1, bad_rows([(0, {})])), KeyError, "'eus_skor'", 65),
        ("gaps", ("iterrows", 1, bad_rows(
            [(0, {"eus_skor": 1, "eus_ihtimal": 1, "muta": [1], "donem": "2506"})])),
         TypeError, host_message(lambda: store(([1], "2506"))), 65),
        ("gaps", ("iterrows", 1, bad_rows(
            [(0, {"eus_skor": 1, "eus_ihtimal": 1, "muta": "A", "donem": "2506"}),
             (1, {"eus_skor": 1, "eus_ihtimal": 1, "muta": "B", "donem": Period("2506")})])),
         ArithmeticError, "cannot compare", 75),
        ("gaps", ("items", 1, lambda counts: 42), TypeError, "'int' object is not iterable", 112),
        ("gaps", ("items", 1, lambda counts: [("2507",)]), ValueError,
         "not enough values to unpack (expected 2, got 1)", 112),
    ],
)
def test_failure_in_a_statement(module, restore_globals, tmp_path, table, replace, expected,
                                message, line):
    error, calls, before, after = run_failing(
        module, restore_globals, tmp_path, table, replace=replace, expected=expected)
    assert str(error) == message
    assert module_entries(error.__traceback__) == [(PATCH, line)]
    assert "close" not in calls and (after == before) == (line <= INSERT_LINE)


@pytest.mark.parametrize(
    "schema, message, line",
    [
        ("muta VARCHAR, donem VARCHAR, eus_skor VARCHAR, eus_ihtimal DOUBLE",
         "unsupported operand type(s) for /: 'str' and 'int'", 85),
        ("muta VARCHAR, donem VARCHAR, eus_skor DOUBLE, eus_ihtimal VARCHAR",
         "unsupported operand type(s) for /: 'str' and 'int'", 88),
    ],
)
def test_arithmetic_on_text_columns(module, restore_globals, tmp_path, schema, message, line):
    error, calls, before, after = run_failing(
        module, restore_globals, tmp_path, "gaps", schema=schema, expected=TypeError)
    assert str(error) == message
    assert module_entries(error.__traceback__) == [(PATCH, line)]
    assert "close" not in calls and after == before


@pytest.mark.parametrize("name, line", [("duckdb", 34), ("pd", 87), ("_next_donem", 50)])
def test_missing_global(module, restore_globals, tmp_path, name, line):
    db = make_db(tmp_path / "scores.duckdb", TABLES["gaps"])
    del restore_globals[name]
    with pytest.raises(NameError) as info:
        module.patch_eus_gaps(db)
    assert str(info.value) == f"name '{name}' is not defined"
    assert module_entries(info.value.__traceback__) == [(PATCH, line)]


def test_rebound_successor_failure_and_path_conversion(module, restore_globals, tmp_path):
    db = make_db(tmp_path / "scores.duckdb", TABLES["gaps"])
    real = module._next_donem

    def successor(d):
        raise OverflowError(d)

    restore_globals["_next_donem"] = successor
    with pytest.raises(OverflowError) as info:
        module.patch_eus_gaps(db)
    assert module_entries(info.value.__traceback__) == [(PATCH, 50)]
    # Integer periods: the first comparison and append succeed, then the
    # binding of _next_donem refuses the int (no entry of its own) and the
    # calendar walk adds line 50.
    restore_globals["_next_donem"] = real
    error, calls, _, _ = run_failing(
        module, restore_globals, tmp_path / "int", [("A", 2506, 1.0, 0.1), ("A", 2508, 1.0, 0.1)],
        schema="muta VARCHAR, donem INTEGER, eus_skor DOUBLE, eus_ihtimal DOUBLE",
        expected=TypeError)
    assert str(error) == "Argument 'd' has incorrect type (expected str, got int)"
    assert module_entries(error.__traceback__) == [(PATCH, 50)]
    assert "close" not in calls

    class BadPath:
        def __str__(self):
            raise UnicodeError("no text")

    with pytest.raises(UnicodeError) as info:
        module.patch_eus_gaps(BadPath())
    assert module_entries(info.value.__traceback__) == [(PATCH, 34)]


class BrokenOutput:
    """Standard output that fails at its n-th write."""

    def __init__(self, n):
        self.n, self.writes, self.text = n, 0, ""

    def write(self, text):
        self.writes += 1
        if self.writes == self.n:
            raise OSError("output closed")
        self.text += text
        return len(text)

    def flush(self):
        pass


@pytest.mark.parametrize(
    "table, nth_write, line",
    [("empty", 1, 41), ("short", 1, 53), ("nogap", 1, 98), ("gaps", 1, 109), ("gaps", 3, 113)],
)
def test_report_line_that_cannot_be_written(module, restore_globals, tmp_path, monkeypatch,
                                            table, nth_write, line):
    out = BrokenOutput(nth_write)
    monkeypatch.setattr("sys.stdout", out)
    error, calls, before, after = run_failing(
        module, restore_globals, tmp_path, table, expected=OSError)
    assert str(error) == "output closed"
    assert module_entries(error.__traceback__) == [(PATCH, line)]
    assert "close" not in calls


def test_successor_failure_carries_both_entries(module, tmp_path):
    db = make_db(tmp_path / "scores.duckdb", [("A", "x1", 1.0, 0.1), ("A", "y1", 1.0, 0.1)])
    with pytest.raises(ValueError) as info:
        module.patch_eus_gaps(db)
    assert module_entries(info.value.__traceback__) == [(PATCH, 50), (NEXT_DONEM, 15)]


def test_runaway_recursion_through_rebound_globals(module, restore_globals):
    """A successor rebound to a run of another file each time, over a fake
    database that always answers, recurses without end: it must stop at
    the recursion limit instead of overflowing the C stack."""

    class Answers:
        def connect(self, path):
            return self

        def execute(self, sql):
            return self

        def fetchone(self):
            return ("2501",) if "MIN" in self.sql else ("2503",)

        def __getattribute__(self, name):
            if name == "execute":
                return lambda sql: (object.__setattr__(self, "sql", sql), self)[1]
            return object.__getattribute__(self, name)

    restore_globals["duckdb"] = Answers()
    paths = itertools.count()
    restore_globals["_next_donem"] = lambda d: module.patch_eus_gaps(f"x{next(paths)}")
    with pytest.raises(RecursionError):
        module.patch_eus_gaps("x")

