"""Loading the module: its definition, globals, function objects and the
one-module, one-interpreter rules."""
import builtins
import importlib
import inspect
import pickle
import re
import sys
import types

import duckdb
import pandas
import pathlib
import pytest

from conftest import INIT, SOURCE_FILE, run_isolated

MODULE_DOC = (
    "\nPatch: single-period gap interpolation in brz_eus_tahmin.\n\n"
    "Post-ingest manipulation \u2014 deliberately separate from ingest.\n"
)
PATCH_DOC = "\n".join(
    [
        "Patch single-period gaps in brz_eus_tahmin by interpolation.",
        "",
        "    For each muta: if period N-1 and N+1 have eus_skor but N doesn't,",
        "    insert a new row for N with eus_skor = avg(N-1, N+1).",
        "    Does NOT modify existing rows \u2014 only inserts new ones.",
        "",
        "    Uses calendar-based period sequence (YYMM), not just existing periods.",
        "    This correctly handles entirely missing periods (e.g., 2507 doesn't",
        "    exist at all in the table).",
        "    ",
    ]
)
PATCH_LOCALS = (
    "db_path con min_d max_d calendar d eus eus_lookup _ row rows i prev_d gap_d next_d "
    "prev_mutas next_mutas gap_mutas candidates muta prev_skor prev_iht next_skor next_iht "
    "avg_skor avg_iht patch_df period_counts cnt m d m d m d"
).split()


def test_module_definition_and_globals(module):
    assert module.__doc__ == MODULE_DOC and len(module.__doc__) == 122
    assert module.__name__ == "velmora.pipeline.patch_eus"
    assert module.__package__ == "velmora.pipeline"
    assert module.__file__ == module.__spec__.origin
    assert not hasattr(module, "__path__")
    assert list(vars(module))[-7:] == [
        "__builtins__", "Path", "duckdb", "pd", "_next_donem", "patch_eus_gaps", "__test__",
    ]
    assert module.__builtins__ is builtins
    assert module.Path is pathlib.Path
    assert module.duckdb is duckdb and module.pd is pandas
    assert module.__test__ == {} and type(module.__test__) is dict


@pytest.mark.parametrize(
    "name, doc, annotations, first_line, varnames, signature",
    [
        ("_next_donem", "YYMM \u2192 next month. '2512' \u2192 '2601'.",
         {"d": "str", "return": "str"}, 13, ("d", "yy", "mm"), "(d: 'str') -> 'str'"),
        ("patch_eus_gaps", PATCH_DOC, {"db_path": "Path"}, 23, tuple(PATCH_LOCALS),
         "(db_path: 'Path')"),
    ],
)
def test_function_attributes(module, name, doc, annotations, first_line, varnames, signature):
    f = getattr(module, name)
    assert (f.__name__, f.__qualname__, f.__module__) == (name, name, "velmora.pipeline.patch_eus")
    assert f.__doc__ == doc and len(PATCH_DOC) == 433
    assert f.__annotations__ == annotations
    assert list(f.__annotations__) == list(annotations)
    assert f.__defaults__ is None and f.__kwdefaults__ is None and f.__closure__ is None
    assert f.__globals__ is vars(module)
    assert f.__dict__ == {}
    assert str(inspect.signature(f)) == signature
    code = f.__code__
    assert isinstance(code, types.CodeType)
    assert (code.co_name, code.co_filename, code.co_firstlineno) == (name, SOURCE_FILE, first_line)
    assert (code.co_argcount, code.co_posonlyargcount, code.co_kwonlyargcount) == (1, 0, 0)
    assert code.co_nlocals == len(varnames) and code.co_varnames == varnames
    # CPython 3.13 gives every code object a stack size of at least 1.
    assert code.co_flags == 3 and code.co_stacksize == (1 if sys.version_info >= (3, 13) else 0)
    assert code.co_code == b""
    assert code.co_consts == code.co_names == code.co_freevars == code.co_cellvars == ()
    if sys.version_info < (3, 10):
        assert code.co_lnotab == b""


