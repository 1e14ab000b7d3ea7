"""Argument binding of both functions, in the vector and the generic call
form, with the exact texts, and whether a traceback entry is added."""
import ctypes
import functools
import sys

import pytest

from conftest import NEXT_DONEM, PATCH, Recorder, make_db, module_entries

_testcapi = pytest.importorskip("_testcapi")

_PyObject_Call = ctypes.pythonapi.PyObject_Call
_PyObject_Call.restype = ctypes.py_object
_PyObject_Call.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.py_object]


def generic(f, *args, **kwargs):
    """The tuple-and-dict form, as C code calls it."""
    return _PyObject_Call(f, args, kwargs)


def generic_dict(f, args, kwargs):
    return _PyObject_Call(f, tuple(args), kwargs)


# The function type's tp_call slot itself, as C code may call it with any
# dict (PyObject_Call and f.__call__ turn a dict of other keys away first).
_CALL_SLOT = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object, ctypes.py_object,
                              ctypes.c_void_p)


def slot_call(f, args, kwargs):
    """kwargs: a dict, or None for none at all (NULL)."""
    # tp_call is the 17th pointer-sized field of a type object.
    slot = ctypes.c_void_p.from_address(id(type(f)) + 16 * ctypes.sizeof(ctypes.c_void_p))
    return _CALL_SLOT(slot.value)(f, tuple(args), None if kwargs is None else id(kwargs))


def vector(f, args, kwnames=None):
    """The vector form with keyword names of any type."""
    return _testcapi.pyobject_vectorcall(f, tuple(args), kwnames)


class Text(str):
    pass


class Raising(str):
    def __eq__(self, other):
        raise LookupError("compared")

    __hash__ = str.__hash__


# The ways a call reaches a function: all must behave the same.
CALLERS = {
    "direct": lambda f, *a, **k: f(*a, **k),
    "star-star": lambda f, *a, **k: f(*a, **dict(k)),
    "partial": lambda f, *a, **k: functools.partial(f)(*a, **k),
    "generic": generic,
    # The type's own call slot, as the slot wrapper reaches it.
    "__call__": lambda f, *a, **k: f.__call__(*a, **k),
}

COUNT = "{}() takes exactly 1 positional argument ({} given)"

BAD_CALLS = [
    # args, kwargs, message with {} for the function name
    ((), {}, COUNT.format("{0}", 0)),
    (("2512", "2601"), {}, COUNT.format("{0}", 2)),
    (("2512", "2601", "x"), {"x": 1}, COUNT.format("{0}", 3)),
    (("2512", "2601"), {"{1}": 1}, COUNT.format("{0}", 2)),
    (("2512",), {"{1}": "2601"}, "{0}() got multiple values for keyword argument '{1}'"),
    ((), {"path": "x"}, "{0}() got an unexpected keyword argument 'path'"),
    (("2512",), {"x": 1}, "{0}() got an unexpected keyword argument 'x'"),
    ((), {"{1}": "2512", "x": 1}, "{0}() got an unexpected keyword argument 'x'"),
    ((), {"x": 1, "{1}": "2512"}, "{0}() got an unexpected keyword argument 'x'"),
]


@pytest.mark.parametrize("caller", CALLERS)
@pytest.mark.parametrize("args, kwargs, message", BAD_CALLS)
@pytest.mark.parametrize("name, param, where, line", [
    ("_next_donem", "d", NEXT_DONEM, 13), ("patch_eus_gaps", "db_path", PATCH, 23)])
def test_rejected_calls(module, restore_globals, caller, args, kwargs, message, name, param,
                        where, line):
    log = []
    restore_globals["duckdb"] = Recorder(__import__("duckdb"), log)
    f = getattr(module, name)
    kwargs = {k.format(name, param): v for k, v in kwargs.items()}
    with pytest.raises(TypeError) as info:
        CALLERS[caller](f, *args, **kwargs)
    assert str(info.value) == message.format(name, param)
    assert module_entries(info.value.__traceback__) == [(where, line)]
    assert log == []  # the body never ran


