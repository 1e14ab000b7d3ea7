"""Repairs of one database file from several threads of a process run one
at a time, whatever the spelling of the path; repairs of different files
run side by side; a repair nested inside its own run, and a process forked
while a file is held, are handled."""
import json
import os
import pathlib

import pytest

from conftest import GAPPY_TABLE, PATCH, make_db, module_entries, run_isolated, table_rows

TESTS = pathlib.Path(__file__).parent

# What every scenario runs in a fresh interpreter: the threads' repairs
# through a duckdb whose connections hold each run at its INSERT until
# every thread is there, or until the patience runs out.  Runs that
# overlapped would all be inside at once and each insert the same rows;
# runs one at a time each pass the gate alone, after the short patience.
# Runs on different files must all arrive, within the long one (emulated
# boards are slow).
SHORT_PATIENCE, LONG_PATIENCE = 1.5, 60

# Both scenarios run in a fresh interpreter, each thread's report kept
# apart (standard output is one for the whole process).
PROLOGUE = """
import contextlib, io, json, os, sys, threading, time
sys.path.insert(0, sys.argv[1])
import duckdb
from conftest import GAPPY_TABLE, make_db, table_rows, patch_eus


class ByThread(io.TextIOBase):
    def __init__(self):
        self.texts = {}

    def write(self, text):
        name = threading.current_thread().name
        self.texts[name] = self.texts.get(name, "") + text
        return len(text)


out = ByThread()
"""

SCENARIO = PROLOGUE + """
folder, spellings, files = sys.argv[2], json.loads(sys.argv[3]), json.loads(sys.argv[4])
os.chdir(folder)
for name in files:
    make_db(os.path.join(folder, name), select=GAPPY_TABLE.format(firms=20))
# The same file under other names.
os.symlink("db.duckdb", "link.duckdb")
os.link("db.duckdb", "hard.duckdb")
reference = os.path.join(folder, "reference.duckdb")
make_db(reference, select=GAPPY_TABLE.format(firms=20))
with contextlib.redirect_stdout(io.StringIO()):
    patch_eus.patch_eus_gaps(reference)
expected = table_rows(reference)
os.remove(reference)


class Gate:
    def __init__(self, parties, patience):
        self.parties, self.patience = parties, patience
        self.arrived, self.opened_by = 0, None
        self.cond = threading.Condition()

    def wait(self):
        with self.cond:
            self.arrived += 1
            if self.arrived == self.parties and self.opened_by is None:
                self.opened_by = "arrivals"
            self.cond.notify_all()
            if not self.cond.wait_for(lambda: self.opened_by, self.patience):
                self.opened_by = "patience"
            self.cond.notify_all()


gate = Gate(len(spellings), float(sys.argv[5]))


class Held:
    def __init__(self, con):
        self._con = con

    def execute(self, sql, *args):
        if sql.startswith("INSERT"):
            gate.wait()
        return self._con.execute(sql, *args)

    def __getattr__(self, name):
        return getattr(self._con, name)


class Duckdb:
    def connect(self, path):
        return Held(duckdb.connect(path))


patch_eus.duckdb = Duckdb()
start = threading.Barrier(len(spellings))
outcomes = [None] * len(spellings)


def run(k):
    start.wait()
    try:
        patch_eus.patch_eus_gaps(spellings[k])
        outcomes[k] = out.texts.get(threading.current_thread().name, "")
    except Exception as error:
        outcomes[k] = "%s: %s" % (type(error).__name__, error)


threads = [threading.Thread(target=run, args=(k,)) for k in range(len(spellings))]
with contextlib.redirect_stdout(out):
    for t in threads:
        t.start()
    for t in threads:
        t.join()
print(json.dumps({"outcomes": outcomes, "gate": gate.opened_by,
                  "same": [table_rows(os.path.join(folder, n)) == expected for n in files]}))
"""

INSERTED = "rows inserted ("
NO_GAPS = "  patch_eus_gaps: 0 single-period gaps found\n"


