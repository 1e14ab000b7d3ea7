"""A repair interrupted from outside, killed at any moment or out of disk
space, leaves the table either as it was or with the whole patch, and a
rerun ends with exactly the rows of an uninterrupted run.

The repair runs in a child process on a table of about 200,000 rows with a
few percent of single gaps.  Every check afterwards runs in a fresh process
on the file as the child left it."""
import errno
import json
import os
import random
import select
import shutil
import signal
import subprocess
import sys
import time

import duckdb
import pytest

from conftest import (
    FAULT_TRIES, GAPPY_TABLE, PATCH, make_db, run_isolated, run_patch_isolated,
)

NO_GAPS = "  patch_eus_gaps: 0 single-period gaps found"

# The repair in a child process, with its connection wrapped so that each
# call on it writes a mark to the pipe `marks` as it begins and as it ends:
# [event, monotonic time, size of the file, size of its .wal or None].
# The wrapper passes every call on to the real connection unchanged.
WATCHED_RUN = """
import json, os, sys, time
import duckdb
import velmora.pipeline.patch_eus as patch_eus

path, marks = sys.argv[1], int(sys.argv[2])
STATEMENTS = {"SELECT MIN": "min", "SELECT MAX": "max", "SELECT mut": "read", "INSERT INT": "insert"}


def mark(event):
    sizes = [os.path.getsize(p) if os.path.exists(p) else None for p in (path, path + ".wal")]
    os.write(marks, (json.dumps([event, time.monotonic()] + sizes) + "\\n").encode())


class Watched:
    def __init__(self, con):
        self._con = con

    def __getattr__(self, name):
        method = getattr(self._con, name)

        def call(*args):
            step = STATEMENTS.get(args[0][:10], args[0]) if name == "execute" else name
            mark(step + " begins")
            result = method(*args)
            mark(step + " ends")
            return result

        return call


class WatchedDuckdb:
    def connect(self, database):
        mark("connect begins")
        con = Watched(duckdb.connect(database))
        mark("connect ends")
        return con


patch_eus.duckdb = WatchedDuckdb()
mark("start")
patch_eus.patch_eus_gaps(path)
mark("returned")
"""

# Where a child killed right after a mark was: the call that mark began,
# or the stretch of the run between two calls.
AFTER_MARK = {
    "start": "before connect",
    "connect ends": "between the calls", "min ends": "between the calls",
    "register ends": "between the calls", "max ends": "between the calls",
    "read ends": "fetching the rows and searching the gaps",
    "insert ends": "after the insert",
    "unregister ends": "printing the report",
    "close ends": "after close", "returned": "after the call returned",
}


def where(last_mark):
    if last_mark.endswith(" begins"):
        return "during " + last_mark[: -len(" begins")]
    return AFTER_MARK[last_mark]


class Marks:
    """The marks a watched child writes, read from the pipe as they come."""

    def __init__(self, fd):
        self.fd, self.pending, self.events, self.closed = fd, b"", [], False

    def read(self, timeout):
        if self.closed or not select.select([self.fd], [], [], max(timeout, 0))[0]:
            return
        chunk = os.read(self.fd, 65536)
        if not chunk:
            self.closed = True
            os.close(self.fd)
            return
        *lines, self.pending = (self.pending + chunk).split(b"\n")
        self.events += [json.loads(line) for line in lines]

    def wait_for(self, event, timeout=120):
        end = time.monotonic() + timeout
        while True:
            for mark in self.events:
                if mark[0] == event:
                    return mark
            if self.closed or time.monotonic() > end:
                return None
            self.read(end - time.monotonic())

    def until_closed(self, timeout=120):
        end = time.monotonic() + timeout
        while not self.closed and time.monotonic() < end:
            self.read(end - time.monotonic())

    def times(self):
        start = self.wait_for("start")[1]
        return {event: at - start for event, at, *_ in self.events}


def watched_run(path, kill_after=None, log=None):
    """Runs the repair on `path` in a child.  With `kill_after` = (mark,
    seconds) the child is killed with SIGKILL that long after it wrote that
    mark.  Returns the child's exit status and its marks."""
    read_end, write_end = os.pipe()
    with open(log or os.devnull, "w") as output:
        child = subprocess.Popen([sys.executable, "-c", WATCHED_RUN, str(path), str(write_end)],
                                 pass_fds=(write_end,), stdout=output, stderr=subprocess.STDOUT)
    os.close(write_end)
    marks = Marks(read_end)
    try:
        if kill_after:
            anchor, delay = kill_after
            seen = marks.wait_for(anchor)
            assert seen, f"the child ended before '{anchor}' (exit status {child.wait()})"
            # The child's clock is this process's: both are CLOCK_MONOTONIC.
            deadline = seen[1] + delay
            while not marks.closed and time.monotonic() < deadline:
                marks.read(deadline - time.monotonic())
            child.send_signal(signal.SIGKILL)
        child.wait(timeout=300)
        marks.until_closed()
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
    return child.returncode, marks