def test_functions_behave_like_python_functions(module, restore_globals):
    f = module._next_donem
    f.custom = 1
    f.__doc__ = "other"
    f.__name__ = "renamed"
    try:
        assert f.__dict__ == {"custom": 1} and f.__doc__ == "other" and f.__name__ == "renamed"
        with pytest.raises(TypeError):
            f.__name__ = 3
    finally:
        del f.custom
        f.__doc__ = "YYMM \u2192 next month. '2512' \u2192 '2601'."
        f.__name__ = "_next_donem"

    class Holder:
        successor = module._next_donem

    # Bound to an instance, the instance is the argument (and not a str),
    # whether called at once or first taken as a bound method.
    assert Holder.successor is module._next_donem
    with pytest.raises(TypeError, match="got Holder"):
        Holder().successor()
    bound = Holder().successor
    assert bound.__func__ is module._next_donem and isinstance(bound.__self__, Holder)
    with pytest.raises(TypeError, match="got Holder"):
        bound()
    for fn in (module._next_donem, module.patch_eus_gaps):
        assert pickle.loads(pickle.dumps(fn)) is fn
        assert re.fullmatch(rf"<function {fn.__qualname__} at 0x[0-9a-f]+>", repr(fn))


# The writable attributes of a function: what each takes, what emptying it
# does, and the message for anything else (the interpreter's own texts).
WRITABLE = [
    ("__code__", "code", None, "__code__ must be set to a code object"),
    ("__defaults__", ("2512",), None, "__defaults__ must be set to a tuple object"),
    ("__kwdefaults__", {"d": "2512"}, None, "__kwdefaults__ must be set to a dict object"),
    ("__annotations__", {"d": "int"}, {}, "__annotations__ must be set to a dict object"),
]


@pytest.mark.parametrize("name, value, emptied, message", WRITABLE)
@pytest.mark.parametrize("function", ["_next_donem", "patch_eus_gaps"])
def test_writable_function_attributes(module, function, name, value, emptied, message):
    fn = getattr(module, function)
    if value == "code":
        value = (lambda d: d).__code__
    before = getattr(fn, name)
    try:
        setattr(fn, name, value)
        assert getattr(fn, name) is value
        with pytest.raises(TypeError, match=f"^{re.escape(message)}$"):
            setattr(fn, name, 42)
        assert getattr(fn, name) is value
        if emptied is None and name == "__code__":
            with pytest.raises(TypeError, match=f"^{re.escape(message)}$"):
                delattr(fn, name)
        else:
            setattr(fn, name, None)
            assert getattr(fn, name) == emptied
            setattr(fn, name, value)
            delattr(fn, name)
            # Emptied by deleting too; annotations are made anew when read.
            assert getattr(fn, name) == emptied
    finally:
        setattr(fn, name, before)
    assert getattr(fn, name) is before


def test_reimport_and_reload_keep_the_module(module):
    before = dict(vars(module))
    del sys.modules["velmora.pipeline.patch_eus"]
    try:
        again = importlib.import_module("velmora.pipeline.patch_eus")
    finally:
        sys.modules["velmora.pipeline.patch_eus"] = module
    assert again is module
    assert importlib.reload(module) is module
    assert {k: v for k, v in vars(module).items()} == before


def test_print_and_round_are_bound_at_load(module, tmp_path, capsys, monkeypatch):
    from conftest import make_db
    db = make_db(tmp_path / "x.duckdb")
    monkeypatch.setattr(builtins, "print", lambda *a: None)
    monkeypatch.setattr(builtins, "round", lambda *a: 0)
    module.patch_eus_gaps(db)
    assert capsys.readouterr().out == "  [SKIP] patch_eus_gaps: empty table\n"