@pytest.mark.parametrize("spellings, files", [
    (["db.duckdb"] * 2, ["db.duckdb"]),
    (["db.duckdb"] * 4, ["db.duckdb"]),
    (["db.duckdb"] * 8, ["db.duckdb"]),
    (["{dir}/db.duckdb", "{dir}/./db.duckdb"], ["db.duckdb"]),
    (["{dir}/db.duckdb", "{dir}/link.duckdb"], ["db.duckdb"]),
    (["{dir}/db.duckdb", "{dir}/hard.duckdb"], ["db.duckdb"]),
    (["db.duckdb", "{dir}/db.duckdb", "../{base}/db.duckdb"], ["db.duckdb"]),
    # HOME is the folder here: DuckDB reads "~" as the home folder too.
    (["~/db.duckdb", "{dir}/db.duckdb"], ["db.duckdb"]),
    # Different files: both are inside their runs at the same moment.
    (["db.duckdb", "other.duckdb"], ["db.duckdb", "other.duckdb"]),
], ids=["2 threads", "4 threads", "8 threads", "./", "symlink", "hard link",
        "relative and absolute", "home folder", "two files"])
def test_threads_on_one_file_patch_it_once(tmp_path, spellings, files):
    spelt = [s.format(dir=tmp_path, base=tmp_path.name) for s in spellings]
    patience = LONG_PATIENCE if len(files) > 1 else SHORT_PATIENCE
    seen = run_isolated(SCENARIO, args=(TESTS, tmp_path, json.dumps(spelt), json.dumps(files),
                                        patience), env={"HOME": str(tmp_path)})
    outcomes = seen["outcomes"]
    assert all(INSERTED in o or o == NO_GAPS for o in outcomes), outcomes
    # One run per file inserts the patch; every other finds nothing to do.
    assert sum(INSERTED in o for o in outcomes) == len(files), outcomes
    assert seen["same"] == [True] * len(files)
    assert seen["gate"] == ("arrivals" if len(files) > 1 else "patience")


FORK = PROLOGUE + """
from conftest import write_coverage_counts
db = sys.argv[2]
make_db(db, select=GAPPY_TABLE.format(firms=5))
hold, connected = threading.Event(), []
# The child's DuckDB starts no thread (below); from 2.0 on that takes the
# asynchronous I/O threads too.
con = duckdb.connect()
no_threads = {"threads": 1}
if con.execute("SELECT count(*) FROM duckdb_settings() WHERE name = 'async_threads'").fetchone()[0]:
    no_threads["async_threads"] = 0
con.close()


class Duckdb:
    def connect(self, path):
        connected.append(threading.current_thread().name)
        if threading.current_thread().name == "first":
            hold.wait()
        return duckdb.connect(path)


patch_eus.duckdb = Duckdb()
sys.stdout, real_stdout = out, sys.stdout


def run():
    patch_eus.patch_eus_gaps(db)


first = threading.Thread(target=run, name="first")
first.start()
while not connected:
    time.sleep(0.01)
# The first run holds the file: a second one waits before its connect.
second = threading.Thread(target=run, name="second")
second.start()
time.sleep(0.5)
second_waited = connected == ["first"]
child = os.fork()
if child == 0:
    # Only this thread lives on in the child, and it holds nothing.  Its
    # DuckDB starts no thread: qemu's user mode (the ARM suites) cannot
    # start one in a child forked from a process with threads.
    class NoThreads:
        def connect(self, path):
            return duckdb.connect(path, config=no_threads)

    patch_eus.duckdb = NoThreads()
    patch_eus.patch_eus_gaps(db)
    # Out at once: at the interpreter's exit duckdb would wait for the
    # threads of what the parent had made (its default connection), which
    # the child lacks.  A coverage build writes its counts first.
    write_coverage_counts()
    os._exit(0 if "rows inserted" in out.texts.get("MainThread", "") else 3)
for _ in range(600):
    done, status = os.waitpid(child, os.WNOHANG)
    if done:
        break
    time.sleep(0.1)
else:
    os.kill(child, 9)
    status = "hung"
hold.set()
first.join()
second.join()


# A fork by the thread whose repair holds the file (from its report): in
# the child that run goes on, and holds the file still.
class Forking(io.TextIOBase):
    child = None

    def write(self, text):
        if Forking.child is None:
            Forking.child = os.fork()
            if Forking.child == 0:
                # Out at once, without closing what the parent has open.
                try:
                    patch_eus.patch_eus_gaps(db)
                except RuntimeError:
                    os._exit(0)
                os._exit(5)
        return len(text)


patch_eus.duckdb = duckdb
sys.stdout = Forking()
patch_eus.patch_eus_gaps(db)
_, forked_while_held = os.waitpid(Forking.child, 0)
sys.stdout = real_stdout
print(json.dumps({"second_waited": second_waited, "child": status, "printed": out.texts,
                  "rows": len(table_rows(db)), "forked_while_held": forked_while_held}))
"""


