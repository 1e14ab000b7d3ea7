"""The file operations that the repair's duckdb calls make on the database's
folder, read from a system-call trace: what scripts/powercut-armhf compares
between duckdb built for armhf, under qemu-arm, and x86_64.  The repair is
scripts/transcription.py (the same duckdb and pandas calls as the module),
on the tests' table of 500 firms over 100 months (48,387 rows).

    powercut-syncs.py run FOLDER
        makes the table in FOLDER and repairs it (run it under the tracer)
    powercut-syncs.py events FOLDER TRACE
        the events on FOLDER and its files in a trace of strace -f or of
        qemu's -strace, as JSON on standard output
    powercut-syncs.py compare NAME-A A.json NAME-B B.json
        both sequences side by side; exit status 1 when they differ
"""
import ast
import contextlib
import io
import json
import os
import re
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
DATABASE = "scores.duckdb"


def gappy_table():
    """The tests' GAPPY_TABLE query, read from tests/conftest.py without
    importing it (it imports the module, which this run does without)."""
    tree = ast.parse((ROOT / "tests" / "conftest.py").read_text())
    for node in tree.body:
        if isinstance(node, ast.Assign) and getattr(node.targets[0], "id", "") == "GAPPY_TABLE":
            return ast.literal_eval(node.value)
    raise SystemExit("no GAPPY_TABLE in tests/conftest.py")


def run(folder):
    import duckdb
    sys.path.insert(0, str(ROOT / "scripts"))
    import transcription
    path = os.path.join(folder, DATABASE)
    con = duckdb.connect(path)
    con.execute("CREATE TABLE brz_eus_tahmin(muta VARCHAR, donem VARCHAR, eus_skor DOUBLE, "
                "eus_ihtimal DOUBLE)")
    con.execute("INSERT INTO brz_eus_tahmin " + gappy_table().format(firms=500))
    con.close()
    # The mark the trace shows: what comes before it made the table.
    try:
        os.stat(os.path.join(folder, ".repair-begins"))
    except FileNotFoundError:
        pass
    printed = io.StringIO()
    with contextlib.redirect_stdout(printed):
        transcription.patch_eus_gaps(path)
    print(printed.getvalue().splitlines()[0], "; duckdb", duckdb.__version__)


CALL = re.compile(r"^(?:\[pid\s+)?(\d+)\]?\s+(\w+)\((.*)$")
RESULT = re.compile(r"^(.*)\)\s+=\s+(-?\d+)")
WRITES = {"write", "pwrite64", "pwrite", "writev", "pwritev", "pwritev2"}
SYNCS = {"fsync", "fdatasync"}
OPENS = {"open", "openat", "creat"}


def calls(trace):
    """(name, args, result) of every finished call, in the order they
    finished: strace's unfinished and resumed halves joined, and qemu's
    result on a line of its own joined to the call it ends."""
    pending, last = {}, None
    for line in Path(trace).read_text(errors="replace").splitlines():
        resumed = re.match(r"^(?:\[pid\s+)?(\d+)\]?\s+<\.\.\. (\w+) resumed>(.*)$", line)
        if resumed:
            pid, name, rest = resumed.groups()
            args = pending.pop((pid, name), "")
            line = f"{pid} {name}({args}{rest}"
        found = CALL.match(line)
        if not found:
            ended = re.match(r"^\s*=\s+(-?\d+)", line)
            if ended and last:
                yield last[0], last[1], int(ended.group(1))
                last = None
            continue
        pid, name, rest = found.groups()
        if rest.endswith("<unfinished ...>"):
            pending[(pid, name)] = rest[: -len("<unfinished ...>")]
            continue
        result = RESULT.match(rest)
        if result:
            yield name, result.group(1), int(result.group(2))
            last = None
        else:
            last = (name, rest.rstrip(")"))


def events(folder, trace):
    """What the calls did to the folder's files, consecutive writes folded:
    [[what, file, count]]."""
    folder = os.path.realpath(folder)
    names, out, begun = {}, [], False
    for name, args, result in calls(trace):
        path = re.search(r'"([^"]*)"', args)
        path = path.group(1) if path else None
        if path and path.endswith("/.repair-begins"):
            begun = True
            out.clear()
            continue
        fd = re.match(r"\s*(-?\d+)", args)
        fd = int(fd.group(1)) if fd else None
        if name in OPENS and result >= 0 and path:
            full = os.path.normpath(os.path.join(folder, path))
            if os.path.dirname(full) == folder or full == folder:
                names[result] = "the folder" if full == folder else os.path.basename(full)
                what = "create" if "O_CREAT" in args or name == "creat" else "open"
                out.append([what, names[result], 1])
            continue
        if name == "close" and fd in names:
            del names[fd]
            continue
        if result < 0:
            continue
        if fd in names and (name in WRITES or name in SYNCS or name in ("ftruncate",
                                                                          "ftruncate64",
                                                                          "fallocate")):
            what = "write" if name in WRITES else name.replace("ftruncate64", "ftruncate")
            if out and out[-1][:2] == [what, names[fd]] and what == "write":
                out[-1][2] += 1
            else:
                out.append([what, names[fd], 1])
        elif name in ("unlink", "unlinkat", "rename", "renameat", "renameat2") and path:
            full = os.path.normpath(os.path.join(folder, path))
            if os.path.dirname(full) == folder:
                out.append(["unlink" if name.startswith("unlink") else "rename",
                            os.path.basename(full), 1])
    if not begun:
        raise SystemExit(f"{trace}: the repair's mark is not in the trace")
    return out


def compare(name_a, a, name_b, b):
    width = max([len(" ".join(map(str, e))) for e in a] + [len(name_a)]) + 4
    print(f"{name_a:<{width}}{name_b}")
    rows = max(len(a), len(b))
    for i in range(rows):
        left = " ".join(f"x{v}" if j == 2 else str(v) for j, v in enumerate(a[i])) if i < len(a) else ""
        right = " ".join(f"x{v}" if j == 2 else str(v) for j, v in enumerate(b[i])) if i < len(b) else ""
        print(f"{left:<{width}}{right}{'' if a[i:i + 1] == b[i:i + 1] else '   <- differs'}")
    syncs_a = [e[:2] for e in a if e[0] in SYNCS]
    syncs_b = [e[:2] for e in b if e[0] in SYNCS]
    same = syncs_a == syncs_b
    print(f"syncs: {'the same' if same else 'DIFFERENT'} "
          f"({len(syncs_a)} on {name_a}, {len(syncs_b)} on {name_b}); "
          f"all operations: {'the same' if a == b else 'different'}")
    return 0 if same else 1


def main():
    command = sys.argv[1]
    if command == "run":
        run(sys.argv[2])
    elif command == "events":
        print(json.dumps(events(sys.argv[2], sys.argv[3])))
    elif command == "compare":
        name_a, a, name_b, b = sys.argv[2:6]
        sys.exit(compare(name_a, json.loads(Path(a).read_text()), name_b,
                         json.loads(Path(b).read_text())))
    else:
        raise SystemExit(__doc__)


if __name__ == "__main__":
    main()
