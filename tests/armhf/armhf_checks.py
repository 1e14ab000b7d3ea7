"""Checks of the module's armv7l wheel, installed by pip and run under
user-mode emulation with Debian's armhf Python, numpy and pandas, and the
duckdb test double of tests/armhf/duckdb_double on sys.path (no duckdb
build exists for armhf).  scripts/armhf-check sets that up and runs this
file; the main suite never collects it."""
import inspect
import math
import pickle
import random
import sys
from importlib import metadata
from pathlib import Path

import duckdb
import pandas as pd
import pytest

import test_patch_run as run_cases
import test_random_tables as random_tables
import test_shortcut as shortcut
import test_wheel_tags as tags
from conftest import NEXT_DONEM, PATCH, make_db, module_entries
from test_loading import MODULE_DOC, PATCH_DOC, PATCH_LOCALS
from test_next_donem import reference_next

import velmora.pipeline.patch_eus as patch_eus


def test_this_is_the_armhf_build_and_the_double():
    assert duckdb.__version__ == "test double"
    assert patch_eus.__file__.endswith(".cpython-311-arm-linux-gnueabihf.so")
    assert sys.maxsize == 2**31 - 1


def test_the_module_is_the_installed_wheel():
    dist = metadata.distribution("velmora-pipeline-patch-eus")
    tags = [line.split(":", 1)[1].strip() for line in dist.read_text("WHEEL").splitlines()
            if line.startswith("Tag:")]
    assert tags and all(t.startswith("cp311-cp311-manylinux") and t.endswith("_armv7l")
                        for t in tags)
    installed = {Path(dist.locate_file(f)).resolve() for f in dist.files}
    assert Path(patch_eus.__file__).resolve() in installed


def test_loading_and_attributes():
    assert patch_eus.__doc__ == MODULE_DOC
    assert list(vars(patch_eus))[-7:] == [
        "__builtins__", "Path", "duckdb", "pd", "_next_donem", "patch_eus_gaps", "__test__"]
    for f, doc, line, names, signature in [
        (patch_eus._next_donem, "YYMM \u2192 next month. '2512' \u2192 '2601'.", 13,
         ("d", "yy", "mm"), "(d: 'str') -> 'str'"),
        (patch_eus.patch_eus_gaps, PATCH_DOC, 23, tuple(PATCH_LOCALS), "(db_path: 'Path')"),
    ]:
        assert f.__module__ == "velmora.pipeline.patch_eus" and f.__doc__ == doc
        assert str(inspect.signature(f)) == signature
        code = f.__code__
        assert (code.co_firstlineno, code.co_varnames, code.co_flags) == (line, names, 3)
        assert pickle.loads(pickle.dumps(f)) is f


@pytest.mark.parametrize(
    "call, message, entries",
    [
        (lambda m: m._next_donem(), "_next_donem() takes exactly 1 positional argument (0 given)",
         [(NEXT_DONEM, 13)]),
        (lambda m: m.patch_eus_gaps(1, 2),
         "patch_eus_gaps() takes exactly 1 positional argument (2 given)", [(PATCH, 23)]),
        (lambda m: m._next_donem("2512", d="2512"),
         "_next_donem() got multiple values for keyword argument 'd'", [(NEXT_DONEM, 13)]),
        (lambda m: m.patch_eus_gaps(path=1),
         "patch_eus_gaps() got an unexpected keyword argument 'path'", [(PATCH, 23)]),
        (lambda m: m._next_donem(2512),
         "Argument 'd' has incorrect type (expected str, got int)", []),
    ],
)
def test_binding_errors(call, message, entries):
    with pytest.raises(TypeError) as info:
        call(patch_eus)
    assert str(info.value) == message
    assert module_entries(info.value.__traceback__) == entries


def test_next_donem_against_its_model():
    rng = random.Random(11)
    alphabet = "0123456789" * 4 + " -+_a\u0665\u096712"
    codes = ["%04d" % n for n in range(10000)]
    codes += ["".join(rng.choice(alphabet) for _ in range(rng.randint(0, 7))) for _ in range(20000)]
    for d in codes:
        try:
            expected = reference_next(d)
        except ValueError as e:
            with pytest.raises(ValueError) as info:
                patch_eus._next_donem(d)
            assert str(info.value) == str(e)
        else:
            assert patch_eus._next_donem(d) == expected, d


def rows_of(path):
    con = duckdb.connect(str(path))
    rows = con.execute("SELECT * FROM brz_eus_tahmin").fetchall()
    con.close()
    return rows


def added(before, after):
    after = list(after)
    for row in before:
        after.remove(row)
    return sorted(after, key=repr)


