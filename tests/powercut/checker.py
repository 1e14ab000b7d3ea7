"""Checks the states a power cut leaves, for the simulator (powercut.py).

    checker.py ORIGINAL PATCHED WORKERS SECONDS
        jobs {"id", "folder", "name"} on standard input, one JSON line each;
        for each a line {"id", ...what was seen} on standard output
    checker.py --one ORIGINAL PATCHED FOLDER NAME
        one state, in this interpreter

The serving interpreter imports duckdb, pandas and the module once and
forks a child for every state (up to WORKERS at once), which it kills when
it has not answered within SECONDS.  The child opens the database as a user
would after the power came back, looks at the table, closes it, reruns the
repair, and looks again.
"""
import contextlib
import io
import json
import os
import select
import shutil
import signal
import sys
import time
import traceback

import duckdb

import velmora.pipeline.patch_eus as patch_eus

COUNT = "SELECT count(*), sum(hash(muta, donem, eus_skor, eus_ihtimal)) FROM {}brz_eus_tahmin"


def held(con, original, patched):
    """Which of the two tables the open database holds, row for row: the
    count and a sum of row hashes pick the candidate, EXCEPT confirms it
    (the candidates hold no row twice)."""
    here = con.execute(COUNT.format("")).fetchone()
    for name, path in (("before_run", original), ("after_run", patched)):
        alias = "powercut_" + name
        con.execute(f"ATTACH '{path}' AS {alias} (READ_ONLY)")
        try:
            same = con.execute(COUNT.format(alias + ".")).fetchone() == here and con.execute(
                f"SELECT count(*) FROM (SELECT * FROM brz_eus_tahmin "
                f"EXCEPT SELECT * FROM {alias}.brz_eus_tahmin)").fetchone()[0] == 0
        finally:
            con.execute(f"DETACH {alias}")
        if same:
            return name
    return "neither"


def failure(error):
    return f"{type(error).__name__}: {str(error).splitlines()[0] if str(error) else ''}"[:300]


def check(folder, name, original, patched, aside="failing"):
    """What a user finds in the state: and where a .wal lies beside it,
    what the same state gives with the .wal moved aside before anything
    opens it (under "wal_aside"): when the state failed ("failing"), or
    always ("always")."""
    path = os.path.join(folder, name)
    untouched = folder.rstrip("/") + ".untouched"
    if os.path.exists(path + ".wal"):
        shutil.copytree(folder, untouched)
    seen = look(folder, name, original, patched)
    if os.path.exists(untouched):
        if aside == "always" or (seen.get("opens") is not True or seen.get("twice")
                                 or seen.get("held") not in ("before_run", "after_run")):
            os.rename(os.path.join(untouched, name + ".wal"),
                      os.path.join(untouched, name + ".wal.aside"))
            seen["wal_aside"] = look(untouched, name, original, patched)
        shutil.rmtree(untouched)
    return seen


def look(folder, name, original, patched):
    path = os.path.join(folder, name)
    seen = {"files": sorted(os.listdir(folder))}
    if not os.path.exists(path):
        seen["opens"] = "the database file is not there"
        return seen
    try:
        con = duckdb.connect(path)
    except Exception as error:
        seen["opens"] = failure(error)
        return seen
    seen["opens"] = True
    try:
        seen["rows"] = con.execute("SELECT count(*) FROM brz_eus_tahmin").fetchone()[0]
        seen["twice"] = con.execute(
            "SELECT count(*) FROM (SELECT muta, donem FROM brz_eus_tahmin "
            "GROUP BY muta, donem HAVING count(*) > 1)").fetchone()[0]
        seen["held"] = held(con, original, patched)
        con.close()
    except Exception as error:
        seen["reads"] = failure(error)
        return seen
    printed = io.StringIO()
    try:
        with contextlib.redirect_stdout(printed):
            patch_eus.patch_eus_gaps(path)
        seen["rerun"] = (printed.getvalue().splitlines() or [""])[0]
    except Exception as error:
        seen["rerun"] = "raised " + failure(error)
    try:
        con = duckdb.connect(path)
        seen["after_rerun"] = held(con, original, patched)
        con.close()
    except Exception as error:
        seen["after_rerun"] = "raised " + failure(error)
    seen["wal_after_rerun"] = os.path.exists(path + ".wal")
    return seen


def child(job, original, patched, answer):
    """In the forked child: the check, its answer on the pipe, and out
    without the interpreter's exit (whose handlers belong to the parent)."""
    code = 0
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, 1)  # DuckDB's progress bar writes to the C stdout
        result = check(job["folder"], job["name"], original, patched,
                       job.get("aside", "failing"))
    except BaseException:
        result, code = {"error": "the check itself failed: " + traceback.format_exc()[-500:]}, 1
    data = json.dumps(result).encode()
    while data:
        data = data[os.write(answer, data):]
    os._exit(code)


def serve(original, patched, workers, limit):
    running = {}  # pid: [job, read end, deadline, chunks]
    queued, pending, stdin_open = [], b"", True
    out = sys.stdout
    while stdin_open or queued or running:
        while queued and len(running) < workers:
            job = queued.pop(0)
            read_end, write_end = os.pipe()
            pid = os.fork()
            if pid == 0:
                os.close(read_end)
                sys.stdin.close()
                child(job, original, patched, write_end)
            os.close(write_end)
            running[pid] = [job, read_end, time.monotonic() + limit, []]
        now = time.monotonic()
        wait = min([entry[2] for entry in running.values()], default=now + 1) - now
        fds = [entry[1] for entry in running.values()] + ([0] if stdin_open else [])
        ready = select.select(fds, [], [], max(wait, 0))[0] if fds else []
        if 0 in ready:
            chunk = os.read(0, 65536)
            if not chunk:
                stdin_open = False
            *lines, pending = (pending + chunk).split(b"\n")
            queued += [json.loads(line) for line in lines if line.strip()]
        for pid, entry in list(running.items()):
            job, read_end, deadline, chunks = entry
            finished = None
            if read_end in ready:
                chunk = os.read(read_end, 65536)
                if chunk:
                    chunks.append(chunk)
                    continue
                _, status = os.waitpid(pid, 0)
                finished = status
            elif time.monotonic() > deadline:
                os.kill(pid, signal.SIGKILL)
                os.waitpid(pid, 0)
                result = {"error": f"no answer within {limit:g} s"}
            else:
                continue
            os.close(read_end)
            del running[pid]
            if finished is not None:
                if os.WIFSIGNALED(finished):
                    result = {"error": "the check ended by signal "
                                       f"{signal.Signals(os.WTERMSIG(finished)).name}"}
                else:
                    result = json.loads(b"".join(chunks) or b'{"error": "no answer"}')
            result["id"] = job["id"]
            out.write(json.dumps(result) + "\n")
            out.flush()


def main():
    if sys.argv[1] == "--one":
        original, patched, folder, name = sys.argv[2:6]
        print(json.dumps(check(folder, name, original, patched)))
        return
    original, patched, workers, limit = sys.argv[1:5]
    serve(original, patched, int(workers), float(limit))


if __name__ == "__main__":
    main()
