"""The failure injection wraps every call of the C API that can fail where
the module makes it: each call in the module's sources is wrapped in
injection.hpp or listed in unwrapped.txt with its reason, neither list holds
a call the sources do not make, and the release build imports no symbol of
the interpreter that neither names.  A call added without being listed
would otherwise escape the failure sweep."""
import re
import shutil
import subprocess
from pathlib import Path

import pytest

import velmora.pipeline.patch_eus as patch_eus
from conftest import load_injection_control

HERE = Path(__file__).resolve().parent
SOURCES = HERE.parent.parent / "src" / "velmora" / "pipeline" / "patch_eus"
# Comments, and string and character literals, which may spell a call.
NOT_CODE = re.compile(r'//[^\n]*|/\*.*?\*/|"(?:\\.|[^"\\])*"|\'(?:\\.|[^\'\\])*\'', re.S)
CAPI_NAME = r"\b(_?Py[A-Za-z0-9_]*)"


def module_sources():
    """The module's sources, without comments and literals, by file name."""
    return {path.name: NOT_CODE.sub(" ", path.read_text())
            for path in sorted(SOURCES.rglob("*")) if path.suffix in (".cpp", ".hpp")}


def names_in(texts, called):
    """The C API names the texts call (followed by a parenthesis), or name
    at all; the module's own entry point is not the interpreter's."""
    pattern = re.compile(CAPI_NAME + (r"\s*\(" if called else r"\b"))
    found = {name for text in texts for name in pattern.findall(text)}
    return {name for name in found if not name.startswith("PyInit_")}


def wrapped_calls():
    """The calls injection.hpp wraps, each a macro of the function's name."""
    return set(re.findall(r"^#define (\w+)\(\.\.\.\)", (HERE / "injection.hpp").read_text(), re.M))


def unwrapped_calls():
    """unwrapped.txt: the calls left alone (name -> reason), the names that
    stand for another (name -> the other), and those reached through the
    headers only."""
    left, aliases, headers = {}, {}, set()
    in_headers = False
    for line in (HERE / "unwrapped.txt").read_text().splitlines():
        line = line.split("#", 1)[0].strip()
        if not line:
            continue
        if line == "[headers]":
            in_headers = True
        elif "=" in line:
            name, stands_for = (part.strip() for part in line.split("="))
            aliases[name] = stands_for
        elif in_headers:
            headers.add(line.split()[0])
        else:
            name, _, reason = line.partition(" ")
            assert reason.strip(), f"unwrapped.txt gives no reason for {name}"
            left[name] = reason.strip()
    return left, aliases, headers


def check_lists(sources, wrapped, left, aliases):
    """What is wrong between the sources and the two lists, as lines."""
    called = {aliases.get(name, name) for name in names_in(sources.values(), called=True)}
    named = names_in(sources.values(), called=False)
    problems = []
    for name in sorted(called - wrapped - set(left)):
        problems.append(f"{name} is called but neither wrapped in injection.hpp nor listed in "
                        f"unwrapped.txt with the reason it cannot fail")
    for name in sorted(wrapped - called):
        problems.append(f"{name} is wrapped in injection.hpp but never called")
    for name in sorted(set(left) - named):
        problems.append(f"{name} is listed in unwrapped.txt but the sources never name it")
    for name in sorted(wrapped & set(left)):
        problems.append(f"{name} is both wrapped and listed as unwrapped")
    for name, stands_for in sorted(aliases.items()):
        if name not in named:
            problems.append(f"{name} = {stands_for} in unwrapped.txt, but the sources never name it")
    return problems


def test_every_call_is_wrapped_or_listed_with_its_reason():
    left, aliases, _ = unwrapped_calls()
    assert check_lists(module_sources(), wrapped_calls(), left, aliases) == []


@pytest.mark.parametrize("added, said", [
    ("PyObject_Repr(obj)", "PyObject_Repr is called but neither wrapped"),
    ("PyUnicode_AsUTF8AndSize(text, &n)", "PyUnicode_AsUTF8AndSize is called but neither"),
])
def test_a_call_added_without_being_listed_is_found(added, said):
    sources = module_sources()
    left, aliases, _ = unwrapped_calls()
    sources["patch_run.cpp"] += f"\nvoid added() {{ {added}; }}\n"
    problems = check_lists(sources, wrapped_calls(), left, aliases)
    assert any(line.startswith(said) for line in problems), problems


def test_a_call_no_longer_made_is_found():
    sources = module_sources()
    left, aliases, _ = unwrapped_calls()
    sources = {name: text.replace("PyNumber_TrueDivide(", "PyNumber_Divided(")
               for name, text in sources.items()}
    problems = check_lists(sources, wrapped_calls(), left, aliases)
    assert "PyNumber_TrueDivide is wrapped in injection.hpp but never called" in problems


def is_test_only_build():
    try:
        load_injection_control()
    except ImportError:
        return False
    return True


def test_the_release_build_imports_no_call_unaccounted_for():
    """The symbols of the interpreter that the built library imports (nm)
    are calls the sources make, or names the headers reach: a call made
    some other way than by its name would show here."""
    if not shutil.which("nm"):
        pytest.skip("no nm on this machine to read the symbol table")
    if is_test_only_build():
        pytest.skip("the test-only build imports the injection's own calls too")
    left, aliases, headers = unwrapped_calls()
    sources = module_sources().values()
    accounted = (names_in(sources, called=False) | wrapped_calls() | set(left) | headers
                 | set(aliases.values()))
    symbols = subprocess.run(["nm", "-D", "--undefined-only", patch_eus.__file__],
                             capture_output=True, text=True, check=True).stdout.split()
    interpreter = {s for s in symbols if re.fullmatch(r"_?Py\w+", s)}
    # The interpreter's objects (exception classes, types, None and the
    # booleans) are data, not calls.
    data = {s for s in interpreter
            if s.startswith("PyExc_") or s.endswith("_Type") or re.fullmatch(r"_Py_\w+Struct", s)}
    assert sorted(interpreter - data - accounted) == []
