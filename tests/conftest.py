import collections
import importlib.machinery
import importlib.util
import json
import os
import pathlib
import subprocess
import sys
import textwrap

import duckdb
import pytest

import velmora.pipeline.patch_eus as patch_eus

SOURCE_FILE = "src/velmora/pipeline/patch_eus"
INIT = "init velmora.pipeline.patch_eus"
NEXT_DONEM = "velmora.pipeline.patch_eus._next_donem"
PATCH = "velmora.pipeline.patch_eus.patch_eus_gaps"

SCHEMA = "muta VARCHAR, donem VARCHAR, eus_skor DOUBLE, eus_ihtimal DOUBLE"


def module_entries(tb):
    """(function, line) of every traceback entry the module added."""
    entries = []
    while tb is not None:
        code = tb.tb_frame.f_code
        if code.co_filename == SOURCE_FILE:
            entries.append((code.co_name, tb.tb_lineno))
        tb = tb.tb_next
    return entries


# `firms` firms over 100 months (0101 to 0904), one cell in 31 left out:
# the cells left out are never next to each other, so every one of them
# that is not in the first or last month is a single gap (2,000 firms:
# 193,547 rows, 6,323 gaps).  Some probabilities are missing.
GAPPY_TABLE = """
    SELECT 'F' || lpad(CAST(f AS VARCHAR), 5, '0'),
           strftime(DATE '2001-01-01' + to_months(CAST(m AS INTEGER)), '%y%m'),
           ((f * 37 + m * 11) % 1000) / 100.0,
           CASE WHEN (f + m) % 9 = 0 THEN NULL ELSE ((f * 13 + m * 7) % 10000) / 10000.0 END
    FROM range({firms}) AS firms(f), range(100) AS months(m)
    WHERE (f * 7 + m * 13) % 31 <> 0
"""


def make_db(path, rows=(), schema=SCHEMA, select=None):
    """A database file with the score table holding `rows`, or the rows of
    the query `select` (for tables too large to pass row by row)."""
    con = duckdb.connect(str(path))
    con.execute(f"CREATE TABLE brz_eus_tahmin({schema})")
    # Many rows a statement: executemany runs one statement a row, which
    # for a thousand rows took seconds (minutes under emulation).
    rows = list(rows)
    for start in range(0, len(rows), 250):
        chunk = rows[start:start + 250]
        marks = "(" + ", ".join("?" * len(chunk[0])) + ")"
        con.execute(f"INSERT INTO brz_eus_tahmin VALUES {', '.join([marks] * len(chunk))}",
                    [value for row in chunk for value in row])
    if select:
        con.execute(f"INSERT INTO brz_eus_tahmin {select}")
    con.close()
    return path


def table_rows(path):
    con = duckdb.connect(str(path))
    try:
        return con.execute("SELECT * FROM brz_eus_tahmin ORDER BY ALL").fetchall()
    finally:
        con.close()


def run_isolated(code, *, python=None, args=(), env=None):
    """Runs `code` in a fresh interpreter (hash seed 0 unless `env` sets
    another); its last stdout line that is JSON (duckdb writes its progress
    bar to the same stdout when a query takes more than two seconds, from
    C's buffer, which is flushed last)."""
    proc = subprocess.run(
        [python or sys.executable, "-c", textwrap.dedent(code), *map(str, args)],
        capture_output=True,
        text=True,
        timeout=300,
        env={**os.environ, "PYTHONHASHSEED": "0", **(env or {})},
    )
    # A negative status is the signal that ended the interpreter (a crash).
    assert proc.returncode == 0, f"exit status {proc.returncode}\n{proc.stderr}"
    for line in reversed(proc.stdout.splitlines()):
        try:
            return json.loads(line)
        except ValueError:
            continue
    raise AssertionError(f"no JSON line in the output:\n{proc.stdout}\n{proc.stderr}")


INJECTION_CONTROL = "velmora.pipeline._patch_eus_injection"


def load_injection_control():
    """The failure injection's control module, from the module's library:
    only the test-only builds have it (ImportError otherwise)."""
    origin = importlib.util.find_spec("velmora.pipeline.patch_eus").origin
    loader = importlib.machinery.ExtensionFileLoader(INJECTION_CONTROL, origin)
    control = importlib.util.module_from_spec(
        importlib.util.spec_from_file_location(INJECTION_CONTROL, origin, loader=loader))
    loader.exec_module(control)
    return control


def write_coverage_counts():
    """A coverage build writes its counts now (for a forked child that
    leaves by os._exit); any other build has nothing to write."""
    try:
        control = load_injection_control()
    except ImportError:
        return
    control.dump_coverage()


