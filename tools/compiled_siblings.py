"""The package's sibling modules compiled by Cython, for tests and benchmarks.

In the package that ships the native modules, `_util`, `_core`, `_matrixapi`,
`_exception` and `_vrk` are usually compiled modules written by someone else.
This tool compiles our pure-Python stand-ins with Cython (annotation typing
off, so that they behave as the Python files do) into extension modules, and
loads them in place of the Python files:

    python tools/compiled_siblings.py build/siblings   # build (skips what is up to date)

    import compiled_siblings
    compiled_siblings.use("build/siblings")            # before any varnokpy submodule is imported

`use` puts the directory first on the package's search path, so that the
compiled siblings shadow the Python files while the native modules are still
found beside them.
"""
import os
import subprocess
import sys
import sysconfig

SIBLINGS = ("_util", "_core", "_matrixapi", "_exception", "_vrk")
HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.join(os.path.dirname(HERE), "src", "varnokpy")


def module_dir(root):
    return os.path.join(os.path.abspath(root), "varnokpy")


def build(root):
    """Compiles every sibling that is missing or older than its source into
    `root`/varnokpy; returns that directory."""
    out = module_dir(root)
    os.makedirs(out, exist_ok=True)
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    include = sysconfig.get_paths()["include"]
    cc = os.environ.get("CC", "cc")
    for name in SIBLINGS:
        source = os.path.join(SOURCE, name + ".py")
        target = os.path.join(out, name + suffix)
        if os.path.exists(target) and os.path.getmtime(target) >= max(os.path.getmtime(source),
                                                                       os.path.getmtime(__file__)):
            continue
        c_file = os.path.join(out, name + ".c")
        subprocess.run([sys.executable, "-m", "cython", "-3", "-X", "annotation_typing=False",
                        "--module-name", "varnokpy." + name, "-o", c_file, source], check=True)
        subprocess.run([cc, "-shared", "-fPIC", "-O2", "-I", include, c_file, "-o", target + ".tmp"], check=True)
        os.replace(target + ".tmp", target)
        os.remove(c_file)
    return out


def use(root):
    """Makes later imports of the siblings load the compiled modules of
    `root` (call before any varnokpy submodule is imported)."""
    import varnokpy

    out = module_dir(root)
    loaded = [name for name in SIBLINGS if "varnokpy." + name in sys.modules]
    if loaded:
        raise RuntimeError("siblings already imported: %s" % ", ".join(loaded))
    varnokpy.__path__.insert(0, out)


def in_use():
    """Whether the siblings loaded so far are compiled modules."""
    return all(not getattr(sys.modules.get("varnokpy." + name), "__file__", ".py").endswith(".py")
               for name in SIBLINGS if "varnokpy." + name in sys.modules)


if __name__ == "__main__":
    print(build(sys.argv[1] if len(sys.argv) > 1 else "build/siblings"))
