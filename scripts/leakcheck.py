"""Runs both functions over their successful and failing paths many times and
shows that the module itself keeps nothing.

    python scripts/leakcheck.py [--quick]

duckdb and pandas may keep a little memory per call of their own; what they
keep is the same whether the module or plain Python calls them.  So each
path has a baseline: the same calls made by scripts/transcription.py (plain
Python) in the same process.  After both have warmed up (until the module
grows no faster than the baseline, or for a long while), six windows of the
module's calls and six of the baseline's are measured: the growth per call
of the objects the collector tracks and of the memory Python's allocator
holds (tracemalloc).  The libraries' caches grow and shrink in steps now and
then, a leak grows in every window: a path leaks when both the smallest and
the median window of the module's exceed the baseline's by half the
smallest object per call, or when the reference counts of the objects passed
in change.  A leak does so on every measurement, a cache step only now and
then: a path that shows growth is warmed up and measured again, up to
ATTEMPTS times, and leaks when every measurement shows it.  Exits 1 if any
path leaks.
"""
import contextlib
import gc
import shutil
import statistics
import struct
import sys
import tempfile
import tracemalloc
from pathlib import Path

import duckdb

import velmora.pipeline.patch_eus as patch_eus
from velmora.pipeline.patch_eus import _next_donem, patch_eus_gaps

sys.path.insert(0, str(Path(__file__).resolve().parent))
import transcription  # noqa: E402

QUICK = "--quick" in sys.argv
# The smallest Python object takes four pointers' worth (16 or 32 bytes):
# one leaked per call shows as at least that much growth per call.
SMALLEST_OBJECT = 4 * struct.calcsize("P")
MEMORY_LIMIT = SMALLEST_OBJECT / 2
OBJECT_LIMIT = 1 / 2
ROUNDS = 6
ATTEMPTS = 3
WARM_UP_MOST = 30


def expect(exc, fn, *args, **kwargs):
    try:
        fn(*args, **kwargs)
    except exc:
        return
    raise AssertionError(f"{fn} did not raise {exc}")


class Text(str):
    pass


class Sink:
    """Standard output for the runs: takes each line and keeps nothing (a
    buffered file would hold up to a buffer's worth between flushes)."""

    def write(self, text):
        return len(text)

    def flush(self):
        pass


def make_db(path, rows, schema="muta VARCHAR, donem VARCHAR, eus_skor DOUBLE, eus_ihtimal DOUBLE"):
    con = duckdb.connect(str(path))
    con.execute(f"CREATE TABLE brz_eus_tahmin({schema})")
    for row in rows:
        con.execute("INSERT INTO brz_eus_tahmin VALUES (?, ?, ?, ?)", list(row))
    con.close()
    return path


def paths(tmp):
    # Firm names of more than one character: a leaked reference to one of
    # the interpreter's one-character strings would grow nothing.
    gaps = [("Firm A", "2506", 1.0, 0.1), ("Firm A", "2508", 2.0, None),
            ("Firm B", "2506", 1.0, 0.1), ("Firm B", "2508", 2.0, 0.2),
            ("Firm A", "2511", 1.0, 0.1), ("Firm A", "2601", 2.0, 0.2)]
    template = make_db(tmp / "template.duckdb", gaps)
    work = tmp / "work.duckdb"
    empty = make_db(tmp / "empty.duckdb", [])
    short = make_db(tmp / "short.duckdb", [("A", "2506", 1.0, 0.1)])
    no_gaps = make_db(tmp / "nogaps.duckdb",
                      [("Firm A", d, 1.0, 0.1) for d in ("2501", "2502", "2503")])
    text_scores = make_db(tmp / "text.duckdb", gaps,
                          "muta VARCHAR, donem VARCHAR, eus_skor VARCHAR, eus_ihtimal DOUBLE")
    no_table = tmp / "none.duckdb"
    duckdb.connect(str(no_table)).close()
    code, sub, bad = "2512", Text("2512"), "ab12"

    def full_run(fn):
        def run():
            shutil.copyfile(template, work)
            fn(work)
        return run

    def failing_insert(globals_, fn):
        # pandas rebound to hand out patch frames with an extra column.
        def run():
            shutil.copyfile(template, work)
            real = globals_["pd"]

            class Frames:
                DataFrame = staticmethod(lambda rows: real.DataFrame(rows).assign(extra=1))
                notna = staticmethod(real.notna)

            globals_["pd"] = Frames
            try:
                expect(duckdb.Error, fn, work)
            finally:
                globals_["pd"] = real
        return run

    t = transcription
    generic = type(_next_donem).__call__
    fast = 1500 if QUICK else 20000
    slow = 120 if QUICK else 1200
    files = [empty, short, no_gaps, template, work, no_table, text_scores]
    # A path keeps its text once made: a leaked reference to it shows there.
    watched = [code, sub, bad] + files + [str(f) for f in files]
    return watched, [
        ("_next_donem ok", fast, lambda: _next_donem(code), lambda: t._next_donem(code)),
        ("_next_donem other text", fast, lambda: _next_donem(" 2 12"),
         lambda: t._next_donem(" 2 12")),
        ("_next_donem by keyword", fast, lambda: _next_donem(d=code),
         lambda: t._next_donem(d=code)),
        ("_next_donem ValueError", fast, lambda: expect(ValueError, _next_donem, bad),
         lambda: expect(ValueError, t._next_donem, bad)),
        ("_next_donem str subclass", fast, lambda: expect(TypeError, _next_donem, sub),
         lambda: t._next_donem(sub)),
        ("_next_donem None", fast, lambda: expect(TypeError, _next_donem, None),
         lambda: expect(TypeError, t._next_donem, None)),
        ("binding: no argument", fast, lambda: expect(TypeError, _next_donem),
         lambda: expect(TypeError, t._next_donem)),
        ("binding: two arguments", fast, lambda: expect(TypeError, _next_donem, code, code),
         lambda: expect(TypeError, t._next_donem, code, code)),
        ("binding: multiple values", fast, lambda: expect(TypeError, _next_donem, code, d=code),
         lambda: expect(TypeError, t._next_donem, code, d=code)),
        ("binding: unexpected keyword", fast, lambda: expect(TypeError, patch_eus_gaps, x=code),
         lambda: expect(TypeError, t.patch_eus_gaps, x=code)),
        ("binding: generic form", fast, lambda: generic(_next_donem, d=code),
         lambda: t._next_donem(d=code)),
        ("patch: empty table", slow, lambda: patch_eus_gaps(empty),
         lambda: t.patch_eus_gaps(empty)),
        ("patch: <3 periods", slow, lambda: patch_eus_gaps(short),
         lambda: t.patch_eus_gaps(short)),
        ("patch: full run", slow, full_run(patch_eus_gaps), full_run(t.patch_eus_gaps)),
        ("patch: zero gaps", slow, lambda: patch_eus_gaps(no_gaps),
         lambda: t.patch_eus_gaps(no_gaps)),
        ("patch: missing table", slow, lambda: expect(duckdb.Error, patch_eus_gaps, no_table),
         lambda: expect(duckdb.Error, t.patch_eus_gaps, no_table)),
        ("patch: score arithmetic fails", slow,
         lambda: expect(TypeError, patch_eus_gaps, text_scores),
         lambda: expect(TypeError, t.patch_eus_gaps, text_scores)),
        ("patch: insert fails", slow, failing_insert(vars(patch_eus), patch_eus_gaps),
         failing_insert(vars(t), t.patch_eus_gaps)),
    ]


