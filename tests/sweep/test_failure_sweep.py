"""Every call the module makes into the host, made to fail in turn, in the
test-only build (make sweep): loading, both functions' binding,
_next_donem, and whole repairs of small tables through the shortcut and
through iterrows.  Each failure must arrive as the host's exception,
unchanged (no crash, no SystemError), with the traceback entry of the
statement that failed, leave no reference behind, and leave the table as
it was unless the insert had committed."""
import contextlib
import decimal
import gc
import importlib.machinery
import importlib.util
import io
import pathlib
import shutil
import statistics
import sys

import duckdb
import pandas as pd
import pytest

from conftest import (
    FAULT_TRIES, INIT, NEXT_DONEM, PATCH, make_db, module_entries, patch_eus, run_isolated,
    table_rows,
)

CONTROL = "velmora.pipeline._patch_eus_injection"


class Injected(MemoryError):
    """What a failing call of the host raises here: the host's calls fail
    when it runs out of memory (a MemoryError of its own, so that it is
    told from any other)."""


def load_control():
    """The failure injection's control module, from the module's library."""
    origin = importlib.util.find_spec("velmora.pipeline.patch_eus").origin
    loader = importlib.machinery.ExtensionFileLoader(CONTROL, origin)
    control = importlib.util.module_from_spec(
        importlib.util.spec_from_file_location(CONTROL, origin, loader=loader))
    loader.exec_module(control)
    return control


try:
    INJECTION = load_control()
except ImportError:
    pytest.skip("not the failure-injection build (make sweep, make coverage)",
                allow_module_level=True)

# The statements of patch_eus_gaps that can fail, and those after the
# insert had committed.
PATCH_LINES = {34, 37, 38, 40, 41, 42, 46, 48, 49, 50, 53, 54, 58, 60, 63, 64, 65, 68, 69, 70,
               71, 72, 75, 76, 77, 79, 81, 82, 83, 85, 87, 88, 90, 91, 98, 99, 102, 103, 104,
               105, 108, 109, 110, 111, 112, 113, 115}
AFTER_INSERT = {105, 108, 109, 110, 111, 112, 113, 115}
NEXT_DONEM_LINES = {13, 15, 16, 17, 19, 20}
INIT_LINES = {1, 7, 9, 10, 13, 23}

# The leak measure: a leak grows by at least one object on every run.
# duckdb keeps a little memory of its own per run (about 2 blocks per
# fetchdf with duckdb 2.0.1, 0.4 with 1.0.0, and some per insert, made by
# plain Python just the same): the growth of the same calls from plain
# Python is measured once per table, as the library's floor, and a point's
# memory leaks when it grows faster than the floor by one block a run over
# two single runs, and then by half a block a run over three longer windows
# after a warm-up.
# The references the module holds and those to the libraries and the
# module's objects must not grow at all.
QUICK, THOROUGH = (1, 2, 1, 1.0), (5, 3, 5, 0.5)  # warm-up, windows, runs a window, margin


def injected(action, points):
    """Runs `action` with the module's calls numbered `points` failing;
    (value, error, calls counted, [(call, place) that failed])."""
    INJECTION.arm(points, Injected)
    try:
        value, error = action(), None
    except BaseException as exc:  # noqa: B036 - every outcome is looked at
        value, error = None, exc
    finally:
        calls, fired = INJECTION.disarm()
    return value, error, calls, fired


def is_the_injected(error, fired):
    """Whether `error` is the failure injected at fired[0], as it was raised."""
    api, place = fired[0]
    if api == "operator new":  # std::bad_alloc, turned into the host's MemoryError
        return type(error) is MemoryError
    return type(error) is Injected and str(error) == f"{api} at {place}"


def entries_allowed(entries, place, function, lines):
    """The traceback entries a failure at `place` may carry in `function`:
    one for the failing statement; none for the binding's own checks (the
    type test, the generic form's conversion, the recursion check); and
    inside the calendar walk, the successor's own before line 50."""
    # (The function type's own slots, reached from attribute access, have no
    # statement.)
    if place.startswith(("module/binding.cpp", "module/function_type.cpp")) or \
            (place == ":0" and function == NEXT_DONEM):
        return entries in ([], [(function, 13 if function == NEXT_DONEM else 23)],
                           [(PATCH, 50)])
    if function == PATCH and place.startswith("period/next_donem.cpp"):
        return len(entries) == 2 and entries[0] == (PATCH, 50) and \
            entries[1][0] == NEXT_DONEM and entries[1][1] in NEXT_DONEM_LINES
    return len(entries) == 1 and entries[0][0] == function and entries[0][1] in lines


