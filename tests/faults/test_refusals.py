"""Files the repair cannot work on: held open by another process, not
writable, or damaged.  The run raises DuckDB's error from the statement
that met the fault, never crashes, and leaves the file as it was."""
import contextlib
import errno
import hashlib
import io
import os
import pathlib
import pwd
import shutil
import subprocess
import sys
import tempfile

import duckdb
import pytest

from conftest import (
    FAULT_TRIES, GAPPY_TABLE, PATCH, make_db, module_entries, patch_eus, run_patch_isolated,
    table_rows,
)

CONNECT, INSERT = 34, 104
# The statements that read the table: the MIN and MAX queries and the read
# query with its fetch.  Damaged table data stops the run at the first of
# them that reads the table's blocks: the MIN query with duckdb 1.x, the
# read query with duckdb 2.0, which answers MIN and MAX from its statistics.
READS = (37, 38, 58, 60)


class Scores:
    """A table of about 29,000 rows with gaps, and its rows after an uninterrupted run."""


@pytest.fixture(scope="module")
def scores(tmp_path_factory):
    folder = tmp_path_factory.mktemp("scores")
    s = Scores()
    s.original = make_db(folder / "original.duckdb", select=GAPPY_TABLE.format(firms=300))
    patched = shutil.copy(s.original, folder / "patched.duckdb")
    with contextlib.redirect_stdout(io.StringIO()):
        patch_eus.patch_eus_gaps(patched)
    s.patched_rows = table_rows(patched)
    assert len(s.patched_rows) > len(table_rows(s.original))
    return s


def snapshot(folder):
    """Every file and folder under `folder`, files with a hash of their bytes."""
    return {
        str(path.relative_to(folder)):
            hashlib.sha256(path.read_bytes()).hexdigest() if path.is_file() else "folder"
        for path in sorted(pathlib.Path(folder).rglob("*"))
    }


HOLD = """
import sys
import duckdb
con = duckdb.connect(sys.argv[1], read_only=sys.argv[2] == "read-only")
print("holding", flush=True)
sys.stdin.read()
"""