ROUND_REPLACED = """
import builtins, contextlib, io, json, sys
sys.path.insert(0, sys.argv[1])
import duckdb, pandas  # before the replacement: they round on import
builtins.round = lambda x, digits: float(digits)
from conftest import make_db, patch_eus, table_rows  # loads the module
builtins.round = round = None
db = make_db(sys.argv[2], [("A", "2501", 1.0, 0.1), ("A", "2503", 3.0, 0.3)])
with contextlib.redirect_stdout(io.StringIO()):
    patch_eus.patch_eus_gaps(db)
print(json.dumps([row for row in table_rows(db) if row[1] == "2502"]))
"""


def test_a_round_replaced_before_the_import_is_the_one_bound(tmp_path):
    """The builtins found at load are used, whatever they are: the mean is
    then rounded by the replacement, not computed in place."""
    rows = run_isolated(ROUND_REPLACED, args=(pathlib.Path(__file__).parent,
                                              tmp_path / "scores.duckdb"))
    assert rows == [["A", "2502", 2.0, 4.0]]


# Loading in a fresh interpreter: each case blocks or breaks something before
# the import and reports what the import raised and what came after.
FAILED_IMPORT = """
import json, sys, traceback
{setup}
entries, message, first_globals = [], None, None
try:
    import velmora.pipeline.patch_eus
except BaseException as e:
    message = type(e).__name__ + ": " + str(e)
    tb = e.__traceback__
    while tb:
        if tb.tb_frame.f_code.co_filename == "src/velmora/pipeline/patch_eus":
            entries.append([tb.tb_frame.f_code.co_name, tb.tb_lineno])
            first_globals = tb.tb_frame.f_globals
        tb = tb.tb_next
{repair}
import velmora.pipeline.patch_eus as m
print(json.dumps({{"message": message, "entries": entries,
                  "fresh": first_globals is not None and vars(m) is not first_globals,
                  "works": m._next_donem("2512")}}))
"""


@pytest.mark.parametrize(
    "setup, repair, message, line",
    [
        ("sys.modules['duckdb'] = None", "del sys.modules['duckdb']",
         "ModuleNotFoundError: import of duckdb halted; None in sys.modules", 9),
        ("sys.modules['pandas'] = None", "del sys.modules['pandas']",
         "ModuleNotFoundError: import of pandas halted; None in sys.modules", 10),
        ("import pathlib; P = pathlib.Path; del pathlib.Path", "pathlib.Path = P",
         "ImportError: cannot import name Path", 7),
        ("sys.modules['pathlib'] = None", "del sys.modules['pathlib']",
         "ModuleNotFoundError: import of pathlib halted; None in sys.modules", 7),
        ("import builtins; R = builtins.round; del builtins.round", "builtins.round = R",
         "NameError: name 'round' is not defined", 1),
        ("import builtins; P = builtins.print; del builtins.print", "builtins.print = P",
         "NameError: name 'print' is not defined", 1),
    ],
)
def test_failed_import_adds_one_entry_and_can_be_retried(setup, repair, message, line):
    out = run_isolated(FAILED_IMPORT.format(setup=setup, repair=repair))
    assert out["message"] == message
    assert out["entries"] == [[INIT, line]]
    assert out["fresh"] and out["works"] == "2601"


def test_path_falls_back_to_submodule_entry():
    out = run_isolated("""
        import json, sys, pathlib
        import duckdb, pandas  # these need pathlib.Path themselves
        real = pathlib.Path
        del pathlib.Path
        sys.modules["pathlib.Path"] = real
        import velmora.pipeline.patch_eus as m
        print(json.dumps(m.Path is real))
    """)
    assert out is True


def test_other_module_object_is_refused():
    out = run_isolated("""
        import importlib.util, json
        spec = importlib.util.find_spec("velmora.pipeline.patch_eus")
        first = importlib.util.module_from_spec(spec)
        second = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(first)
        spec.loader.exec_module(first)
        try:
            spec.loader.exec_module(second)
            message = None
        except RuntimeError as e:
            message = str(e)
        third = importlib.util.module_from_spec(spec)
        print(json.dumps([message, third is first, hasattr(second, "duckdb")]))
    """)
    assert out == [
        "Module 'patch_eus' has already been imported. Re-initialisation is not supported.",
        True,
        False,
    ]