class Sink(io.TextIOBase):
    def write(self, text):
        return len(text)


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


def sweep(name, action, problems, floor=0.0):
    """Fails each of the calls `action` makes into the host in turn: the
    number of calls, the problems found (one line each), and the places of
    the module's sources the calls were made from."""
    _, error, calls, fired = injected(action, [])
    assert error is None and not fired, f"{name}: the run itself fails: {error!r}"
    found, places = [], set()
    for k in range(1, calls + 1):
        _, error, _, fired = injected(action, [k])
        if len(fired) != 1:
            found.append(f"{name}, call {k}: {len(fired)} calls failed")
            continue
        api, place = fired[0]
        places.add(place.split(":")[0])
        where = f"{name}, call {k} ({api} at {place})"
        if error is None:
            found.append(f"{where}: the failure was swallowed")
            continue
        if not is_the_injected(error, fired):
            found.append(f"{where}: arrived as {type(error).__name__}: {error}")
            continue
        entries = module_entries(error.__traceback__)
        found += [f"{where}: {p}" for p in problems(error, entries, place)]
        grew = leaks(action, [k], floor)
        if grew:
            found.append(f"{where}: leaks (blocks, references held, watched) {grew}")
        FAULT_TRIES[f"failure sweep: {name}"].append(
            f"{type(error).__name__}, {len(entries)} traceback entries")
    return calls, found, places


def leaks(action, points, floor):
    """What grew on every run of `action` failing at `points`, or None;
    `floor` is the library's own memory growth per run."""
    for warm, windows, runs, margin in (QUICK, THOROUGH):
        grew = leak_windows(action, points, warm, windows, runs)
        memory = all(blocks >= runs * (floor + margin) for blocks, _, _ in grew)
        references = any(all(window[m] >= runs for window in grew) for m in (1, 2))
        if not memory and not references:
            return None
    return grew


def library_floor(repair):
    """The memory growth per run of the library calls a repair makes, all
    of them, made from plain Python (scripts/transcription.py): a run that
    fails makes no more of them."""
    sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "scripts"))
    import transcription

    def plain():
        shutil.copyfile(repair.template, repair.work)
        with contextlib.redirect_stdout(Sink()):
            transcription.patch_eus_gaps(repair.work)

    grew = leak_windows(plain, [], 20, 3, 10)
    return statistics.median(blocks for blocks, _, _ in grew) / 10


def leak_windows(action, points, warm, windows, runs):
    """(memory blocks, references the module holds, references to the
    libraries and module objects) gained in each window of `runs` runs."""
    # A class made in Python, or by pybind11, counts its live instances in
    # its own references: a connection, frame or series left alive shows.
    watched = [duckdb, duckdb.DuckDBPyConnection, pd, pd.DataFrame, pd.Series, pd.notna,
               patch_eus, vars(patch_eus), patch_eus._next_donem, patch_eus.patch_eus_gaps]
    for _ in range(warm):
        injected(action, points)
    grew = []
    for _ in range(windows):
        gc.collect()
        blocks, held = sys.getallocatedblocks(), INJECTION.references()
        counts = sum(sys.getrefcount(o) for o in watched)
        for _ in range(runs):
            injected(action, points)
        gc.collect()
        grew.append((sys.getallocatedblocks() - blocks, INJECTION.references() - held,
                     sum(sys.getrefcount(o) for o in watched) - counts))
    return grew


@pytest.mark.parametrize("name", list(REPAIRS))
def test_every_failure_of_a_repair(name, tmp_path, monkeypatch):
    repair = Repair(tmp_path, REPAIRS[name])
    if name == "repair, iterrows":
        # pandas' own method behind a wrapper: the shortcut is not taken.
        plain = pd.DataFrame.iterrows
        monkeypatch.setattr(pd.DataFrame, "iterrows", lambda self: plain(self))
    floor = library_floor(repair)
    FAULT_TRIES[f"failure sweep: {name}"].append(
        f"the library's own floor: {floor:.1f} memory blocks a run")
    calls, found, places = sweep(name, repair, repair.problems, floor)
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


