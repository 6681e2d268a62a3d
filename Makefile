# Entry points: `make demo` and `make test` (and test-general, test-sanitize,
# bench). Each creates its environment on first use, installs what it needs
# and rebuilds the native modules whenever a source file changed.
PYTHON ?= python3

.PHONY: demo test bench test-sanitize test-general clean
.DEFAULT_GOAL := demo

# The one Python the package supports, as pyproject.toml states it
# (requires-python = "==3.11.*"); CMakeLists.txt asks for the same.
NEEDED := $(shell sed -n 's/^requires-python *= *"==\([0-9.]*\)\.\*"/\1/p' pyproject.toml)
PY_VERSION := $(shell $(PYTHON) -c 'import sys; print("%d.%d.%d" % sys.version_info[:3])' 2>/dev/null)

# Refuse another interpreter at once, in one line, rather than deep in a build.
ifneq ($(filter-out clean,$(or $(MAKECMDGOALS),$(.DEFAULT_GOAL))),)
ifneq ($(NEEDED),$(basename $(or $(PY_VERSION),none)))
$(error varnokpy needs Python $(NEEDED); $(PYTHON) is $(or $(addprefix Python ,$(PY_VERSION)),not a Python that runs here))
endif
endif

SOURCES := $(shell find src -type f \( -name '*.cpp' -o -name '*.hpp' -o -name '*.py' -o -name '*.pyi' \)) \
           CMakeLists.txt pyproject.toml

# Three environments, one per build of the native modules: .venv (release,
# for the demo, the tests and the benchmarks), .venv-asan (AddressSanitizer
# and UndefinedBehaviorSanitizer) and .venv-general (every shortcut compiled
# out). Each has its own build directory.
VENV  := .venv
AVENV := .venv-asan
GVENV := .venv-general
BUILD_OPTIONS_$(AVENV) := --config-settings=cmake.define.VARNOK_SANITIZE=ON \
                          --config-settings=cmake.build-type=Debug \
                          --config-settings=build-dir=build/asan
BUILD_OPTIONS_$(GVENV) := --config-settings=cmake.define.VARNOK_GENERAL_ONLY=ON \
                          --config-settings=build-dir=build/general

# What each step installs comes from pyproject.toml: the build requirements and
# the runtime dependencies, then one group of its optional dependencies.
toml = $(shell $(PYTHON) -c 'import tomllib; t = tomllib.load(open("pyproject.toml", "rb")); \
                             print(" ".join(repr(r) for r in $(1)))')
BUILD_REQUIRES = $(call toml,t["build-system"]["requires"] + t["project"]["dependencies"])
EXTRA = $(call toml,t["project"]["optional-dependencies"]["$(1)"])
DEMO_REQUIRES_$(VENV) = $(call EXTRA,demo)

# Installs into the environment $(1). An environment is made without pip of its
# own (making one with pip takes seconds): the interpreter's pip installs into
# it (pip 22.3 or later can), or else the pip that ensurepip put into the
# environment.
pip = $$(test -x $(1)/bin/pip && echo $(1)/bin/python -m pip || echo $(PYTHON) -m pip --python $(1)/bin/python) \
      install --quiet --no-compile

# The stamp of an environment names the interpreter version that made it: one
# made by another interpreter is remade.
%/.python-$(PY_VERSION):
	@echo "make: creating $* with Python $(PY_VERSION) ($(PYTHON))"
	@rm -rf $*
	@$(PYTHON) -m venv --without-pip $*
	@$(PYTHON) -c 'import pip, sys; sys.exit(tuple(map(int, pip.__version__.split(".")[:2])) < (22, 3))' 2>/dev/null \
	    || $*/bin/python -m ensurepip --default-pip
	@touch $@

