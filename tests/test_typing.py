"""Types: mypy --strict accepts a typed model written against the stubs of
the native modules and the annotated Python modules, rejects misuse, and every
stub agrees with the built module."""

import ast
import importlib
import inspect
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
PACKAGE = ROOT / "src" / "varnokpy"
EXAMPLE = Path(__file__).with_name("typing_example.py")
DEMO = ROOT / "examples" / "demo.py"
STUBBED = ["_rowsieve", "_keyshelf", "warpmath", "_draftrel"]
STUBS = [PACKAGE / (name + ".pyi") for name in STUBBED]
# The annotated Python modules are checked as strictly as the code that uses them.
ANNOTATED = sorted(PACKAGE.glob("*.py"))

# Class-body entries that every class has and no stub declares.
IMPLICIT = {"__module__", "__qualname__", "__doc__", "__dict__", "__weakref__"}


# ---------------------------------------------------------------- mypy

def run_mypy(tmp_path, *files):
    pytest.importorskip("mypy")
    config = tmp_path / "mypy.ini"
    config.write_text("[mypy]\n")
    env = dict(os.environ, MYPYPATH=str(ROOT / "src"))
    cmd = [sys.executable, "-m", "mypy", "--config-file", str(config),
           "--cache-dir", str(tmp_path / "cache"),
           # Unreachable code would go unchecked: a wrong isinstance() or
           # annotation could hide a whole branch.
           "--strict", "--warn-unreachable", "--no-error-summary", "--show-error-codes",
           *map(str, files), *map(str, STUBS), *map(str, ANNOTATED)]
    proc = subprocess.run(cmd, cwd=tmp_path, env=env, capture_output=True, text=True)
    return proc.returncode, proc.stdout + proc.stderr


def test_mypy_accepts_the_example_the_demo_and_the_package(tmp_path):
    code, out = run_mypy(tmp_path, EXAMPLE, DEMO)
    assert code == 0, out


MISUSE = [
    ("r.select(x=1)", 'Unexpected keyword argument "x"'),
    ("rowsieve(datum=[])", 'Unexpected keyword argument "datum"'),
    ("r.pop('last')", "incompatible type"),
    ("keyshelf().prod((1, 2))", "incompatible type"),
    ("keyshelf().update(a=1)", 'Unexpected keyword argument "a"'),
    ("keyshelf().setord(5)", "incompatible type"),
    ("warpmath.log(x=1)", 'Unexpected keyword argument "x"'),
    ("warpmath.sine(1)", "has no attribute"),
    ("DraftRel(1, 2)", 'Missing positional argument "rhs"'),
    ("n: int = r.select(1)", "Incompatible types in assignment"),
    ("i: int = keyshelf().sum()", "Incompatible types in assignment"),
    ("keyshelf().prod({}, coeffs={})", 'Unexpected keyword argument "coeffs"'),
    ("t: MNLExpr = warpmath.sin(x)", "Incompatible types in assignment"),
    ("m: NLExpr = warpmath.exp(MVar.fromshape(2))", "Incompatible types in assignment"),
]


def test_mypy_rejects_misuse(tmp_path):
    """Each line is wrong in a way that only the declared types can tell."""
    header = textwrap.dedent("""\
        from varnokpy import warpmath
        from varnokpy._core import NLExpr, Var
        from varnokpy._draftrel import DraftRel
        from varnokpy._keyshelf import keyshelf
        from varnokpy._matrixapi import MNLExpr, MVar
        from varnokpy._rowsieve import rowsieve
        r = rowsieve([(1, 2)])
        x = Var("x")
        """)
    first = header.count("\n") + 1
    bad = tmp_path / "misuse.py"
    bad.write_text(header + "\n".join(line for line, _ in MISUSE) + "\n")
    code, out = run_mypy(tmp_path, bad)
    assert code == 1, out
    for lineno, (line, expected) in enumerate(MISUSE, start=first):
        errors = [e for e in out.splitlines() if e.startswith("misuse.py:%d:" % lineno)]
        assert errors and any(expected in e for e in errors), (line, out)


def test_typed_example_runs():
    """What the example declares is also what the modules return."""
    example = importlib.import_module(EXAMPLE.stem)  # tests/ is on sys.path
    example.main()


# ---------------------------------------------------------------- stubs against modules

def parse_stub(module):
    return ast.parse((PACKAGE / (module + ".pyi")).read_text())