def test_example_run(tmp_path, capsys):
    db = make_db(tmp_path / "scores.db", run_cases.EXAMPLE)
    before = rows_of(db)
    assert patch_eus.patch_eus_gaps(db) is None
    assert capsys.readouterr().out == run_cases.EXAMPLE_REPORT
    assert added(before, rows_of(db)) == sorted(run_cases.EXAMPLE_PATCHES, key=repr)
    patch_eus.patch_eus_gaps(str(db))
    assert capsys.readouterr().out == "  patch_eus_gaps: 0 single-period gaps found\n"


@pytest.mark.parametrize("seed", range(25))
def test_random_tables_against_the_model(tmp_path, capsys, seed):
    """Duplicates, missing probabilities, months without rows."""
    db = make_db(tmp_path / "scores.db", random_tables.random_rows(random.Random(seed)))
    before = rows_of(db)
    report, patches = random_tables.model(before)
    patch_eus.patch_eus_gaps(db)
    assert capsys.readouterr().out == report
    assert added(before, rows_of(db)) == sorted(patches, key=repr)


@pytest.mark.parametrize(
    "rows, schema, error, entries",
    [
        (None, None, duckdb.CatalogException, [(PATCH, 37)]),
        ([("A", "2501", 1.0, 0.1, 7), ("A", "2503", 2.0, 0.2, 7)],
         "muta TEXT, donem TEXT, eus_skor DOUBLE, eus_ihtimal DOUBLE, x INT",
         duckdb.BinderException, [(PATCH, 104)]),
        ([("A", "2501", "1.0", 0.1), ("A", "2503", "2.0", 0.2)],
         "muta TEXT, donem TEXT, eus_skor TEXT, eus_ihtimal DOUBLE", TypeError, [(PATCH, 85)]),
        ([("A", "25", 1.0, 0.1), ("A", "2601", 2.0, 0.2)], None, ValueError,
         [(PATCH, 50), (NEXT_DONEM, 15)]),
    ],
)
def test_failures_keep_their_lines(tmp_path, capsys, rows, schema, error, entries):
    db = tmp_path / "scores.db"
    if rows is None:
        duckdb.connect(str(db)).close()
    else:
        make_db(db, rows, **({"schema": schema} if schema else {}))
    before = rows_of(db) if rows else None
    with pytest.raises(error) as info:
        patch_eus.patch_eus_gaps(db)
    assert module_entries(info.value.__traceback__) == entries
    assert capsys.readouterr().out == ""
    if rows:
        assert rows_of(db) == before


@pytest.mark.parametrize("kind", ["objects", "floats", "int firms", "nullable"])
def test_shortcut_agrees_with_iterrows(kind):
    rng = random.Random(len(kind))
    taken = 0
    for _ in range(15):
        frame, calendar = shortcut.random_frame(rng, kind)
        fast = shortcut.outcome(patch_eus, frame, calendar, True)
        slow = shortcut.outcome(patch_eus, frame, calendar, False)
        if fast[0] == "error" or slow[0] == "error":
            assert fast == slow
            continue
        taken += fast[0]
        assert shortcut.same(tuple(fast[1]), tuple(slow[1]))
        assert shortcut.same_rows(fast[2], slow[2])
    if kind in ("floats", "int firms"):
        assert taken > 3


def test_rounding_and_large_means():
    frame = pd.DataFrame([("A", "2501", 0.25, 0.1234), ("A", "2503", 0.0, 0.12345),
                          ("B", "2501", 1e308, None), ("B", "2503", 1e308, None)],
                         columns=shortcut.COLUMNS)
    _, _, rows = shortcut.probe(patch_eus)(frame, ["2501", "2502", "2503"], True)
    by_firm = {r["muta"]: r for r in rows}
    assert (by_firm["A"]["eus_skor"], by_firm["A"]["eus_ihtimal"]) == (0.12, 0.1234)
    assert by_firm["B"]["eus_skor"] == 1e308 and not math.isinf(by_firm["B"]["eus_skor"])


def test_wheel_check_on_the_arm_module(tmp_path):
    """The build's tag check passes this module as armv7l only, and not
    once its hard-float flag (EF_ARM_ABI_FLOAT_HARD, e_flags bit 10) is
    cleared."""
    module = tags.module_bytes()
    tags.wheel_tags.check(tags.make_wheel(tmp_path, "manylinux_2_17_armv7l", {tags.MEMBER: module}))
    mislabelled = tags.make_wheel(tmp_path, "linux_x86_64", {tags.MEMBER: module})
    assert tags.refused(mislabelled) == (
        tags.MEMBER + " is 32-bit little-endian ARM, but the wheel is tagged linux_x86_64")
    soft = bytearray(module)
    assert soft[37] & 0x04
    soft[37] &= ~0x04
    (tmp_path / "soft").mkdir()
    soft_wheel = tags.make_wheel(tmp_path / "soft", "manylinux_2_17_armv7l", {tags.MEMBER: bytes(soft)})
    assert tags.refused(soft_wheel) == (
        tags.MEMBER + " is soft-float ARM, but manylinux_2_17_armv7l is hard-float")