@pytest.mark.parametrize("caller", CALLERS)
def test_accepted_calls(module, caller, tmp_path, capsys):
    call = CALLERS[caller]
    assert call(module._next_donem, "2512") == "2601"
    assert call(module._next_donem, d="2512") == "2601"
    assert call(module._next_donem, *(), **{"d": "2512"}) == "2601"
    db = make_db(tmp_path / "x.duckdb")
    assert call(module.patch_eus_gaps, db) is None
    assert call(module.patch_eus_gaps, db_path=str(db)) is None
    assert capsys.readouterr().out == "  [SKIP] patch_eus_gaps: empty table\n" * 2


@pytest.mark.parametrize(
    "arg, message",
    [
        (None, "Argument 'd' has incorrect type (expected str, got NoneType)"),
        (2512, "Argument 'd' has incorrect type (expected str, got int)"),
        (b"2512", "Argument 'd' has incorrect type (expected str, got bytes)"),
        (Text("2512"),
         "Argument 'd' has incorrect type (expected str, got Text). Note that Cython is "
         "deliberately stricter than PEP-484 and rejects subclasses of builtin types. If you "
         "need to pass subclasses then set the 'annotation_typing' directive to False."),
    ],
)
@pytest.mark.parametrize("by_keyword", [False, True])
def test_next_donem_wants_exactly_str(module, arg, message, by_keyword):
    with pytest.raises(TypeError) as info:
        module._next_donem(d=arg) if by_keyword else module._next_donem(arg)
    assert str(info.value) == message
    assert module_entries(info.value.__traceback__) == []


@pytest.mark.parametrize(
    "args, kwnames, expected",
    [
        (("2512",), (Text("d"),), "2601"),          # a str subclass equal to the name binds
        (("2512",), ("d",), "2601"),
        (("2512",), ("".join(["d"]),), "2601"),     # equal but not the interned object
    ],
)
def test_keyword_names_by_content(module, args, kwnames, expected):
    assert vector(module._next_donem, args, kwnames) == expected
    assert generic_dict(module._next_donem, (), dict(zip(kwnames, args))) == expected


def test_a_keyword_equal_to_the_name_but_another_object_binds(module):
    # (A one-character name is always the interpreter's one object.)
    name = "".join(["db_", "path"])
    assert name == "db_path" and name is not sys.intern("db_path")
    import duckdb
    with pytest.raises(duckdb.CatalogException) as info:  # bound, and run on an empty database
        vector(module.patch_eus_gaps, (":memory:",), (name,))
    assert module_entries(info.value.__traceback__) == [(PATCH, 37)]


def test_keyword_names_that_are_not_strings(module):
    with pytest.raises(TypeError) as info:
        vector(module._next_donem, ("2512",), (5,))
    assert str(info.value) == "_next_donem() keywords must be strings"
    assert module_entries(info.value.__traceback__) == [(NEXT_DONEM, 13)]
    for call in (generic_dict, slot_call):
        with pytest.raises(TypeError) as info:
            call(module.patch_eus_gaps, (), {5: "x"})
        assert str(info.value) == "keywords must be strings"
        assert module_entries(info.value.__traceback__) == []
    assert slot_call(module._next_donem, ("2512",), None) == "2601"
    assert slot_call(module._next_donem, (), {"d": "2512"}) == "2601"
    # The name check stops at the first failing name.
    with pytest.raises(TypeError, match="unexpected keyword argument 'x'"):
        vector(module._next_donem, (1, 2), ("x", 5))


def test_comparison_of_subclass_name_propagates(module):
    with pytest.raises(LookupError, match="compared") as info:
        vector(module._next_donem, ("2512",), (Raising("d"),))
    assert module_entries(info.value.__traceback__) == [(NEXT_DONEM, 13)]


@pytest.mark.parametrize("arg", [None, 42])
def test_patch_eus_gaps_binds_anything(module, tmp_path, monkeypatch, arg):
    import duckdb
    monkeypatch.chdir(tmp_path)
    with pytest.raises(duckdb.CatalogException) as info:
        module.patch_eus_gaps(arg)
    # str(arg) was opened as a new, empty database file.
    assert (tmp_path / str(arg)).exists()
    assert module_entries(info.value.__traceback__) == [(PATCH, 37)]