LOADING = """
import contextlib, gc, importlib, importlib.machinery, importlib.util, io, json, os, sys, types
import duckdb, pandas, pathlib  # loaded beforehand: the sweep is of the module's own calls
origin = importlib.util.find_spec("velmora.pipeline.patch_eus").origin
loader = importlib.machinery.ExtensionFileLoader(sys.argv[1], origin)
control = importlib.util.module_from_spec(
    importlib.util.spec_from_file_location(sys.argv[1], origin, loader=loader))
loader.exec_module(control)
name = "velmora.pipeline.patch_eus"


class Injected(MemoryError):
    pass


def entries(error):
    found, tb = [], error.__traceback__ if error else None
    while tb is not None:
        code = tb.tb_frame.f_code
        if code.co_filename == "src/velmora/pipeline/patch_eus":
            found.append((code.co_name, tb.tb_lineno))
        tb = tb.tb_next
    return found


def injected(points, action):
    control.arm(points, Injected)
    try:
        action()
        error = None
    except BaseException as exc:
        error = exc
    calls, fired = control.disarm()
    return error, calls, fired


def load():
    # pathlib comes through the import machinery, duckdb and pandas from
    # sys.modules: both ways of the module's imports.
    sys.modules.pop("pathlib", None)
    importlib.import_module(name)


def repair():
    with contextlib.redirect_stdout(io.StringIO()) as out:
        sys.modules[name].patch_eus_gaps(sys.argv[3])
    return out.getvalue()


# Each in a child of this process, which has never loaded the module: the
# load, or the first repair of a process (its first hold on a file).
def in_child(k):
    if sys.argv[2] == "first repair":
        load()
        error, calls, fired = injected([k] if k else [], repair)
    else:
        error, calls, fired = injected([k] if k else [], load)
    seen = {"k": k, "calls": calls, "fired": fired, "type": type(error).__name__ if error else None,
            "message": str(error), "entries": entries(error)}
    del error
    gc.collect()
    if sys.argv[2] == "first repair":
        seen["left"] = False
        seen["then"] = repair() == "  [SKIP] patch_eus_gaps: empty table\\n"
        return seen
    seen["left"] = name in sys.modules or any(
        isinstance(o, types.ModuleType) and getattr(o, "__name__", "") == name
        for o in gc.get_objects())
    error, _, _ = injected([], load)
    seen["then"] = error is None and sys.modules[name]._next_donem("2512") == "2601"
    return seen


outcomes, k, calls = [], 0, None
while calls is None or k <= calls:
    read, write = os.pipe()
    child = os.fork()
    if child == 0:
        os.close(read)
        os.write(write, json.dumps(in_child(k)).encode())
        os.close(write)
        # Out at once: duckdb used in a forked child aborts at the
        # interpreter's exit.  A coverage build writes its counts first.
        control.dump_coverage()
        os._exit(0)
    os.close(write)
    with os.fdopen(read) as pipe:
        text = pipe.read()
    _, status = os.waitpid(child, 0)
    if status != 0 or not text:
        outcomes.append({"k": k, "crash": status})
    else:
        seen = json.loads(text)
        if k == 0:
            calls = seen["calls"]
        else:
            outcomes.append(seen)
    k += 1
print(json.dumps({"outcomes": outcomes, "calls": calls}))
"""


@pytest.mark.parametrize("what", ["load", "first repair"])
def test_every_failure_of_a_first_use(what, tmp_path):
    """Loading, and the first repair of a process, each call failing in turn
    in a process of its own."""
    empty = make_db(tmp_path / "empty.duckdb", [])
    seen = run_isolated(LOADING, args=(CONTROL, what, empty))
    found = []
    for o in seen["outcomes"]:
        if "crash" in o:
            found.append(f"{what}, call {o['k']}: the process ended with status {o['crash']}")
            continue
        (api, place), = o["fired"]
        where = f"{what}, call {o['k']} ({api} at {place})"
        expected = ("MemoryError", None) if api == "operator new" else \
            ("Injected", f"{api} at {place}")
        if (o["type"], o["message"] if expected[1] else None) != expected:
            found.append(f"{where}: arrived as {o['type']}: {o['message']}")
        entries = [tuple(e) for e in o["entries"]]
        if what == "load":
            allowed = entries == [] or (len(entries) == 1 and entries[0][0] == INIT
                                        and entries[0][1] in INIT_LINES)
        else:
            allowed = entries_allowed(entries, place, PATCH, PATCH_LINES)
        if not allowed:
            found.append(f"{where}: entries {entries}")
        if o["left"]:
            found.append(f"{where}: a failed load left its module behind")
        if not o["then"]:
            found.append(f"{where}: the {what} after it did not work")
        FAULT_TRIES[f"failure sweep: {what}"].append(
            f"{o['type']}, {len(entries)} traceback entries")
    assert len(seen["outcomes"]) == seen["calls"] > (100 if what == "load" else 10)
    assert not found, "\n".join(found)
