"""A power cut at any point of a repair leaves the original table or the
table with the whole patch, and once the call has returned, the whole patch.

The repair of a 48,387-row table runs under the recorder (recorder.c);
powercut.py builds the states a power cut between any two of its file
operations could leave and checks each in a forked child (checker.py).
POWERCUT_SAMPLES sets the random states a point (24), POWERCUT_SEED the
seed (random, printed)."""
import os
import re
import shutil
import subprocess
import sys

import pytest

import powercut
from conftest import FAULT_NOTES, FAULT_TRIES

SAMPLES = int(os.environ.get("POWERCUT_SAMPLES", "24"))
SEED = int(os.environ["POWERCUT_SEED"]) if os.environ.get("POWERCUT_SEED") else None


@pytest.fixture(scope="module")
def recorder(tmp_path_factory):
    return powercut.build_recorder(tmp_path_factory.mktemp("recorder"))


@pytest.fixture(scope="module")
def table(tmp_path_factory):
    return powercut.Table(sys.executable, tmp_path_factory.mktemp("table"), firms=500)


def noted(outcome):
    """The outcome's counts and its record in the run's summary."""
    fault = f"power cut, {outcome.scenario} (duckdb {outcome.duckdb})" + (
        "" if outcome.lose is None else f", on a disk that loses write #{outcome.lose}")
    for what, count in outcome.tally.items():
        FAULT_TRIES[fault] += [what] * count
    FAULT_NOTES[fault] += outcome.summary().splitlines()[:6]
    FAULT_NOTES[fault] += [str(finding) for finding in outcome.findings[:5]]
    return outcome


@pytest.mark.parametrize("scenario", sorted(powercut.SCENARIOS))
def test_every_crash_state(recorder, table, tmp_path, scenario):
    """Every state holds the original or the whole patch, nothing twice,
    and a rerun converges; after the return, the whole patch.  Let through,
    and printed in the summary: the two known kinds of DuckDB's own failure
    under a power cut before the call returns (Finding.kind), which the
    module cannot prevent without changing its calls; for a damaged .wal,
    moving it aside and rerunning must end at the uninterrupted run's rows."""
    outcome = noted(powercut.simulate(sys.executable, recorder, table, tmp_path,
                                      scenario=scenario, samples=SAMPLES, seed=SEED,
                                      out=print))
    others = [str(f) for f in outcome.findings if f.kind() is None]
    assert not others, f"seed {outcome.seed}:\n" + "\n".join(others)
    # What the README tells a user to do then: move the .wal aside, rerun.
    unhelped = [str(f) for f in outcome.findings if f.kind() == "damaged .wal tail"
                and f.seen.get("wal_aside", {}).get("after_rerun") != "after_run"]
    assert not unhelped, f"seed {outcome.seed}:\n" + "\n".join(unhelped)
    after = [what for what in outcome.tally if what.startswith("after return")]
    assert after and all("whole patch" in what for what in after), outcome.tally
    if scenario == "full disk at close":
        # What makes the scenario: the checkpoint never wrote the file.
        assert powercut.DATABASE not in [w for _, w in outcome.record.syncs()]


@pytest.mark.parametrize("scenario, spelling", [
    ("repair", "absolute"), ("full disk at close", "absolute"), ("repair", "relative"),
    ("repair", "under ~"), ("full disk at close", "under ~")])
def test_the_folder_is_synced_before_the_call_returns(recorder, table, tmp_path, scenario,
                                                      spelling):
    """DuckDB creates and removes its .wal without syncing the folder: the
    repair syncs it after closing, so that what the call reported is on the
    disk whether or not the checkpoint could write the file."""
    rec = powercut.record(sys.executable, recorder, table.original, tmp_path / "record",
                          powercut.SCENARIOS[scenario], spelling=spelling)
    assert rec.output.splitlines()[0] == table.report
    kinds = [op.kind if op.kind != "mark" else op.fields["text"] for op in rec.ops]
    last_change = max(i for i, kind in enumerate(kinds)
                      if kind in ("unlink", "rename") or
                      kind == "open" and rec.ops[i].fields["created"])
    assert "dirsync" in kinds[last_change:kinds.index("returned")], rec.sequence()


def test_a_disk_that_loses_a_synced_write_is_caught(recorder, table, tmp_path):
    """The broken case: a disk that drops the last write DuckDB synced to
    the database file (the header that makes the checkpoint current).  The
    checker must see the patch lost once the call has returned."""
    outcome = noted(powercut.simulate(sys.executable, recorder, table, tmp_path,
                                      samples=2, seed=SEED,
                                      lose="last synced database write"))
    assert outcome.lose is not None
    lost = [f for f in outcome.findings if f.after and f.kind() is None]
    assert lost, outcome.summary()
    assert all(re.search(r"held the original .* after the call had returned|does not open",
                         "; ".join(f.problems)) for f in lost), [str(f) for f in lost]


