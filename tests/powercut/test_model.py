"""The parts of the power-cut simulator on their own: the disk model's crash
states for small records, the recorder's view of each C library entry point
it models, and the checker's verdicts and time limit."""
import os
import random
import re
import shutil
import subprocess
import sys

import pytest

import powercut

BLOCK = powercut.SECTOR


def op(kind, **fields):
    return (kind, fields)


def states_of(initial, specs, samples=60, seed=7):
    """The crash states at the end of a record given as (kind, fields)
    specs: (files of each state, the disk's point)."""
    disk = powercut.Disk(initial)
    for index, (kind, fields) in enumerate(specs):
        fields = {"entry": kind, **fields}
        record = powercut.Op(index, kind, fields, "test")
        if kind == "write":
            record.data = fields.pop("data")
            fields["length"] = len(record.data)
        disk.apply(record)
    point = disk.point()
    rng = random.Random(seed)
    return [powercut.crash_state(point, choice)
            for _, choice in powercut.choices(point, rng, samples)], point


A, B, OLD = b"A" * BLOCK, b"B" * BLOCK, b"O" * 4 * BLOCK
F = {"f": (1, OLD)}

# (record, what every state must satisfy, what some states must and others
# must not): each is a test on the state's files.
MODEL = [
    ("a synced write is kept, an unsynced one may be lost",
     F, [op("write", ino=1, offset=0, data=A), op("fsync", ino=1),
         op("write", ino=1, offset=BLOCK, data=B)],
     lambda s: s["f"][:BLOCK] == A, lambda s: s["f"][BLOCK:2 * BLOCK] == B),
    ("a torn write leaves whole sectors, each old or new",
     F, [op("write", ino=1, offset=0, data=b"N" * 4 * BLOCK)],
     lambda s: all(s["f"][i:i + BLOCK] in (b"N" * BLOCK, b"O" * BLOCK)
                   for i in range(0, 4 * BLOCK, BLOCK)),
     lambda s: s["f"][:BLOCK] != s["f"][3 * BLOCK:]),
    ("a file created and synced, its folder not, may be gone",
     F, [op("open", ino=2, name="g", flags=0, created=True),
         op("write", ino=2, offset=0, data=A), op("fsync", ino=2)],
     lambda s: s.get("g", A) == A, lambda s: "g" in s),
    ("a file created and synced with its folder is there",
     F, [op("open", ino=2, name="g", flags=0, created=True),
         op("write", ino=2, offset=0, data=A), op("fsync", ino=2), op("dirsync")],
     lambda s: s["g"] == A, None),
    ("an unlink the folder's sync did not follow may be undone",
     F, [op("unlink", name="f", ino=1)], lambda s: s.get("f", OLD) == OLD, lambda s: "f" in s),
    ("an unlink followed by the folder's sync is done",
     F, [op("unlink", name="f", ino=1), op("dirsync")], lambda s: "f" not in s, None),
    ("a rename is done or not, never both nor neither",
     F, [op("rename", **{"from": "f", "to": "h", "ino": 1, "replaced": 0})],
     lambda s: ("f" in s) != ("h" in s), lambda s: "h" in s),
    ("a truncation kept or not, the data before it kept",
     F, [op("trunc", ino=1, length=BLOCK)],
     lambda s: s["f"][:BLOCK] == OLD[:BLOCK] and len(s["f"]) in (BLOCK, len(OLD)),
     lambda s: len(s["f"]) == BLOCK),
]


@pytest.mark.parametrize("initial, specs, always, sometimes",
                         [case[1:] for case in MODEL], ids=[case[0] for case in MODEL])
def test_the_disk_model(initial, specs, always, sometimes):
    states, _ = states_of(initial, specs)
    assert all(always(s) for s in states), [sorted(s) for s in states if not always(s)]
    if sometimes:
        assert any(sometimes(s) for s in states) and not all(sometimes(s) for s in states)


def test_a_lost_synced_write_is_in_no_state():
    disk = powercut.Disk(F, lose=0)
    write = powercut.Op(0, "write", {"ino": 1, "offset": 0, "length": BLOCK, "entry": "w"}, "")
    write.data = A
    disk.apply(write)
    disk.apply(powercut.Op(1, "fsync", {"ino": 1, "entry": "fsync"}, ""))
    point = disk.point()
    assert all(powercut.crash_state(point, c)["f"] == OLD
               for _, c in powercut.choices(point, random.Random(1), 20))


