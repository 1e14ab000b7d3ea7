"""Every call the module makes into the host, made to fail in turn, in the
test-only build (make sweep): both functions' binding, _next_donem,
and whole repairs of small tables through the shortcut and
through iterrows.  Each failure must arrive as the host's exception,
unchanged (no crash, no SystemError), with the traceback entry of the
statement that failed, leave no reference behind, and leave the table as
it was unless the insert had committed."""
import contextlib
import decimal
import shutil

import pandas as pd
import pytest

from conftest import FAULT_NOTES, FAULT_TRIES, NEXT_DONEM, PATCH, make_db, patch_eus, table_rows
from sweeping import (
    AFTER_INSERT, NEXT_DONEM_LINES, PATCH_LINES, Sink, entries_allowed, injected,
    QUIET_FLOOR, is_the_injected, leaks, library_floor, module_entries, sweep,
)


class Repair:
    """A whole repair of a fresh copy of a small table."""

    def __init__(self, folder, rows):
        self.template = make_db(folder / "template.duckdb", rows)
        self.work = folder / "work.duckdb"
        self.before = table_rows(self.template)
        shutil.copyfile(self.template, self.work)
        with contextlib.redirect_stdout(Sink()):
            patch_eus.patch_eus_gaps(self.work)
        self.patched = table_rows(self.work)

    def __call__(self):
        shutil.copyfile(self.template, self.work)
        with contextlib.redirect_stdout(Sink()):
            return patch_eus.patch_eus_gaps(self.work)

    def problems(self, error, entries, place):
        found = []
        line = entries[-1][1] if entries and entries[0][0] == PATCH and len(entries) == 1 else None
        if not entries_allowed(entries, place, PATCH, PATCH_LINES):
            found.append(f"entries {entries}")
        held = table_rows(self.work)
        if held == self.patched and self.patched != self.before:
            if line not in AFTER_INSERT:
                found.append("the table holds the patch, but the failure came before the insert")
        elif held != self.before:
            found.append("the table holds neither the original nor the patch")
        elif line in AFTER_INSERT:
            found.append("the insert had committed, but the table is the original")
        return found


GAPS = [("Firm A", "2506", 1.0, 0.1), ("Firm A", "2508", 2.0, None),
        ("Firm B", "2506", 1.0, 0.1), ("Firm B", "2508", 2.0, 0.2),
        ("Firm A", "2511", 1.0, 0.1), ("Firm A", "2601", 2.0, 0.2)]
REPAIRS = {
    "repair, shortcut": GAPS,
    "repair, iterrows": GAPS,
    "repair, no gaps": [("Firm A", d, 1.0, 0.1) for d in ("2501", "2502", "2503")],
    "repair, two periods": [("Firm A", "2511", 1.0, 0.1), ("Firm A", "2512", 2.0, 0.2)],
    "repair, empty table": [],
}


class Text(str):
    pass


# Calls of the two functions outside a repair: what each must return
# without injection, the function its entries name, and its lines.
CALLS = {
    "_next_donem, four digits": (lambda: patch_eus._next_donem("2512"), "2601"),
    "_next_donem, other codes": (
        lambda: [patch_eus._next_donem(d) for d in ("251", "-112", "9912", "0012")],
        ["2502", "0001", "10001", "0101"]),
    "_next_donem, generic call by keyword": (
        lambda: patch_eus._next_donem.__call__(d="2512"), "2601"),
    "_next_donem, keyword of a str subclass": (
        lambda: patch_eus._next_donem(**{Text("d"): "2512"}), "2601"),
    "_next_donem, argument of a str subclass": (
        lambda: patch_eus._next_donem(Text("2512")), TypeError),
    "the functions' repr": (lambda: repr(patch_eus._next_donem)[:21], "<function _next_donem"),
    "_next_donem bound to an instance": (
        lambda: type(Holder().successor).__name__, "method"),
    "__annotations__ made anew": (lambda: fresh_annotations(), {}),
}


class Holder:
    successor = patch_eus._next_donem


def fresh_annotations():
    fn = patch_eus._next_donem
    kept = fn.__annotations__
    del fn.__annotations__
    try:
        return fn.__annotations__
    finally:
        fn.__annotations__ = kept