# A fresh process looks at the files interrupted runs left, one after the
# other: the state of the database file by itself when a .wal lies beside
# it, then whether it opens, its rows against the original and the
# uninterrupted run's, pairs (firm, period) held twice, whether a .wal is
# left after that open and close (and then what the file by itself holds),
# and two reruns, the first of which must leave no .wal.
CHECK = """
import contextlib, io, json, os, shutil, sys
import duckdb
import velmora.pipeline.patch_eus as patch_eus


# Which of the two the table holds, row for row: the count and a sum of row
# hashes pick the candidate, EXCEPT confirms it (the candidates hold no row
# twice, so with equal counts no row left over means the same rows).
def state(con):
    sql = "SELECT count(*), sum(hash(muta, donem, eus_skor, eus_ihtimal)) FROM {}brz_eus_tahmin"
    here = con.execute(sql.format("")).fetchone()
    for name, path in (("before_run", ORIGINAL), ("after_run", PATCHED)):
        con.execute(f"ATTACH '{path}' AS {name} (READ_ONLY)")
        if con.execute(sql.format(name + ".")).fetchone() == here and con.execute(
                f"SELECT count(*) FROM (SELECT * FROM brz_eus_tahmin"
                f"                      EXCEPT SELECT * FROM {name}.brz_eus_tahmin)"
                ).fetchone()[0] == 0:
            return name
    return "neither"


def rerun(path):
    printed = io.StringIO()
    with contextlib.redirect_stdout(printed):
        patch_eus.patch_eus_gaps(path)
    return printed.getvalue().splitlines()[0]


# What a copy of the database file without its .wal holds.
def alone(path):
    copy = path + ".alone"
    shutil.copy(path, copy)
    con = duckdb.connect(copy)
    held = state(con)
    con.close()
    os.remove(copy)
    return held


def look(path):
    seen = {"wal": os.path.exists(path + ".wal")}
    if seen["wal"]:
        seen["alone"] = alone(path)
    try:
        con = duckdb.connect(path)
    except duckdb.Error as error:
        seen["opens"] = repr(error)
        return seen
    seen["opens"] = True
    seen["rows"] = con.execute("SELECT count(*) FROM brz_eus_tahmin").fetchone()[0]
    seen["twice"] = con.execute(
        "SELECT count(*) FROM (SELECT muta, donem FROM brz_eus_tahmin"
        "                      GROUP BY muta, donem HAVING count(*) > 1)").fetchone()[0]
    seen["state"] = state(con)
    con.close()
    # Opened and closed once, the file takes in what a whole .wal held; a
    # torn one (the insert killed while writing it) may stay beside it.
    seen["wal_left"] = os.path.exists(path + ".wal")
    if seen["wal_left"]:
        seen["alone_after_open"] = alone(path)
    seen["rerun"] = rerun(path)
    seen["wal_after_rerun"] = os.path.exists(path + ".wal")
    con = duckdb.connect(path)
    seen["after_rerun"] = state(con)
    con.close()
    seen["again"] = rerun(path)
    return seen


print(json.dumps([look(path) for path in PATHS]))
"""


def check(paths, scores):
    """What a fresh process finds in each of the files `paths`."""
    return run_isolated(f"ORIGINAL, PATCHED, PATHS = {str(scores.original)!r}, "
                        f"{str(scores.patched)!r}, {[str(p) for p in paths]!r}\n" + CHECK)


def problems(seen, scores, *, held):
    """What is wrong with the file after an interrupted run, given what it
    should hold ("before_run", "after_run", or either)."""
    found = []
    if seen["opens"] is not True:
        return [f"does not open: {seen['opens']}"]
    if seen["rows"] not in (scores.rows, scores.rows + scores.patch_rows):
        found.append(f"{seen['rows']} rows, neither {scores.rows} nor {scores.rows} + "
                     f"{scores.patch_rows}")
    if seen["twice"]:
        found.append(f"{seen['twice']} pairs (firm, period) held twice")
    if seen["wal_left"]:
        # Only a torn .wal may stay: one that committed nothing, beside a
        # file that holds by itself what the two hold together.
        if seen["state"] != "before_run":
            found.append(f"a .wal was left after a fresh open and close, with {seen['state']}")
        if seen.get("alone", seen["state"]) != seen["state"]:
            found.append(f"the file alone held {seen['alone']}, with its .wal {seen['state']}")
        if seen["alone_after_open"] != seen["state"]:
            found.append(f"after a fresh open and close the file alone held "
                         f"{seen['alone_after_open']}, with its .wal {seen['state']}")
        if seen["wal_after_rerun"]:
            found.append("the rerun left the .wal")
    if seen["state"] not in held:
        found.append(f"holds {seen['state']}, expected {' or '.join(held)}")
    expected_rerun = scores.report if seen["state"] == "before_run" else NO_GAPS
    if seen["rerun"] != expected_rerun:
        found.append(f"rerun printed {seen['rerun']!r}")
    if seen["after_rerun"] != "after_run":
        found.append(f"after a rerun holds {seen['after_rerun']}, not the uninterrupted run's rows")
    if seen["again"] != NO_GAPS:
        found.append(f"a second rerun printed {seen['again']!r}")
    return found