def test_loaded_under_another_name():
    out = run_isolated("""
        import importlib.util, json, pickle, sys
        origin = importlib.util.find_spec("velmora.pipeline.patch_eus").origin
        spec = importlib.util.spec_from_file_location("alias.patch_eus", origin)
        m = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(m)
        print(json.dumps([m.__name__, m.patch_eus_gaps.__module__,
                          sys.modules["velmora.pipeline.patch_eus"] is m,
                          pickle.loads(pickle.dumps(m._next_donem)) is m._next_donem]))
    """)
    assert out == ["alias.patch_eus", "velmora.pipeline.patch_eus", True, True]


def test_a_spec_without_the_optional_attributes():
    """Only `name` (and the file's `origin`) are needed: the spec's other
    attributes are copied where they exist, as the machinery's own specs
    always have them."""
    out = run_isolated("""
        import _imp, importlib.util, json
        origin = importlib.util.find_spec("velmora.pipeline.patch_eus").origin

        class Spec:
            name = "velmora.pipeline.patch_eus"

        Spec.origin = origin
        m = _imp.create_dynamic(Spec())
        _imp.exec_dynamic(m)
        print(json.dumps([sorted(k for k in vars(m) if k.startswith("__") and k != "__builtins__"),
                          m.__file__ == origin, m._next_donem("2512")]))
    """)
    assert out == [["__doc__", "__file__", "__loader__", "__name__", "__package__", "__spec__",
                    "__test__"], True, "2601"]


def test_a_function_dropped_with_weak_references_to_it():
    """The two functions live as long as the module's globals hold them;
    dropped, they go, and weak references to them see it."""
    out = run_isolated("""
        import gc, json, weakref
        import velmora.pipeline.patch_eus as m
        seen = []
        refs = [weakref.ref(m._next_donem, lambda r: seen.append("_next_donem")),
                weakref.ref(m.patch_eus_gaps, lambda r: seen.append("patch_eus_gaps"))]
        del vars(m)["_next_donem"], vars(m)["patch_eus_gaps"]
        gc.collect()
        print(json.dumps([seen, [r() is None for r in refs]]))
    """)
    assert out == [["_next_donem", "patch_eus_gaps"], [True, True]]


# How each host makes a subinterpreter of each kind: legacy ones share the
# main interpreter's GIL, isolated ones (3.12 on) have a GIL of their own.
SUBINTERPRETERS = {
    "legacy": [
        ((3, 13), "import _interpreters as m; create = lambda: m.create('legacy')"),
        ((3, 12), "import _xxsubinterpreters as m; create = lambda: m.create(isolated=False)"),
        ((3, 9), "import _xxsubinterpreters as m; create = m.create"),
    ],
    "isolated": [
        ((3, 13), "import _interpreters as m; create = lambda: m.create('isolated')"),
        ((3, 12), "import _xxsubinterpreters as m; create = lambda: m.create(isolated=True)"),
    ],
}


