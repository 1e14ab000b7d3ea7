"""The failure sweep of a process's first use of the module: its load, and
its first repair (its first hold on a file), each call failing in turn in
a child of a process that never loaded the module."""
import pytest

from conftest import FAULT_TRIES, INIT, INJECTION_CONTROL, PATCH, make_db, run_isolated
from sweeping import INIT_LINES, PATCH_LINES, entries_allowed


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
    for loaded in [m for m in sys.modules if m == "pathlib" or m.startswith("pathlib.")]:
        del sys.modules[loaded]
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
    seen = run_isolated(LOADING, args=(INJECTION_CONTROL, what, empty))
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