HOLDS = {"before_run": "the original", "after_run": "the whole patch", "neither": "neither"}


class Scores:
    """The table, an uninterrupted run's result and its measured timeline."""


@pytest.fixture(scope="module")
def scores(tmp_path_factory):
    folder = tmp_path_factory.mktemp("scores")
    s = Scores()
    s.original = make_db(folder / "original.duckdb", select=GAPPY_TABLE.format(firms=2000))
    s.patched = folder / "patched.duckdb"
    timelines = []
    for run in range(3):
        target = s.patched if run == 0 else folder / f"measure{run}.duckdb"
        shutil.copy(s.original, target)
        status, marks = watched_run(target, log=folder / f"measure{run}.out")
        assert status == 0, (folder / f"measure{run}.out").read_text()
        timelines.append(marks.times())
        if run == 0:
            sizes = {event: (db, wal) for event, _, db, wal in marks.events}
    s.report = (folder / "measure0.out").read_text().splitlines()[0]
    con = duckdb.connect(str(s.original), read_only=True)
    s.rows = con.execute("SELECT count(*) FROM brz_eus_tahmin").fetchone()[0]
    con.close()
    s.patch_rows = int(s.report.split()[1])
    assert s.report == "  patch_eus_gaps: 6323 rows inserted (98 periods, 2000 firms)"

    def median(since, until):
        return sorted(t[until] - t[since] for t in timelines)[1]

    s.run_time = median("start", "returned")
    s.insert_time = median("insert begins", "insert ends")
    s.close_time = median("close begins", "close ends")
    s.file_size = sizes["start"][0]
    s.wal_size = sizes["insert ends"][1]
    s.patched_size = sizes["returned"][0]
    assert sizes["start"][1] is None and sizes["returned"][1] is None
    return s


def copy_of(scores, folder, name):
    target = folder / f"{name}.duckdb"
    shutil.copy(scores.original, target)
    return target


def test_killed_at_any_moment(scores, tmp_path):
    """SIGKILL at random moments spread over the measured run, and more
    during the insert and during the close: after each kill the file opens
    and holds the original or the whole patch, nothing twice, and a rerun
    ends with the uninterrupted run's rows."""
    seed = random.randrange(2**32)
    rng = random.Random(seed)
    spread = 6
    plan = [("start", (i + rng.random()) / spread * scores.run_time, None)
            for i in range(spread)]
    # A kill aimed at a call waits for its mark, then a random share of the
    # call's measured time; it is tried again (up to three tries) when the
    # call had ended by then.
    duration = {"insert": scores.insert_time, "close": scores.close_time}
    plan += [(f"{call} begins", None, call) for call, count in (("insert", 10), ("close", 5))
             for _ in range(count)]
    places, paths = [], []
    for anchor, delay, aim in plan:
        for attempt in range(3 if aim else 1):
            path = copy_of(scores, tmp_path, f"trial{len(paths)}")
            pause = rng.random() * duration[aim] if aim else delay
            status, marks = watched_run(path, kill_after=(anchor, pause))
            killed = status == -signal.SIGKILL
            places.append(f"killed {where(marks.events[-1][0])}" if killed else
                          f"completed (exit status {status})")
            paths.append(path)
            if places[-1] == f"killed during {aim}":
                break
    report = []
    for place, seen in zip(places, check(paths, scores)):
        found = problems(seen, scores, held=("before_run", "after_run"))
        report += [f"{place}: {'; '.join(found)}"] if found else []
        in_wal = seen["wal"] and seen.get("state") == "after_run"
        torn = seen.get("wal_left") and seen.get("state") == "before_run"
        FAULT_TRIES["SIGKILL"].append(
            f"{place}; then held {HOLDS.get(seen.get('state'), seen['opens'])}"
            f"{' (the patch in the .wal)' if in_wal else ''}"
            f"{' (a torn .wal beside it, left by a fresh open and close)' if torn else ''}")
    assert not report, f"random seed {seed}:\n" + "\n".join(report)
    assert sum(place.startswith("killed") for place in places) >= 15, places
    assert places.count("killed during insert") >= 3, places
    assert places.count("killed during close") >= 3, places


