"""What the distribution installs, and what a type checker makes of it."""
import ast
import platform
import subprocess
import sys
import textwrap
from importlib import metadata

import pytest

DIST = "velmora-pipeline-patch-eus"


def test_installed_files():
    """The library and its stubs in the velmora.pipeline namespace (no
    __init__.py there), and the same stubs in a partial stub package."""
    files = sorted(str(f) for f in metadata.files(DIST)
                   if str(f).startswith(("velmora/", "velmora-stubs/")))
    assert files[:2] == ["velmora-stubs/pipeline/patch_eus.pyi", "velmora-stubs/py.typed"]
    assert files[2].startswith("velmora/pipeline/patch_eus.") and files[2].endswith(".so")
    assert files[3:] == ["velmora/pipeline/patch_eus.pyi"]
    dist = metadata.distribution(DIST)
    assert dist.locate_file("velmora-stubs/py.typed").read_text() == "partial\n"
    for stub in (files[0], files[3]):
        functions = {
            node.name: [a.arg for a in node.args.args]
            for node in ast.parse(dist.locate_file(stub).read_text()).body
            if isinstance(node, ast.FunctionDef)
        }
        assert functions == {"_next_donem": ["d"], "patch_eus_gaps": ["db_path"]}


def test_the_wheel_is_tagged_for_this_interpreter_and_machine():
    """What pip installed says it is for this interpreter and this machine
    (a cross build once labelled an ARM module x86_64)."""
    machine = {"armv8l": "armv7l"}.get(platform.machine(), platform.machine())
    abi = "cp%d%d" % sys.version_info[:2]
    tags = [line.split(":", 1)[1].strip()
            for line in metadata.distribution(DIST).read_text("WHEEL").splitlines()
            if line.startswith("Tag:")]
    assert tags and all(t.startswith(f"{abi}-{abi}-") and t.endswith("_" + machine)
                        for t in tags), tags


USES = {
    "right": ("""
        from pathlib import Path
        from velmora.pipeline.patch_eus import _next_donem, patch_eus_gaps
        following: str = _next_donem("2512")
        patch_eus_gaps(Path("scores.duckdb"))
        patch_eus_gaps(db_path="scores.duckdb")
        """, []),
    "wrong": ("""
        from velmora.pipeline.patch_eus import _next_donem, patch_eus_gaps
        _next_donem(2512)
        count: int = _next_donem("2512")
        patch_eus_gaps(42)
        patch_eus_gaps(path="scores.duckdb")
        """, [(3, "arg-type"), (4, "assignment"), (5, "arg-type"), (6, "call-arg")]),
}


@pytest.fixture(scope="module")
def checked(tmp_path_factory):
    """mypy's findings on every use, from one run over them all (a run
    takes half a minute on an emulated board): by use, its status and its
    (line, error code) pairs."""
    folder = tmp_path_factory.mktemp("uses")
    for use, (source, _) in USES.items():
        (folder / f"{use}.py").write_text(textwrap.dedent(source))
    run = subprocess.run(
        [sys.executable, "-m", "mypy", "--no-incremental", "--strict",
         *(f"{use}.py" for use in sorted(USES))],
        cwd=folder, capture_output=True, text=True, timeout=600)
    found = {use: [] for use in USES}
    for line in run.stdout.splitlines():
        if ": error:" in line:
            use = line.split(".py:", 1)[0]
            found[use].append((int(line.split(":")[1]), line.rsplit("[", 1)[1].rstrip("]")))
    return run, found


@pytest.mark.parametrize("use", sorted(USES))
def test_mypy_reads_the_stubs(checked, use):
    run, found = checked
    assert sorted(found[use]) == USES[use][1], run.stdout
    # 1: errors found (the wrong use's), not mypy's own failure (2).
    assert run.returncode == 1, run.stdout + run.stderr


def test_only_the_init_function_is_exported():
    import shutil
    import velmora.pipeline.patch_eus as module
    if not shutil.which("nm"):
        pytest.skip("no nm on this machine to read the symbol table")
    symbols = subprocess.run(["nm", "-D", "--defined-only", module.__file__],
                             capture_output=True, text=True, check=True).stdout.split()
    exported = symbols[2::3]
    # The test-only build (make sweep, make coverage) also holds the control
    # module of its failure injection.
    if "PyInit__patch_eus_injection" in exported:
        exported.remove("PyInit__patch_eus_injection")
    assert symbols[1::3] == ["T"] * len(symbols[1::3]) and exported == ["PyInit_patch_eus"]
