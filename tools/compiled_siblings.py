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
import contextlib
import os
import sys
import sysconfig

SIBLINGS = ("_util", "_core", "_matrixapi", "_exception", "_vrk")
HERE = os.path.dirname(os.path.abspath(__file__))


def module_dir(root):
    return os.path.join(os.path.abspath(root), "varnokpy")


def build(root):
    """Compiles every sibling that is missing or older than its source into
    `root`/varnokpy, all of them when this file is newer; returns that
    directory."""
    from Cython.Build import cythonize
    from setuptools import Distribution, Extension

    root = os.path.abspath(root)
    out = module_dir(root)
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    force = any(not os.path.exists(os.path.join(out, name + suffix))
                or os.path.getmtime(os.path.join(out, name + suffix)) < os.path.getmtime(__file__)
                for name in SIBLINGS)
    # -O2 without debug information, as the package's own builds of these modules.
    extensions = [Extension("varnokpy." + name, [os.path.join("src", "varnokpy", name + ".py")],
                            extra_compile_args=["-O2", "-g0"])
                  for name in SIBLINGS]
    # Relative sources, so that the C files land in root/c/src/varnokpy.
    with contextlib.chdir(os.path.dirname(HERE)):
        extensions = cythonize(extensions, build_dir=os.path.join(root, "c"), force=force, quiet=True,
                               language_level=3, compiler_directives={"annotation_typing": False})
        command = Distribution({"ext_modules": extensions}).get_command_obj("build_ext")
        command.build_lib = root
        command.build_temp = os.path.join(root, "objects")
        command.parallel = os.cpu_count()
        command.force = force
        command.ensure_finalized()
        command.run()
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
    root = sys.argv[1] if len(sys.argv) > 1 else "build/siblings"
    print("compiled_siblings: compiling %s with Cython into %s (what is up to date is kept)"
          % (", ".join(SIBLINGS), module_dir(root)), flush=True)
    build(root)