def full_disk_problems(outcome, seen, scores, reason):
    """What is wrong with a run that ran out of room, and what it did."""
    if outcome["ended"] == "raised":
        did = (f"the insert raised {outcome['type']}, the file held "
               f"{HOLDS.get(seen.get('state'), seen['opens'])}"
               f"{' (a torn .wal beside it, left by a fresh open and close)' if seen.get('wal_left') else ''}")
        clear = (outcome["duckdb_error"] and outcome["entries"] == [[PATCH, 104]]
                 and reason in outcome["message"])
        found = [] if clear else [f"not a clear error from the insert: {outcome}"]
        return did, found + problems(seen, scores, held=("before_run",))
    found = [] if outcome["printed"].splitlines()[:1] == [scores.report] else [
        f"returned without the report: {outcome['printed']!r}"]
    if seen["wal"]:
        # The checkpoint at close could not write the file: the patch is in
        # the .wal alone, and the next open replays it.
        did = ("returned normally with the patch only in the .wal (the file alone held "
               f"{HOLDS[seen['alone']]}); opened, it held {HOLDS.get(seen.get('state'))}")
        if seen["alone"] != "before_run":
            found.append(f"the file without its .wal holds {seen['alone']}")
    else:
        did = f"returned normally, the file held {HOLDS.get(seen.get('state'))}"
    return did, found + problems(seen, scores, held=("after_run",))


# Limits on the size of any file the child writes: within the .wal the
# insert writes (it cannot commit), and from the file's size to its size
# after the patch (the checkpoint at close cannot grow the file).
@pytest.mark.parametrize("within, share", [
    ("wal", 0.2), ("wal", 0.4), ("wal", 0.6), ("wal", 0.8), ("wal", 0.95),
    ("file", 0.0), ("file", 0.25), ("file", 0.5), ("file", 0.75), ("file", 1.0),
])
def test_disk_full(scores, tmp_path, within, share):
    """RLIMIT_FSIZE in the child, SIGXFSZ ignored: the run raises a clear
    error from the insert or completes; the file opens afterwards, holds
    the original or the whole patch, and a rerun without the limit ends
    with the uninterrupted run's rows."""
    if within == "wal":
        limit = int(share * scores.wal_size)
    else:
        limit = int(scores.file_size + share * (scores.patched_size - scores.file_size))
    path = copy_of(scores, tmp_path, "full")
    outcome = run_patch_isolated(path, prepare=f"""
        import resource, signal
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE,
                           ({limit}, resource.getrlimit(resource.RLIMIT_FSIZE)[1]))
        """)
    seen, = check([path], scores)
    did, found = full_disk_problems(outcome, seen, scores, os.strerror(errno.EFBIG))
    FAULT_TRIES["disk full (RLIMIT_FSIZE)"].append(did)
    assert not found, f"limit {limit} bytes: " + "; ".join(found)


def mount(*args):
    return subprocess.run(["mount", *args], capture_output=True, text=True)


def unmount(folder):
    return subprocess.run(["umount", str(folder)], capture_output=True).returncode == 0


@pytest.mark.parametrize("room", ["half the .wal", "the .wal, half the checkpoint",
                                  "the .wal and the checkpoint"])
def test_disk_full_on_a_small_filesystem(scores, tmp_path, room):
    """The same on a tmpfs just large enough for the file and part of what
    the run writes; after the run it is remounted larger for the checks."""
    if os.geteuid() != 0 or not shutil.which("mount"):
        pytest.skip("mounting a small filesystem needs root and mount")
    wal, checkpoint = scores.wal_size, scores.patched_size - scores.file_size
    extra = {"half the .wal": wal // 2, "the .wal, half the checkpoint": wal + checkpoint // 2,
             "the .wal and the checkpoint": wal + checkpoint + 65536}[room]
    pages = -(-(scores.file_size + extra) // 4096)
    folder = tmp_path / "small"
    folder.mkdir()
    mounted = mount("-t", "tmpfs", "-o", f"size={pages * 4096}", "tmpfs", str(folder))
    if mounted.returncode != 0:
        pytest.skip(f"cannot mount a tmpfs here: {mounted.stderr.strip()}")
    try:
        path = copy_of(scores, folder, "full")
        outcome = run_patch_isolated(path)
        assert mount("-o", "remount,size=256m", str(folder)).returncode == 0
        seen, = check([path], scores)
    finally:
        assert unmount(folder)
    did, found = full_disk_problems(outcome, seen, scores, os.strerror(errno.ENOSPC))
    FAULT_TRIES["disk full (small tmpfs)"].append(f"room for {room}: {did}")
    assert not found, f"room for {room}: " + "; ".join(found)