@pytest.mark.parametrize("kind", ["legacy", "isolated"])
@pytest.mark.parametrize("main_import", ["succeeds", "fails"])
def test_second_interpreter_is_refused(kind, main_import):
    """Once the main interpreter has asked for the module, whether its load
    succeeded or failed, every other interpreter gets the module's refusal,
    also when four of them ask at once from four threads."""
    made = [code for since, code in SUBINTERPRETERS[kind] if sys.version_info >= since]
    if not made:
        pytest.skip(f"Python {sys.version_info[0]}.{sys.version_info[1]} has no {kind} "
                    "subinterpreters (an own GIL per interpreter came with 3.12)")
    out = run_isolated("""
        import json, tempfile, threading
        %s
        import sys
        if %r == "fails":
            sys.modules["duckdb"] = None
        try:
            import velmora.pipeline.patch_eus
        except ImportError:
            pass
        # A subinterpreter's own import of the module, its outcome in a file.
        def attempt():
            result = tempfile.mktemp()
            probe = (
                "try:\\n"
                "    import velmora.pipeline.patch_eus\\n"
                "    outcome = 'imported'\\n"
                "except BaseException as e:\\n"
                "    outcome = type(e).__name__ + ': ' + str(e)\\n"
                f"open({result!r}, 'w').write(outcome)\\n"
            )
            m.run_string(create(), probe)
            return open(result).read()
        outcomes = [None] * 4
        def at(i):
            outcomes[i] = attempt()
        threads = [threading.Thread(target=at, args=(i,)) for i in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        print(json.dumps([attempt()] + outcomes))
    """ % (made[0], main_import))
    refusal = ("ImportError: Interpreter change detected - this module can only be loaded "
               "into one interpreter per process.")
    assert out == [refusal] * 5


def next_minor_interpreter():
    import shutil
    import subprocess
    from pathlib import Path
    script = Path(__file__).resolve().parent.parent / "scripts" / "find-python"
    name = "python3.%d" % (sys.version_info[1] + 1)
    found = subprocess.run([str(script), name], capture_output=True, text=True)
    return found.stdout.strip() if found.returncode == 0 and shutil.which("bash") else None


@pytest.mark.skipif(sys.version_info[:2] != (3, 9), reason="3.9 build loaded by 3.10")
def test_version_mismatch_warns_and_fails_only_as_error(module):
    python = next_minor_interpreter()
    if not python:
        pytest.skip("no python3.10 here")
    out = run_isolated(
        """
        import importlib.machinery, importlib.util, json, warnings
        origin = %r
        loader = importlib.machinery.ExtensionFileLoader("velmora.pipeline.patch_eus", origin)
        spec = importlib.util.spec_from_file_location(
            "velmora.pipeline.patch_eus", origin, loader=loader)
        outcomes = []
        for action in ("error", "error", "always"):
            with warnings.catch_warnings(record=True) as seen:
                warnings.simplefilter(action)
                try:
                    loader.exec_module(importlib.util.module_from_spec(spec))
                    outcome = "loaded"
                except BaseException as e:
                    tb, files = e.__traceback__, []
                    while tb:
                        files.append(tb.tb_frame.f_code.co_filename)
                        tb = tb.tb_next
                    outcome = [type(e).__name__, str(e),
                               "src/velmora/pipeline/patch_eus" in files]
            outcomes.append([outcome, [str(w.message) for w in seen]])
        print(json.dumps(outcomes))
        """ % module.__file__,
        python=python,
    )
    text = ("compile time Python version 3.9 of module 'velmora.pipeline.patch_eus' "
            "does not match runtime version 3.10")
    # As an error, twice: nothing stays recorded between the attempts.
    assert out[0] == out[1] == [["RuntimeWarning", text, False], []]
    # As a warning, loading goes on (here to the import of duckdb, which
    # this interpreter does not have).
    assert out[2][1] == [text]
    assert out[2][0] == "loaded" or out[2][0][0] == "ModuleNotFoundError"


def test_failed_load_under_another_name_leaves_no_entry():
    """A load under another name registers the module under its full name
    too; when that load fails, the half-made module must not stay there."""
    out = run_isolated("""
        import importlib.util, json, sys
        origin = importlib.util.find_spec("velmora.pipeline.patch_eus").origin
        spec = importlib.util.spec_from_file_location("alias.patch_eus", origin)
        sys.modules["duckdb"] = None
        try:
            spec.loader.exec_module(importlib.util.module_from_spec(spec))
        except ImportError:
            pass
        left = "velmora.pipeline.patch_eus" in sys.modules
        del sys.modules["duckdb"]
        import velmora.pipeline.patch_eus as m
        print(json.dumps([left, m._next_donem("2512")]))
    """)
    assert out == [False, "2601"]