@pytest.mark.parametrize("name", list(REPAIRS))
def test_every_failure_of_a_repair(name, tmp_path, monkeypatch):
    repair = Repair(tmp_path, REPAIRS[name])
    if name == "repair, iterrows":
        # pandas' own method behind a wrapper: the shortcut is not taken.
        plain = pd.DataFrame.iterrows
        monkeypatch.setattr(pd.DataFrame, "iterrows", lambda self: plain(self))
    floor = library_floor(repair)
    FAULT_NOTES[f"failure sweep: {name}"].append(
        f"the library's own floor: {floor:.1f} memory blocks a run"
        + ("" if floor < QUIET_FLOOR else "; memory not measured, references only"))
    calls, found, places = sweep(name, repair, repair.problems, floor,
                                 refloor=lambda: library_floor(repair, warm=5))
    assert not found, "\n".join(found)
    # Each of the two ways of reading the frame is what was swept.
    if name in ("repair, shortcut", "repair, iterrows"):
        assert any(p.startswith("shortcut/frame") for p in places) == (name == "repair, shortcut")


class Score(float):
    pass


class ListRows(pd.DataFrame):
    """A frame whose rows come as lists, not tuples."""

    def iterrows(self):
        return ([index, row] for index, row in super().iterrows())


def odd_values():
    """A frame whose scores and probabilities take the search's other
    paths: floats of a subclass whose sum overflows, decimals, and
    probabilities that pandas' notna is asked about; its rows come as
    lists."""
    return ListRows({
        "muta": ["A", "A", "B", "B", "C", "C"],
        "donem": ["2501", "2503"] * 3,
        "eus_skor": pd.Series([Score(1e308), Score(1.5e308), decimal.Decimal("1.5"),
                               decimal.Decimal("2.5"), 1.0, 3.0], dtype=object),
        "eus_ihtimal": pd.Series([decimal.Decimal("0.1"), decimal.Decimal("0.2"), None, 0.5,
                                  0.25, float("nan")], dtype=object)})


def test_every_failure_of_the_gap_search_on_other_values():
    """Through the tests' probe of the gap search, which reports the lookup
    it built too (its own failures carry no entry)."""
    frame, calendar = odd_values(), ["2501", "2502", "2503"]
    probe = type(patch_eus.patch_eus_gaps)._gap_rows

    def run():
        return probe(frame, calendar, True)

    taken, _, rows = run()
    assert not taken and len(rows) == 3

    def problems(error, entries, place):
        if entries == [] and place.startswith(("module/functions.cpp", "shortcut/compact")):
            return []
        if not entries_allowed(entries, place, PATCH, PATCH_LINES):
            return [f"entries {entries}"]
        return []

    calls, found, _ = sweep("gap search, other values", run, problems)
    assert not found, "\n".join(found)


@pytest.mark.parametrize("name", list(CALLS))
def test_every_failure_of_a_call(name):
    action, expected = CALLS[name]
    function = NEXT_DONEM

    def run():
        try:
            return action()
        except TypeError:
            if expected is TypeError:
                return TypeError
            raise

    assert run() == expected

    def problems(error, entries, place):
        if not entries_allowed(entries, place, function, NEXT_DONEM_LINES):
            return [f"entries {entries}"]
        return []

    calls, found, _ = sweep(name, run, problems)
    assert calls > 0 and not found, "\n".join(found)


def test_a_failure_while_reporting_a_failure_keeps_the_first(tmp_path):
    """The traceback entry is made with calls of its own: when one of them
    fails, the first exception arrives as it was, without that entry."""
    repair = Repair(tmp_path, GAPS)
    _, _, calls, _ = injected(repair, [])
    seen = 0
    for k in range(1, calls + 1, max(1, calls // 12)):
        for then in (1, 2, 3):
            _, error, _, fired = injected(repair, [k, k + then])
            assert error is not None and is_the_injected(error, fired), (k, then, fired, error)
            entries = module_entries(error.__traceback__)
            if len(fired) == 2 and fired[1][1].startswith("host/failure.cpp"):
                seen += 1
                assert len(entries) <= 1 and set(entries) <= {(PATCH, line) for line in PATCH_LINES}
    assert seen > 0


@pytest.mark.parametrize("kept, refloor", [(0, None), (0, 0.0), (1, None), (1, 0.0), (2, 0.5)])
def test_the_leak_measure_sees_memory_alone(tmp_path, kept, refloor):
    """A repair that keeps `kept` new objects a run (memory only: no
    reference the measure watches) leaks; one that keeps none does not,
    whatever the floor measured again says."""
    repair, keep = Repair(tmp_path, REPAIRS["repair, two periods"]), []
    floor = library_floor(repair)

    def run():
        keep.extend(object() for _ in range(kept))
        return repair()

    grew = leaks(run, [], floor, None if refloor is None else lambda: refloor)
    assert (grew is not None) == (kept > 0), grew
