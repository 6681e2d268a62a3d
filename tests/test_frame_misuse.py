"""Every function of every module, called with wrong objects as `self` and as
arguments, returns or raises one of the exceptions such a call can raise in
Python (wrong types and values, missing attributes and keys, an index out of
range, the package's own errors); none crashes the interpreter, and none
raises SystemError, the mark of a native function that returned NULL without
an exception (or a result with one set)."""
import os
import subprocess
import sys
import textwrap

import pytest

MODULES = ["varnokpy._rowsieve", "varnokpy._keyshelf", "varnokpy.warpmath", "varnokpy._draftrel"]

PROBE = """
import itertools, sys, warnings
warnings.simplefilter("ignore")
import importlib
module = importlib.import_module(sys.argv[1])
from varnokpy._rowsieve import rowsieve
from varnokpy._exception import VarnokError

# What a wrong call can legitimately raise. SystemError, MemoryError,
# NameError and the rest are faults; KeyboardInterrupt and SystemExit end the
# run.
EXPECTED = (TypeError, ValueError, AttributeError, LookupError, OverflowError, RuntimeError, VarnokError)
faults = []
sys.unraisablehook = lambda u: faults.append("unraisable %s: %s" % (u.exc_type.__name__, u.exc_value))

def callables():
    for name, value in list(vars(module).items()):
        if isinstance(value, type) and value.__module__ == module.__name__:
            for key, member in list(vars(value).items()):
                if isinstance(member, staticmethod):
                    member = member.__func__
                if repr(type(member)) == "<class 'varnokpy.function'>":
                    yield member
        elif repr(type(value)) == "<class 'varnokpy.function'>":
            yield value

samples = [None, 0, -1, 2**70, 1.5, "", "*", "ab", (), (1, 2), [], [(1, 2)], {}, {(1, 2): 3},
           object(), rowsieve(), rowsieve([(1, 2), (3, 4)]), rowsieve([1, 2]), type, len]
count = 0
for fn in callables():
    for n in range(4):
        for args in itertools.product(samples, repeat=n) if n < 3 else zip(samples, samples[1:], samples[2:]):
            try:
                result = fn(*args)
                if repr(type(result)) == "<class 'varnokpy.generator'>":
                    for _ in itertools.islice(result, 3):
                        pass
            except (KeyboardInterrupt, SystemExit):
                raise
            except BaseException as e:
                if isinstance(e, SystemError) or not isinstance(e, EXPECTED):
                    faults.append("%s%s: %s: %s" % (fn.__qualname__, tuple(type(a).__name__ for a in args),
                                                    type(e).__name__, e))
            count += 1
print(count)
for fault in faults[:20]:
    print("FAULT", fault)
"""


@pytest.mark.parametrize("module", MODULES)
def test_misuse_raises_only_what_a_wrong_call_can(module):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    out = subprocess.run([sys.executable, "-c", textwrap.dedent(PROBE), module], capture_output=True,
                         text=True, env=env, timeout=600)
    assert out.returncode == 0, out.stderr[-3000:]
    count, *faults = out.stdout.splitlines()
    assert not faults, "\n".join(faults)
    assert int(count) > 1000


def test_runaway_recursion_through_native_functions_raises():
    code = """
        import sys
        from varnokpy._rowsieve import rowsieve

        class Loop(rowsieve):
            def clean(self):
                self.append((1, 2))   # append calls clean, which appends again

        try:
            Loop([(1, 2)])
        except RecursionError:
            print("RecursionError")
    """
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    out = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                         env=env, timeout=120)
    assert out.returncode == 0, out.stderr[-2000:]
    assert out.stdout.strip() == "RecursionError"