def run_patch_isolated(path, prepare=""):
    """Runs patch_eus_gaps(path) in a fresh interpreter, after the imports
    and the statements `prepare` (limits, another user), and tells how it
    ended: "returned" with what it printed, or "raised" with the exception's
    type, message and the module's traceback entries."""
    return run_isolated(f"""
        import contextlib, io, json, os, sys
        sys.path.insert(0, {str(pathlib.Path(__file__).parent)!r})
        import duckdb
        from conftest import module_entries, patch_eus
        exec({textwrap.dedent(prepare)!r})
        printed = io.StringIO()
        outcome = {{"uid": os.geteuid()}}
        try:
            with contextlib.redirect_stdout(printed):
                patch_eus.patch_eus_gaps({str(path)!r})
            outcome["ended"] = "returned"
        except Exception as error:
            outcome.update(ended="raised", type=type(error).__name__, message=str(error),
                           duckdb_error=isinstance(error, duckdb.Error),
                           entries=module_entries(error.__traceback__))
        outcome["printed"] = printed.getvalue()
        print(json.dumps(outcome))
        """)


HERE = pathlib.Path(__file__).resolve().parent
# Folders of tests that run only when named.
NAMED_ONLY = (HERE / "faults", HERE / "sweep", HERE / "powercut")


def pytest_ignore_collect(collection_path, config):
    """The fault tests in tests/faults (kills, full disks, locks, damaged
    files: a minute or two), the failure sweep in tests/sweep (it needs
    the test-only build) and the power-cut simulation in tests/powercut (a
    minute or more) run only when named, `pytest tests/faults` or a file or
    test in there; `pytest tests` leaves them out."""
    folder = pathlib.Path(collection_path).resolve()
    if folder not in NAMED_ONLY:
        return None
    for arg in config.args:
        named = pathlib.Path(config.invocation_params.dir, arg.split("::")[0]).resolve()
        if named == folder or folder in named.parents:
            return None
    return True


# What each fault test tried and saw, by fault, and what it measured on the
# way (not a try of its own); printed after the run.
FAULT_TRIES = collections.defaultdict(list)
FAULT_NOTES = collections.defaultdict(list)


def pytest_terminal_summary(terminalreporter):
    if not FAULT_TRIES:
        return
    terminalreporter.section("fault tries")
    for fault, outcomes in FAULT_TRIES.items():
        counts = collections.Counter(outcomes)
        terminalreporter.write_line(f"{fault}: {len(outcomes)} tries")
        for outcome, count in counts.most_common():
            terminalreporter.write_line(f"  {count:3} x {outcome}")
        for note in FAULT_NOTES.get(fault, []):
            terminalreporter.write_line(f"        {note}")


@pytest.fixture
def module():
    return patch_eus


@pytest.fixture
def restore_globals():
    """Puts back the module globals a test rebinds."""
    saved = dict(vars(patch_eus))
    yield vars(patch_eus)
    # Put everything back in its original order.
    vars(patch_eus).clear()
    vars(patch_eus).update(saved)


class Injected(Exception):
    """Raised by a Recorder at the call it was told to fail."""


def _unwrap(value):
    return object.__getattribute__(value, "_target") if isinstance(value, Recorder) else value


class Recorder:
    """Stands in for a real duckdb or pandas object: forwards every method
    call, records it as (method, args) in a shared log, and wraps whatever
    duckdb or pandas object the call returns, so that calls on those are
    recorded too.  With `fail` = (method, n) the n-th call of that method
    (counted from 1) raises Injected instead of running; with `replace` =
    (method, n, func) its result is replaced by func(result)."""

    def __init__(self, target, log, fail=None, replace=None, counts=None):
        object.__setattr__(self, "_target", target)
        object.__setattr__(self, "_log", log)
        object.__setattr__(self, "_fail", fail)
        object.__setattr__(self, "_replace", replace)
        object.__setattr__(self, "_counts", {} if counts is None else counts)

    def _wrap(self, value):
        module = type(value).__module__ or ""
        if module.startswith(("duckdb", "_duckdb", "pandas")) and not isinstance(value, type):
            return Recorder(value, self._log, self._fail, self._replace, self._counts)
        return value

    def _run(self, method, args, action):
        self._log.append((method, tuple(_unwrap(a) for a in args)))
        counts = self._counts
        counts[method] = counts.get(method, 0) + 1
        if self._fail == (method, counts[method]):
            raise Injected(method)
        result = action()
        if self._replace and self._replace[:2] == (method, counts[method]):
            return self._replace[2](result)
        return self._wrap(result)

    def __getattr__(self, name):
        value = getattr(self._target, name)
        if not callable(value) or isinstance(value, type) and name != "DataFrame":
            return value

        def call(*args, **kwargs):
            return self._run(name, args, lambda: value(*map(_unwrap, args), **kwargs))

        return call

    def __len__(self):
        return self._run("__len__", (), lambda: len(self._target))

    def __getitem__(self, key):
        return self._run("__getitem__", (key,), lambda: self._target[key])

    def __bool__(self):
        return bool(self._target)