def test_one_lost_sector_at_a_time():
    _, point = states_of(F, [op("write", ino=1, offset=BLOCK // 2, data=b"N" * 3 * BLOCK)])
    tried = list(powercut.sector_choices(point, "f"))
    assert len(tried) == 4  # the write covers half of sector 0 to half of sector 3
    for n, (_, choice) in enumerate(tried):
        data = powercut.crash_state(point, choice)["f"]
        lost = [i for i in range(4) if data[i * BLOCK:(i + 1) * BLOCK] == OLD[:BLOCK]]
        assert lost == [n], (n, lost)


# Each C library entry point the recorder models, from Python: the replayed
# record must end at the folder's files, and name the entry point.
CALLS = [
    ("write", 'fd = os.open(f"{d}/f", os.O_RDWR | os.O_CREAT); os.write(fd, b"x" * 700)',
     {"write"}),
    ("O_APPEND", 'open(f"{d}/f", "wb").write(b"a" * 100)\n'
                 'fd = os.open(f"{d}/f", os.O_WRONLY | os.O_APPEND); os.write(fd, b"b" * 50)',
     {"write"}),
    ("pwrite", 'fd = os.open(f"{d}/f", os.O_RDWR | os.O_CREAT); os.pwrite(fd, b"x", 5000)',
     {"pwrite", "pwrite64"}),
    ("writev", 'fd = os.open(f"{d}/f", os.O_RDWR | os.O_CREAT); os.writev(fd, [b"ab", b"cd"])',
     {"writev"}),
    ("pwritev", 'fd = os.open(f"{d}/f", os.O_RDWR | os.O_CREAT); os.pwritev(fd, [b"ab"], 9)',
     {"pwritev", "pwritev64", "pwritev2", "pwritev64v2"}),
    ("ftruncate", 'fd = os.open(f"{d}/f", os.O_RDWR | os.O_CREAT); os.write(fd, b"x" * 900); '
                  'os.ftruncate(fd, 300)', {"ftruncate", "ftruncate64"}),
    ("truncate", 'open(f"{d}/f", "wb").write(b"x" * 900); os.truncate(f"{d}/f", 2000)',
     {"truncate", "truncate64"}),
    ("posix_fallocate", 'fd = os.open(f"{d}/f", os.O_RDWR | os.O_CREAT); '
                        'os.posix_fallocate(fd, 0, 8192)',
     {"posix_fallocate", "posix_fallocate64"}),
    ("fsync and fdatasync", 'fd = os.open(f"{d}/f", os.O_RDWR | os.O_CREAT); os.write(fd, b"x"); '
                            'os.fsync(fd); os.write(fd, b"y"); os.fdatasync(fd)',
     {"fsync", "fdatasync"}),
    ("O_SYNC", 'fd = os.open(f"{d}/f", os.O_RDWR | os.O_CREAT | os.O_SYNC); os.write(fd, b"s")',
     {"O_SYNC"}),
    ("the folder's sync", 'open(f"{d}/f", "w").close(); fd = os.open(d, os.O_RDONLY); os.fsync(fd)',
     {"fsync"}),
    ("rename over a file", 'open(f"{d}/f", "w").close(); open(f"{d}/g", "wb").write(b"g"); '
                           'os.replace(f"{d}/f", f"{d}/g")', {"rename", "renameat"}),
    ("unlink and remove", 'open(f"{d}/f", "w").close(); open(f"{d}/g", "w").close(); '
                          'os.unlink(f"{d}/f"); os.remove(f"{d}/g")', {"unlink", "unlinkat"}),
    ("dup, dup2 and F_DUPFD", 'import fcntl\nfd = os.open(f"{d}/f", os.O_RDWR | os.O_CREAT)\n'
                              'a = os.dup(fd); os.write(a, b"1"); b = os.dup2(fd, 50); '
                              'os.pwrite(50, b"2", 9)\nc = fcntl.fcntl(fd, fcntl.F_DUPFD, 60); '
                              'os.close(fd); os.pwrite(c, b"3", 20)', {"write", "pwrite64"}),
]


@pytest.mark.parametrize("code, entries", [case[1:] for case in CALLS],
                         ids=[case[0] for case in CALLS])
def test_the_recorder_sees_each_entry_point(tmp_path, code, entries, recorder):
    folder = tmp_path / "watched"
    folder.mkdir()
    log = tmp_path / "log"
    env = {**os.environ, "LD_PRELOAD": str(recorder), "POWERCUT_DIR": str(folder),
           "POWERCUT_LOG": str(log)}
    subprocess.run([sys.executable, "-c", f"import os\nd = {str(folder)!r}\n{code}"], env=env,
                   check=True)
    ops = powercut.parse(log)
    disk = powercut.Disk({})
    for record in ops:
        disk.apply(record)
    assert disk.files() == {p.name: p.read_bytes() for p in folder.iterdir()}
    seen = {record.fields.get("entry") for record in ops}
    assert entries & seen, sorted(filter(None, seen))


@pytest.fixture(scope="module")
def recorder(tmp_path_factory):
    return powercut.build_recorder(tmp_path_factory.mktemp("recorder"))


@pytest.fixture(scope="module")
def table(tmp_path_factory):
    return powercut.Table(sys.executable, tmp_path_factory.mktemp("table"), firms=20)


def checked(table, folder, limit=60):
    checker = powercut.Checker(sys.executable, table.original, table.patched, 1, limit,
                               folder.parent / "checker.err")
    try:
        checker.send({"id": 0, "folder": str(folder), "name": powercut.DATABASE})
        seen = checker.receive()
        if "error" in seen:
            seen["fresh"] = checker.fresh(folder)
        return seen
    finally:
        checker.close()


@pytest.mark.parametrize("state, after_return, problem", [
    ("original", False, None),
    ("original", True, "held the original .* after the call had returned"),
    ("patched", True, None),
    ("missing", False, "the database file is not there"),
    ("garbage", False, "DuckDB does not open it"),
])
def test_the_checker_verdicts(table, tmp_path, state, after_return, problem):
    folder = tmp_path / "state"
    folder.mkdir()
    if state in ("original", "patched"):
        shutil.copy(getattr(table, state), folder / powercut.DATABASE)
    elif state == "garbage":
        (folder / powercut.DATABASE).write_bytes(b"\x00" * 8192)
    found = powercut.problems(checked(table, folder), after_return, table.report)
    if problem is None:
        assert found == []
    else:
        assert len(found) == 1 and re.search(problem, found[0]), found


def test_a_state_that_hangs_is_stopped(table, tmp_path):
    """A database 'file' that blocks every open (a FIFO): the forked child
    is killed at the limit, and the check in a fresh interpreter too."""
    folder = tmp_path / "state"
    folder.mkdir()
    os.mkfifo(folder / powercut.DATABASE)
    seen = checked(table, folder, limit=3)
    assert seen["error"] == "no answer within 3 s"
    assert seen["fresh"] == {"error": "no answer within 3 s"}