@pytest.mark.parametrize("mode", ["read-write", "read-only"])
def test_file_held_by_another_process(module, scores, tmp_path, mode):
    """DuckDB's lock error at the connect line while another process holds
    the file open; the file is unchanged; once the holder is gone a rerun
    patches."""
    db = shutil.copy(scores.original, tmp_path / "scores.duckdb")
    holder = subprocess.Popen([sys.executable, "-c", HOLD, str(db), mode],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        assert holder.stdout.readline() == "holding\n"
        before = snapshot(tmp_path)
        with pytest.raises(duckdb.IOException) as info:
            with contextlib.redirect_stdout(io.StringIO()) as printed:
                module.patch_eus_gaps(db)
        assert module_entries(info.value.__traceback__) == [(PATCH, CONNECT)]
        assert "Could not set lock" in str(info.value)
        assert f"(PID {holder.pid})" in str(info.value)
        assert printed.getvalue() == ""
        assert snapshot(tmp_path) == before
    finally:
        holder.stdin.close()
        holder.wait(timeout=60)
        holder.stdout.close()
    assert holder.returncode == 0
    with contextlib.redirect_stdout(io.StringIO()):
        module.patch_eus_gaps(db)
    assert table_rows(db) == scores.patched_rows
    FAULT_TRIES["locks"].append(
        f"held {mode} by another process: {type(info.value).__name__} at line {CONNECT}, "
        "file unchanged; patched once the holder was gone")


@pytest.fixture
def reachable_folder():
    """A folder another user can reach (pytest's own temporary folders are
    private to the user running the tests)."""
    folder = pathlib.Path(tempfile.mkdtemp(prefix="patch-eus-faults-"))
    folder.chmod(0o755)
    yield folder
    for path in [folder, *folder.rglob("*")]:
        if path.is_dir():
            path.chmod(0o755)
    shutil.rmtree(folder)


# What the running user cannot write, and the line the run stops at: the
# file is opened for writing at connect; the folder is needed for the .wal
# the insert creates.
@pytest.mark.parametrize("unwritable, line", [
    ("the file", CONNECT), ("the folder", INSERT), ("the file and the folder", CONNECT),
    ("nothing", None),
])
def test_unwritable(scores, reachable_folder, unwritable, line):
    """A file or folder the running user cannot write: a clear error and an
    unchanged file (and, with both writable, the same user patches)."""
    if os.geteuid() == 0:
        # root writes anything: the child drops to an unprivileged user
        # after its imports.
        try:
            user = pwd.getpwnam("nobody")
        except KeyError:
            pytest.skip("running as root, and there is no user 'nobody' to run the child as")
        prepare = f"os.setgroups([]); os.setgid({user.pw_gid}); os.setuid({user.pw_uid})"
    else:
        user, prepare = None, ""
    folder = reachable_folder / "data"
    folder.mkdir()
    db = shutil.copy(scores.original, folder / "scores.duckdb")
    for path, writable in ((db, "file" not in unwritable), (folder, "folder" not in unwritable)):
        if user:
            os.chown(path, *((user.pw_uid, user.pw_gid) if writable else (0, 0)))
            path.chmod(0o755 if path.is_dir() else 0o644)
        else:
            path.chmod((0o755 if path.is_dir() else 0o644) if writable else
                       (0o555 if path.is_dir() else 0o444))
    before = snapshot(folder)
    outcome = run_patch_isolated(db, prepare=prepare)
    assert outcome["uid"] != 0
    if line is None:
        assert outcome["ended"] == "returned", outcome
        assert table_rows(db) == scores.patched_rows
        FAULT_TRIES["unwritable"].append(f"{unwritable} unwritable: the same user patched")
        return
    assert outcome["ended"] == "raised", outcome
    assert outcome["duckdb_error"] and outcome["entries"] == [[PATCH, line]], outcome
    assert os.strerror(errno.EACCES) in outcome["message"], outcome
    assert outcome["printed"] == ""
    assert snapshot(folder) == before
    FAULT_TRIES["unwritable"].append(
        f"{unwritable} unwritable: {outcome['type']} at line {line}, file unchanged")


def layout(path):
    """Where things are in a database file: the size of its headers, the
    size of a block, and the blocks that hold the table's columns."""
    con = duckdb.connect(str(path), read_only=True)
    try:
        block_size, blocks = con.execute(
            "SELECT block_size, total_blocks FROM pragma_database_size()").fetchone()
        data = {block for block, in con.execute(
            "SELECT DISTINCT block_id FROM pragma_storage_info('brz_eus_tahmin')"
            " WHERE block_id >= 0").fetchall()}
    finally:
        con.close()
    return os.path.getsize(path) - blocks * block_size, block_size, data


def truncate(at):
    def damage(path, headers, block_size, data):
        offset = at(path, headers, block_size, data)
        os.truncate(path, offset)
        return offset
    return damage


def flip(at):
    def damage(path, headers, block_size, data):
        offset = at(path, headers, block_size, data)
        with open(path, "r+b") as file:
            file.seek(offset)
            byte = file.read(1)[0]
            file.seek(offset)
            file.write(bytes([byte ^ 0xFF]))
        return offset
    return damage


def first_data_block(headers, block_size, data):
    return headers + min(data) * block_size


def last_block_holds_data(path, headers, block_size, data):
    return (os.path.getsize(path) - headers) // block_size - 1 in data


def replace(make):
    def damage(path, headers, block_size, data):
        size = os.path.getsize(path)
        os.remove(path)
        make(path, size)
    return damage


# Each damage and the lines the run may stop at: the connect line when
# DuckDB meets it opening the file, a read of the table when only the
# table's data is damaged.
DAMAGES = {
    "truncated inside the file header": (truncate(lambda p, h, b, d: 100), (CONNECT,)),
    "truncated inside the database headers": (truncate(lambda p, h, b, d: h // 2), (CONNECT,)),
    "truncated right after the headers": (truncate(lambda p, h, b, d: h), (CONNECT,)),
    "truncated inside the table's data": (
        truncate(lambda p, h, b, d: first_data_block(h, b, d) + b // 2), READS),
    "the last byte cut off": (truncate(lambda p, h, b, d: os.path.getsize(p) - 1), None),
    "a byte of the magic number flipped": (
        flip(lambda p, h, b, d: open(p, "rb").read(h).index(b"DUCK")), (CONNECT,)),
    "a byte of a database header flipped": (flip(lambda p, h, b, d: h // 3 + 16), (CONNECT,)),
    "a byte of the table's data flipped": (
        flip(lambda p, h, b, d: first_data_block(h, b, d) + b // 2), READS),
    "zero length": (replace(lambda p, size: open(p, "wb").close()), (CONNECT,)),
    "random bytes": (replace(lambda p, size: p.write_bytes(os.urandom(size))), (CONNECT,)),
    "a directory": (replace(lambda p, size: (p.mkdir(), (p / "scores.duckdb").write_text("x"))),
                    (CONNECT,)),
    "a missing parent folder": (None, (CONNECT,)),
}


@pytest.mark.parametrize("damage", list(DAMAGES))
def test_damaged_file(scores, tmp_path, damage):
    """A damaged file, or a path that is no database file at all: a Python
    exception from DuckDB at the connect line or a read of the table, never
    a crash of the child, and the path left exactly as it was."""
    make_damage, lines = DAMAGES[damage]
    db = shutil.copy(scores.original, tmp_path / "scores.duckdb")
    headers, block_size, data = layout(db)
    if make_damage is None:
        db = tmp_path / "missing" / "scores.duckdb"
    else:
        make_damage(db, headers, block_size, data)
    if lines is None:  # the last block: the table's data, or not
        lines = READS if last_block_holds_data(scores.original, headers, block_size, data) else (
            CONNECT,)
    before = snapshot(tmp_path)
    outcome = run_patch_isolated(db)  # asserts the child exited by itself, with status 0
    assert outcome["ended"] == "raised" and outcome["duckdb_error"], outcome
    [(function, line)] = outcome["entries"]
    assert function == PATCH and line in lines, outcome
    assert outcome["printed"] == ""
    assert snapshot(tmp_path) == before
    FAULT_TRIES["damaged files"].append(f"{damage}: {outcome['type']} at line {line}, unchanged")