# The build tools and numpy, and the demo's own packages in .venv. CMake and
# Ninja come from PyPI only where the machine has none that scikit-build-core
# accepts.
%/.build-tools: %/.python-$(PY_VERSION) pyproject.toml
	@echo "make: installing into $*: $(BUILD_REQUIRES) $(DEMO_REQUIRES_$*)"
	@$(call pip,$*) $(BUILD_REQUIRES) $(DEMO_REQUIRES_$*)
	@tools=$$($*/bin/python -c 'from scikit_build_core.build import get_requires_for_build_wheel as r; \
	                           print(" ".join(r()))'); \
	    if [ -n "$$tools" ]; then echo "make: installing into $*: $$tools"; $(call pip,$*) $$tools; fi
	@touch $@

%/.test-tools: %/.build-tools pyproject.toml
	@echo "make: installing into $*: $(call EXTRA,test)"
	@$(call pip,$*) $(call EXTRA,test)
	@touch $@

%/.bench-tools: %/.build-tools pyproject.toml
	@echo "make: installing into $*: $(call EXTRA,bench)"
	@$(call pip,$*) $(call EXTRA,bench)
	@touch $@

# Named here, so that make keeps them: files that only pattern rules name are
# intermediate ones, deleted after the run.
$(foreach v,$(VENV) $(AVENV) $(GVENV),$(v)/.python-$(PY_VERSION) $(v)/.build-tools):

%/.installed: %/.build-tools $(SOURCES)
	@echo "make: building the native modules for $* (build/ keeps the objects for the next build)"
	@$(call pip,$*) --no-build-isolation --no-deps $(BUILD_OPTIONS_$*) .
	@touch $@

# The sibling modules compiled by Cython (tools/compiled_siblings.py), which
# tests and benchmarks load in place of the Python stand-ins.
SIBLINGS := build/siblings
SIBLING_SOURCES := $(wildcard src/varnokpy/_util.py src/varnokpy/_core.py src/varnokpy/_matrixapi.py \
                   src/varnokpy/_exception.py src/varnokpy/_vrk.py) tools/compiled_siblings.py

$(SIBLINGS)/.built: $(VENV)/.test-tools $(SIBLING_SOURCES)
	$(VENV)/bin/python tools/compiled_siblings.py $(SIBLINGS)
	@touch $@

demo: $(VENV)/.installed
	$(VENV)/bin/python examples/demo.py

test: $(VENV)/.installed $(VENV)/.test-tools $(SIBLINGS)/.built
	$(VENV)/bin/python -m pytest -q tests

bench: $(VENV)/.installed $(VENV)/.bench-tools $(SIBLINGS)/.built
	@echo "bench: each ratio is an operation's time over its baseline's (plain Python or a builtin, named beside the figure, timed in the same process, or for whole models in pyperf worker processes of their own); below 1 is faster; every figure is measured with the stand-in siblings and with the compiled ones ($(SIBLINGS)), side by side, and c/s is the operation's time with the compiled siblings over its time with the stand-ins; a printed target is the highest ratio accepted, and a miss, or a c/s above 1.25, is marked OVER; whole models are measured against the expert's code (values grouped once, one += loop per sum) and the key-grouped code, each sample after gc.collect() with the collector on; the size table (plot.py, stand-ins only) has no targets and redraws docs/bench.png"
	for b in bench/bench_*.py; do [ -e "$$b" ] || continue; $(VENV)/bin/python $$b || exit 1; done
	$(VENV)/bin/python bench/plot.py

# Every test under AddressSanitizer and UndefinedBehaviorSanitizer.
test-sanitize: $(AVENV)/.installed $(AVENV)/.test-tools $(SIBLINGS)/.built
	LD_PRELOAD=$$(g++ -print-file-name=libasan.so) ASAN_OPTIONS=detect_leaks=0 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 PYTHONMALLOC=malloc \
	    $(AVENV)/bin/python -m pytest -q -p no:cacheprovider tests

# Every test against modules built with every shortcut compiled out.
test-general: $(GVENV)/.installed $(GVENV)/.test-tools $(SIBLINGS)/.built
	$(GVENV)/bin/python -m pytest -q -p no:cacheprovider tests

clean:
	rm -rf build $(VENV) $(AVENV) $(GVENV)

# Every header under src/ compiles alone (tools/check_headers.sh).
.PHONY: check-headers
check-headers:
	tools/check_headers.sh $(PYTHON)
