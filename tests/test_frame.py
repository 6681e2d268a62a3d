"""The module frame: loading, module globals, function objects, argument
binding and traceback entries, checked through `_rowsieve`."""
import inspect
import os
import subprocess
import sys
import textwrap
import traceback

import pytest

import varnokpy._rowsieve as rs_module
from varnokpy._rowsieve import rowsieve

SRC = "src/varnokpy/_rowsieve"


def run_python(code):
    """Runs `code` in a fresh interpreter (load-time behaviour, crash safety)."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          env=env, timeout=120)


# ---- module body ---------------------------------------------------------

INTERPRETER_GLOBALS = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__",
                       "__builtins__"}


def test_rowsieve_module_globals():
    own = [k for k in vars(rs_module) if k not in INTERPRETER_GLOBALS]
    assert own == ["operator", "_isstr", "rowsieve", "__test__"]
    assert rs_module.__test__ == {}
    assert rs_module.__doc__ is None
    assert rs_module.__name__ == "varnokpy._rowsieve"
    import operator
    from varnokpy._util import _isstr
    assert rs_module.operator is operator and rs_module._isstr is _isstr


def test_class_namespace_order():
    names = [k for k in vars(rowsieve) if k not in ("__dict__", "__weakref__")]
    assert names == [
        "__module__", "__doc__", "_rowsieve__repl", "__init__", "prev", "prevc", "next", "nextc",
        "_rowsieve__scalardelcheck", "_rowsieve__scalaraddcheck", "__repr__", "clean", "select",
        "__contains__", "_rowsieve__makeindex", "append", "extend", "insert", "pop", "remove",
        "__delitem__", "__delslice__", "__add__", "__iadd__", "__getslice__"]
    assert rowsieve.__module__ == "varnokpy._rowsieve" and rowsieve.__qualname__ == "rowsieve"
    assert rowsieve.__bases__ == (list,) and type(rowsieve) is type
    assert isinstance(vars(rowsieve)["_rowsieve__repl"], staticmethod)


SIGNATURES = {
    "__init__": "(self, data=[], wild='*')", "prev": "(self, v)", "prevc": "(self, v)", "next": "(self, v)",
    "nextc": "(self, v)", "_rowsieve__scalardelcheck": "(self)", "_rowsieve__scalaraddcheck": "(self, x)",
    "__repr__": "(self)", "clean": "(self)", "select": "(self, *vals)", "__contains__": "(self, val)",
    "_rowsieve__makeindex": "(self, getkey)", "append": "(self, x)", "extend": "(self, L)",
    "insert": "(self, i, x)", "pop": "(self, i=-1)", "remove": "(self, x)", "__delitem__": "(self, i)",
    "__delslice__": "(self, i, j)", "__add__": "(self, other)", "__iadd__": "(self, other)",
    "__getslice__": "(self, b, c)", "_rowsieve__repl": "(x, k, v)",
}


@pytest.mark.parametrize("key,sig", SIGNATURES.items())
def test_signatures_and_names(key, sig):
    fn = getattr(rowsieve, key)
    assert str(inspect.signature(fn)) == sig
    plain = key.replace("_rowsieve__", "__")
    assert fn.__name__ == plain
    assert fn.__qualname__ == "rowsieve." + plain
    assert fn.__module__ == "varnokpy._rowsieve"
    assert fn.__globals__ is vars(rs_module)
    assert fn.__code__.co_filename == SRC
    assert fn.__code__.co_name == plain


def test_defaults_are_shared_objects():
    d1 = rowsieve.__init__.__defaults__
    d2 = rowsieve.__init__.__defaults__
    assert d1 == ([], "*") and d1[0] is d2[0]
    assert rowsieve.pop.__defaults__ == (-1,)
    assert rowsieve.clean.__defaults__ is None and rowsieve.clean.__kwdefaults__ is None
    rowsieve()
    assert rowsieve.__init__.__defaults__[0] == []


def test_function_data_model():
    fn = rowsieve.clean
    assert "clean()" in fn.__doc__ and "ROUTINE:" in fn.__doc__
    assert rowsieve.prev.__doc__ is None
    fn.__dict__["tag"] = 1
    assert fn.tag == 1
    del fn.tag
    r = rowsieve()
    bound = r.clean
    assert bound.__self__ is r and bound.__func__ is rowsieve.clean
    assert rowsieve.__dict__["clean"].__get__(None, rowsieve) is rowsieve.clean
    assert repr(fn).startswith("<function rowsieve.clean at ")
    # A type of its own, not Python's function type under its name.
    assert repr(type(fn)) == "<class 'varnokpy.function'>" and type(fn).__module__ == "varnokpy"
    # Methods of exact instances are called without a bound method object.
    assert type(fn).__flags__ & (1 << 17)
    import pickle
    assert pickle.loads(pickle.dumps(rowsieve.clean)) is rowsieve.clean


# ---- argument binding ------------------------------------------------------

r0 = rowsieve([(1, 2)])

BINDING_ERRORS = [
    (lambda: r0.prev(), "prev() takes exactly 2 positional arguments (1 given)"),
    (lambda: r0.prev(w=1), "prev() takes exactly 2 positional arguments (1 given)"),
    (lambda: r0.prev(1, v=2), "prev() got multiple values for keyword argument 'v'"),
    (lambda: r0.prev(v=1, w=2), "prev() got an unexpected keyword argument 'w'"),
    (lambda: r0.prev(1, 2), "prev() takes exactly 2 positional arguments (3 given)"),
    (lambda: rowsieve.__init__(), "__init__() takes at least 1 positional argument (0 given)"),
    (lambda: r0.__init__(1, 2, 3), "__init__() takes at most 3 positional arguments (4 given)"),
    (lambda: rowsieve.select(), "select() takes at least 1 positional argument (0 given)"),
    (lambda: rowsieve.clean(), "clean() takes exactly 1 positional argument (0 given)"),
    (lambda: r0.clean(1), "clean() takes exactly 1 positional argument (2 given)"),
    (lambda: r0.select(vals=1), "select() got an unexpected keyword argument 'vals'"),
    (lambda: r0.insert(x=1), "insert() takes exactly 3 positional arguments (1 given)"),
    # With keywords, "given" is the position of the first missing parameter.
    (lambda: rowsieve.insert(r0, x=1), "insert() takes exactly 3 positional arguments (1 given)"),
    (lambda: rowsieve.insert(self=r0, x=1), "insert() takes exactly 3 positional arguments (1 given)"),
    (lambda: rowsieve.insert(i=0, x=1), "insert() takes exactly 3 positional arguments (0 given)"),
    (lambda: rowsieve.pop(i=0), "pop() takes at least 1 positional argument (0 given)"),
    (lambda: r0.pop(1, 2), "pop() takes at most 2 positional arguments (3 given)"),
    (lambda: rowsieve._rowsieve__repl(1, 2), "__repl() takes exactly 3 positional arguments (2 given)"),
    # The count check comes before leftover keywords are looked at.
    (lambda: rowsieve.prev(r0, x=1), "prev() takes exactly 2 positional arguments (1 given)"),
]


@pytest.mark.parametrize("call,message", BINDING_ERRORS)
def test_binding_messages(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_every_parameter_binds_by_keyword():
    r = rowsieve.__new__(rowsieve)
    rowsieve.__init__(self=r, data=[(1, 2)], wild="+")
    assert r == [(1, 2)] and r._rowsieve__wild == "+"
    rowsieve.append(self=r, x=(3, 4))
    rowsieve.extend(r, L=[(5, 6)])
    assert r == [(1, 2), (3, 4), (5, 6)]
    assert rowsieve.clean(self=r) is None


def test_binding_failure_keeps_references():
    sentinel = object()
    before = sys.getrefcount(sentinel)
    for _ in range(100):
        with pytest.raises(TypeError):
            r0.prev(sentinel, v=sentinel)
        with pytest.raises(TypeError):
            r0.prev(w=sentinel)
    assert sys.getrefcount(sentinel) == before


# ---- traceback entries -------------------------------------------------------

def test_traceback_names_every_failing_function():
    r = rowsieve([(1, 2)])
    with pytest.raises(ValueError) as info:
        r.append(5)
    entries = [(fs.filename, fs.name) for fs in traceback.extract_tb(info.value.__traceback__)]
    assert entries[-2:] == [(SRC, "varnokpy._rowsieve.rowsieve.append"),
                            (SRC, "varnokpy._rowsieve.rowsieve.__scalaraddcheck")]


def test_caught_exception_adds_no_entry():
    # The mode check swallows its own IndexError on an empty batch.
    r = rowsieve([(1, 2)])
    r.extend([])
    with pytest.raises(TypeError) as info:
        r.extend(5)
    names = [fs.name for fs in traceback.extract_tb(info.value.__traceback__)]
    assert names[1:] == ["varnokpy._rowsieve.rowsieve.extend"]


# ---- loading -------------------------------------------------------------------

def test_package_loads_its_modules_on_first_use():
    code = """
        import sys
        import varnokpy
        print(sorted(m for m in sys.modules if m.startswith("varnokpy.")), "keyshelf" in dir(varnokpy))
        from varnokpy import keyshelf, rowsieve
        import varnokpy._keyshelf, varnokpy._rowsieve
        print(keyshelf is varnokpy._keyshelf.keyshelf, rowsieve is varnokpy._rowsieve.rowsieve)
        try:
            varnokpy.keyshelve
        except AttributeError as e:
            print(e)
    """
    out = run_python(code)
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == ["[] True", "True True", "module 'varnokpy' has no attribute 'keyshelve'"]


def test_reimport_gives_identical_module_and_class():
    code = """
        import sys
        import varnokpy._rowsieve as m1
        cls = m1.rowsieve
        del sys.modules['varnokpy._rowsieve']
        import varnokpy._rowsieve as m2
        assert m2 is m1 and m2.rowsieve is cls
        print('ok')
    """
    out = run_python(code)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "ok"


def test_missing_builtin_fails_the_load_and_a_later_import_starts_afresh():
    code = """
        import builtins, sys, traceback, importlib.util
        saved = builtins.enumerate
        del builtins.enumerate
        try:
            import varnokpy._rowsieve
        except NameError as e:
            print(e)
            print(traceback.extract_tb(e.__traceback__)[-1].name)
        assert 'varnokpy._rowsieve' not in sys.modules
        builtins.enumerate = saved
        import varnokpy._rowsieve as m
        print(list(m.rowsieve([(1, 2)])))
    """
    out = run_python(code)
    assert out.returncode == 0, out.stderr
    lines = out.stdout.splitlines()
    assert lines[0] == "name 'enumerate' is not defined"
    assert lines[1] == "init varnokpy._rowsieve"


def test_missing_sibling_name_fails_the_load():
    code = """
        import sys, types
        fake = types.ModuleType('varnokpy._util')
        import varnokpy
        sys.modules['varnokpy._util'] = fake
        try:
            import varnokpy._rowsieve
        except ImportError as e:
            print(type(e).__name__, e)
    """
    out = run_python(code)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "ImportError cannot import name _isstr"


def test_second_interpreter_is_refused():
    code = """
        import _xxsubinterpreters as interpreters
        import varnokpy._rowsieve
        interp = interpreters.create()
        try:
            interpreters.run_string(interp, "import varnokpy._rowsieve")
        except Exception as e:
            print(e)
        from varnokpy._rowsieve import rowsieve
        print(rowsieve([(1, 2)]) == [(1, 2)])
    """
    out = run_python(code)
    assert out.returncode == 0, out.stderr
    lines = out.stdout.splitlines()
    assert "ImportError'>: Interpreter change detected - this module can only be loaded into one " \
           "interpreter per process." in lines[0]
    assert lines[1] == "True"