def test_a_fork_does_not_inherit_a_held_file(tmp_path):
    db = tmp_path / "db.duckdb"
    seen = run_isolated(FORK, args=(TESTS, db))
    assert seen["second_waited"]
    assert seen["child"] == 0  # the child repaired the file at once
    assert seen["forked_while_held"] == 0  # its own run's file stays held in the child
    # The child's patch is in; both runs of the parent then find no gaps.
    assert seen["printed"] == {"first": NO_GAPS, "second": NO_GAPS}
    reference = make_db(tmp_path / "reference.duckdb", select=GAPPY_TABLE.format(firms=5))
    assert len(table_rows(reference)) < seen["rows"]


class Nested:
    """A duckdb whose first connect, a standard output whose first write,
    or a successor whose first call starts a repair of the same file under
    another name."""

    def __init__(self, module, real, spelling):
        self.module, self.real, self.spelling, self.inner = module, real, spelling, []
        self.successor = module._next_donem

    def nest(self):
        if not self.inner:
            try:
                self.module.patch_eus_gaps(self.spelling)
            except RuntimeError as error:
                self.inner.append(error)
                raise
            self.inner.append(None)

    def connect(self, path):
        self.nest()
        return self.real.connect(path)

    def write(self, text):
        self.nest()
        return len(text)

    def __call__(self, d):
        self.nest()
        return self.successor(d)

    def flush(self):
        pass


@pytest.mark.parametrize("route, outer_line", [("connect", 34), ("successor", 50),
                                               ("print", 109)])
def test_a_repair_nested_in_its_own_run_is_refused(module, restore_globals, tmp_path,
                                                   monkeypatch, capsys, route, outer_line):
    import duckdb
    from test_patch_run import EXAMPLE, EXAMPLE_PATCHES, inserted

    db = make_db(tmp_path / "scores.duckdb", EXAMPLE)
    before = table_rows(db)
    alias = tmp_path / "alias.duckdb"
    alias.symlink_to(db)
    nested = Nested(module, duckdb, str(alias))
    if route == "connect":
        restore_globals["duckdb"] = nested
    elif route == "successor":
        restore_globals["_next_donem"] = nested
    else:
        monkeypatch.setattr("sys.stdout", nested)
    with pytest.raises(RuntimeError) as info:
        module.patch_eus_gaps(db)
    inner, = nested.inner
    assert info.value is inner
    assert str(inner) == f"patch_eus_gaps: a repair of {str(alias)!r} is already running on this thread"
    assert module_entries(inner.__traceback__) == [(PATCH, outer_line), (PATCH, 34)]
    # The outer run had inserted its patch when its report failed, not
    # before its connect; either way the file is free again afterwards.
    monkeypatch.undo()
    restore_globals.update(duckdb=duckdb, _next_donem=nested.successor)
    after = table_rows(db)
    assert inserted(before, after) == (EXAMPLE_PATCHES if route == "print" else [])
    module.patch_eus_gaps(db)
    assert inserted(before, table_rows(db)) == EXAMPLE_PATCHES


def test_a_run_waiting_for_its_file_answers_signals(module, restore_globals, tmp_path):
    import signal
    import threading

    import duckdb
    from test_patch_run import EXAMPLE

    class Interrupted(Exception):
        pass

    def interrupt(signum, frame):
        raise Interrupted()

    db = make_db(tmp_path / "scores.duckdb", EXAMPLE)
    holding, release = threading.Event(), threading.Event()

    class Holder:
        def connect(self, path):
            if threading.current_thread().name == "holder":
                holding.set()
                release.wait()
            return duckdb.connect(path)

    restore_globals["duckdb"] = Holder()
    holder = threading.Thread(target=module.patch_eus_gaps, args=(db,), name="holder")
    previous = signal.signal(signal.SIGUSR1, interrupt)
    try:
        holder.start()
        holding.wait()
        threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGUSR1)).start()
        with pytest.raises(Interrupted) as info:
            module.patch_eus_gaps(db)
        assert module_entries(info.value.__traceback__) == [(PATCH, 34)]
    finally:
        release.set()
        holder.join()
        signal.signal(signal.SIGUSR1, previous)