def test_a_run_with_nothing_to_do_writes_nothing(recorder, table, tmp_path):
    """A rerun on a patched table writes nothing a power cut could harm."""
    rec = powercut.record(sys.executable, recorder, table.patched, tmp_path / "record")
    assert rec.output.splitlines()[0] == powercut.NO_GAPS
    assert {op.kind for op in rec.ops} <= {"open", "close", "opendir", "dirsync", "mark"}, \
        rec.sequence()
    assert not any(op.fields.get("created") for op in rec.ops if op.kind == "open")


STRACE_CALLS = {"write": "write", "pwrite64": "write", "writev": "write", "pwritev": "write",
                "pwritev2": "write", "fsync": "sync", "fdatasync": "sync", "ftruncate": "trunc",
                "fallocate": "falloc", "unlink": "unlink", "unlinkat": "unlink",
                "rename": "rename", "renameat": "rename", "renameat2": "rename"}


def strace_counts(trace_files, folder):
    """The calls of the traced process on the folder and its files, by kind,
    from strace -y (which writes a descriptor's path after it)."""
    counts = {kind: 0 for kind in set(STRACE_CALLS.values()) | {"open", "unseen"}}
    call = re.compile(r"^(\w+)\((.*)\) += (-?\d+)(<[^>]*>)?")
    ours = re.compile(r'[<"]' + re.escape(str(folder)) + r'(/[^">]*)?[>"]')
    for trace in trace_files:
        for line in trace.read_text().splitlines():
            found = call.match(line)
            if not found or found.group(3).startswith("-"):
                continue
            name, args, result = found.group(1), found.group(2), found.group(4) or ""
            if name in ("open", "openat", "creat"):
                counts["open"] += bool(ours.search(result) and ours.search(args))
            elif not ours.search(args):
                continue
            elif name in STRACE_CALLS:
                counts[STRACE_CALLS[name]] += 1
            elif name in ("mmap", "io_uring_setup", "copy_file_range", "sendfile", "splice",
                          "sync_file_range", "link", "linkat", "symlink", "mkdir"):
                counts["unseen"] += 1
    return counts


def test_the_record_holds_what_strace_sees(recorder, table, tmp_path):
    """The kernel's view of the same run: every call that changes a file of
    the folder, as strace shows it, is in the record, and strace sees none
    that the recorder does not model."""
    if not shutil.which("strace"):
        pytest.skip("strace is not installed")
    folder = tmp_path / "record"
    rec = powercut.record(sys.executable, recorder, table.original, folder,
                          strace=tmp_path / "trace")
    kinds, _ = rec.counts()
    seen = strace_counts(sorted(tmp_path.glob("trace.*")), folder)
    recorded = {"write": kinds["write"], "sync": kinds["fsync"] + kinds["dirsync"],
                "trunc": kinds["trunc"], "falloc": kinds["falloc"], "unlink": kinds["unlink"],
                "rename": kinds["rename"], "open": kinds["open"] + kinds["create"] +
                sum(op.kind == "opendir" for op in rec.ops), "unseen": 0}
    assert seen == recorded
    assert recorded["write"] and recorded["sync"] and recorded["unlink"]


# Operations the simulator does not model, or that go past the recorder:
# each must make the record unusable, loudly.
REFUSED = [
    ("a shared mapping", """
import mmap
fd = os.open(f"{d}/f", os.O_RDWR | os.O_CREAT); os.ftruncate(fd, 4096)
m = mmap.mmap(fd, 4096); m[:5] = b"hello"; m.flush()""", "does not model: mmap"),
    ("a hard link", 'open(f"{d}/f", "w").close(); os.link(f"{d}/f", f"{d}/g")',
     "does not model: link"),
    ("a folder made", 'os.mkdir(f"{d}/sub")', "does not model: mkdir"),
    ("a rename out of the folder", 'open(f"{d}/f", "w").close(); os.rename(f"{d}/f", f"{d}/../f")',
     "does not model: rename"),
    ("a stream opened for writing", 'open(f"{d}/f", "w").close(); ctypes.CDLL(None).fopen(f"{d}/f".encode(), b"a")',
     "does not model: fopen"),
    ("a write through a hard link from elsewhere", """
fd = os.open(f"{d}/f", os.O_RDWR | os.O_CREAT); os.write(fd, b"a" * 600)
os.link(f"{d}/f", f"{d}/../alias")
other = os.open(f"{d}/../alias", os.O_WRONLY); os.pwrite(other, b"b", 0); os.fsync(fd)""",
     "after the sync is not what the record wrote"),
]


@pytest.mark.parametrize("code, message", [case[1:] for case in REFUSED],
                         ids=[case[0] for case in REFUSED])
def test_what_the_recorder_cannot_model_is_refused(recorder, tmp_path, code, message):
    folder = tmp_path / "watched"
    folder.mkdir()
    log = tmp_path / "log"
    env = {**os.environ, "LD_PRELOAD": str(recorder), "POWERCUT_DIR": str(folder),
           "POWERCUT_LOG": str(log)}
    subprocess.run([sys.executable, "-c", f"import ctypes, os\nd = {str(folder)!r}\n{code}"],
                   env=env, check=True)
    with pytest.raises(powercut.RecordError, match=message):
        ops = powercut.parse(log)
        disk = powercut.Disk({})
        for op in ops:
            disk.apply(op)