def stub_definitions(module):
    """(qualified name, node) of every function, class and method in a stub."""
    for node in parse_stub(module).body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            yield node.name, node
        if isinstance(node, ast.ClassDef):
            for member in node.body:
                if isinstance(member, ast.FunctionDef):
                    yield node.name + "." + member.name, member


def stub_parameters(fn):
    """(name, kind, has default) per parameter, as inspect.Parameter reports them."""
    a = fn.args
    positional = [(p, inspect.Parameter.POSITIONAL_ONLY) for p in a.posonlyargs]
    positional += [(p, inspect.Parameter.POSITIONAL_OR_KEYWORD) for p in a.args]
    first_default = len(positional) - len(a.defaults)
    params = [(p.arg, kind, i >= first_default) for i, (p, kind) in enumerate(positional)]
    if a.vararg:
        params.append((a.vararg.arg, inspect.Parameter.VAR_POSITIONAL, False))
    params += [(p.arg, inspect.Parameter.KEYWORD_ONLY, d is not None)
               for p, d in zip(a.kwonlyargs, a.kw_defaults)]
    if a.kwarg:
        params.append((a.kwarg.arg, inspect.Parameter.VAR_KEYWORD, False))
    return params


def runtime_parameters(obj):
    return [(p.name, p.kind, p.default is not inspect.Parameter.empty)
            for p in inspect.signature(obj).parameters.values()]


def runtime_object(module, qualname):
    obj = importlib.import_module("varnokpy." + module)
    for part in qualname.split("."):
        # Class members are read from the class dict: no binding, no inheritance.
        obj = vars(obj)[part] if isinstance(obj, type) else getattr(obj, part)
    return obj.__func__ if isinstance(obj, (staticmethod, classmethod)) else obj


SIGNATURES = [pytest.param(m, q, node, id="%s.%s" % (m, q))
              for m in STUBBED for q, node in stub_definitions(m)
              if isinstance(node, ast.FunctionDef)]


@pytest.mark.parametrize("module, qualname, node", SIGNATURES)
def test_stub_signature_matches_module(module, qualname, node):
    obj = runtime_object(module, qualname)
    assert stub_parameters(node) == runtime_parameters(obj)


@pytest.mark.parametrize("module", STUBBED)
def test_stub_declares_every_public_name(module):
    mod = importlib.import_module("varnokpy." + module)
    declared = {q for q, _ in stub_definitions(module)}
    defined = {name for name, obj in vars(mod).items()
               if getattr(obj, "__module__", None) == mod.__name__
               and callable(obj) and not name.startswith("_")}
    assert defined and defined <= declared


CLASSES = [pytest.param(m, q, node, id="%s.%s" % (m, q))
           for m in STUBBED for q, node in stub_definitions(m)
           if isinstance(node, ast.ClassDef)]


def class_members(cls):
    """The names a stub must declare: the class body minus class-private names."""
    private = "_%s__" % cls.__name__
    return {name for name in vars(cls) if name not in IMPLICIT and not name.startswith(private)}


@pytest.mark.parametrize("module, qualname, node", CLASSES)
def test_stub_class_matches_module(module, qualname, node):
    cls = runtime_object(module, qualname)
    bases = [b.value.id if isinstance(b, ast.Subscript) else b.id for b in node.bases]
    bases = bases or ["object"]
    assert bases == [b.__name__ for b in cls.__bases__]
    methods = {m.name for m in node.body if isinstance(m, ast.FunctionDef)}
    annotated = {m.target.id for m in node.body if isinstance(m, ast.AnnAssign)}
    # Every member of the class body is declared; a declared method exists in it.
    assert class_members(cls) <= methods | annotated
    assert methods <= set(vars(cls))


SAMPLES = {
    "rowsieve": lambda mod: mod.rowsieve([(1, 2)]),
    "keyshelf": lambda mod: mod.keyshelf({1: 2}),
    "DraftRel": lambda mod: mod.DraftRel(1, "<=", 2),
}


@pytest.mark.parametrize("module, qualname, node", CLASSES)
def test_stub_attributes_exist(module, qualname, node):
    """Declared data attributes are class attributes or set by the constructor."""
    mod = importlib.import_module("varnokpy." + module)
    instance = SAMPLES[qualname](mod)
    for member in node.body:
        if isinstance(member, ast.AnnAssign):
            name = member.target.id
            on_class = "ClassVar" in ast.unparse(member.annotation)
            assert hasattr(type(instance) if on_class else instance, name), name
            if not on_class:
                assert name in vars(instance), name
