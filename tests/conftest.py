import json
import os
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


def make_db(path, rows=(), schema=SCHEMA):
    """A database file with the score table holding `rows`."""
    con = duckdb.connect(str(path))
    con.execute(f"CREATE TABLE brz_eus_tahmin({schema})")
    if rows:
        marks = ", ".join("?" * len(rows[0]))
        con.executemany(f"INSERT INTO brz_eus_tahmin VALUES ({marks})", list(rows))
    con.close()
    return path


def table_rows(path):
    con = duckdb.connect(str(path))
    try:
        return con.execute("SELECT * FROM brz_eus_tahmin ORDER BY ALL").fetchall()
    finally:
        con.close()


def run_isolated(code, *, python=None, args=()):
    """Runs `code` in a fresh interpreter; its last stdout line is JSON."""
    proc = subprocess.run(
        [python or sys.executable, *args, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=300,
        env={**os.environ, "PYTHONHASHSEED": "0"},
    )
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.strip().splitlines()[-1])


@pytest.fixture
def module():
    return patch_eus


@pytest.fixture
def restore_globals():
    """Puts back the module globals a test rebinds."""
    saved = dict(vars(patch_eus))
    yield vars(patch_eus)
    for name in ("duckdb", "pd", "_next_donem"):
        vars(patch_eus)[name] = saved[name]