def growth(fn, calls):
    """(objects, bytes) the collector and the allocator gained per call."""
    gc.collect()
    objects = len(gc.get_objects())
    memory = tracemalloc.get_traced_memory()[0]
    for _ in range(calls):
        fn()
    gc.collect()
    return ((len(gc.get_objects()) - objects) / calls,
            (tracemalloc.get_traced_memory()[0] - memory) / calls)


def settle(module_fn, baseline_fn, window):
    """Warms both sides up until the caches of the interpreter and the
    libraries are full: pandas and duckdb take up to a thousand runs on some
    versions.  Alternates windows until the module's growth has come within
    the limit of the baseline's twice in a row; a leak never does, and runs
    into the measured windows after WARM_UP_MOST rounds."""
    calm = 0
    for _ in range(WARM_UP_MOST):
        ours = growth(module_fn, window)[1]
        theirs = growth(baseline_fn, window)[1]
        calm = calm + 1 if ours - theirs <= MEMORY_LIMIT else 0
        if calm == 2:
            return


def excess(ours, theirs):
    """How much the module's windows grew beyond the baseline's: the smaller
    of the differences of the smallest windows and of the medians."""
    return min(min(ours) - min(theirs), statistics.median(ours) - statistics.median(theirs))


def windows(fn, calls):
    """The growth of ROUNDS windows of `calls` calls each.  A few calls first
    let the libraries drop what they kept from the other side's last call."""
    for _ in range(5):
        fn()
    return [growth(fn, calls) for _ in range(ROUNDS)]


def measure(watched, calls, module_fn, baseline_fn):
    """(objects, bytes, references) the module's calls kept beyond the
    baseline's, and the baseline's median bytes per call."""
    window = calls // ROUNDS
    with contextlib.redirect_stdout(Sink()):
        settle(module_fn, baseline_fn, window)
        gc.collect()
        refs = [sys.getrefcount(o) for o in watched]
        ours = windows(module_fn, window)
        theirs = windows(baseline_fn, window)
    # A leak raises every window of the module's, its smallest and its
    # median alike; the libraries' caches move single windows of either
    # side up or down.  The smaller of the two differences counts.
    objects = excess([g[0] for g in ours], [g[0] for g in theirs])
    memory = excess([g[1] for g in ours], [g[1] for g in theirs])
    refs = sum(sys.getrefcount(o) for o in watched) - sum(refs)
    return objects, memory, refs, statistics.median(g[1] for g in theirs)


def main():
    tmp = Path(tempfile.mkdtemp())
    watched, checks = paths(tmp)
    tracemalloc.start()
    failed = False
    print(f"{'path':32} {'calls':>6} {'objects/call':>13} {'bytes/call':>11} {'baseline':>9} "
          f"{'refs':>5} {'tries':>5}")
    for name, calls, module_fn, baseline_fn in checks:
        for attempt in range(1, ATTEMPTS + 1):
            objects, memory, refs, baseline = measure(watched, calls, module_fn, baseline_fn)
            leaking = objects > OBJECT_LIMIT or memory > MEMORY_LIMIT or refs != 0
            if not leaking:
                break
        failed |= leaking
        print(f"{name:32} {calls // ROUNDS * ROUNDS:6} {objects:13.2f} {memory:11.1f} "
              f"{baseline:9.1f} {refs:5} {attempt:5}" + ("  LEAK" if leaking else ""))
    shutil.rmtree(tmp)
    print("leak check:", "FAILED" if failed else "flat")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
