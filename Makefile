# Two entry points: `make demo` and `make test`. Both create .venv on first
# use and rebuild the native modules whenever a source file changed.
PYTHON ?= python3
VENV   := .venv
VPY    := $(VENV)/bin/python
SOURCES := $(shell find src -type f \( -name '*.cpp' -o -name '*.hpp' -o -name '*.py' -o -name '*.pyi' \)) \
           CMakeLists.txt pyproject.toml

.PHONY: demo test bench test-sanitize test-general clean

# The sanitized and the general-only builds live in their own environments
# and build directories.
AVENV := .venv-asan
AVPY  := $(AVENV)/bin/python
GVENV := .venv-general
GVPY  := $(GVENV)/bin/python

# Build tools, test tools and the demo's progress bars; Cython compiles the
# sibling modules for the tests and benchmarks that run with them. An
# existing .venv picks up a package added here on the next make.
DEV_PACKAGES := scikit-build-core cmake ninja numpy pytest hypothesis mypy tqdm types-tqdm cython

# The sibling modules compiled by Cython (tools/compiled_siblings.py), which
# tests and benchmarks load in place of the Python stand-ins.
SIBLINGS := build/siblings
SIBLING_SOURCES := $(wildcard src/varnokpy/_util.py src/varnokpy/_core.py src/varnokpy/_matrixapi.py \
                   src/varnokpy/_exception.py src/varnokpy/_vrk.py) tools/compiled_siblings.py

$(VENV)/.created:
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install --quiet --upgrade pip
	touch $@

$(VENV)/.packages: $(VENV)/.created Makefile
	$(VPY) -m pip install --quiet $(DEV_PACKAGES)
	touch $@

$(VENV)/.installed: $(VENV)/.packages $(SOURCES)
	$(VPY) -m pip install --quiet --no-build-isolation --no-deps .
	touch $@

$(SIBLINGS)/.built: $(VENV)/.packages $(SIBLING_SOURCES)
	$(VPY) tools/compiled_siblings.py $(SIBLINGS)
	touch $@

demo: $(VENV)/.installed
	$(VPY) examples/demo.py

test: $(VENV)/.installed $(SIBLINGS)/.built
	$(VPY) -m pytest -q tests

bench: $(VENV)/.installed $(SIBLINGS)/.built
	@echo "bench: each ratio is an operation's time over its baseline's (plain Python or a builtin, named beside the figure, timed in the same process); below 1 is faster; every figure is measured with the stand-in siblings and with the compiled ones ($(SIBLINGS)), side by side, and c/s is the operation's time with the compiled siblings over its time with the stand-ins; a printed target is the highest ratio accepted, and a miss, or a c/s above 1.25, is marked OVER; the size table (plot.py, stand-ins only) has no targets and redraws docs/bench.png"
	$(VPY) -m pip install --quiet matplotlib
	for b in bench/bench_*.py; do [ -e "$$b" ] || continue; $(VPY) $$b || exit 1; done
	$(VPY) bench/plot.py

$(AVENV)/.created:
	$(PYTHON) -m venv $(AVENV)
	$(AVPY) -m pip install --quiet --upgrade pip
	$(AVPY) -m pip install --quiet scikit-build-core cmake ninja numpy pytest hypothesis
	touch $@

$(AVENV)/.installed: $(AVENV)/.created $(SOURCES)
	$(AVPY) -m pip install --quiet --no-build-isolation --no-deps \
	    --config-settings=cmake.define.VARNOK_SANITIZE=ON \
	    --config-settings=cmake.build-type=Debug \
	    --config-settings=build-dir=build/asan .
	touch $@

# Every test under AddressSanitizer and UndefinedBehaviorSanitizer.
test-sanitize: $(AVENV)/.installed $(SIBLINGS)/.built
	LD_PRELOAD=$$(g++ -print-file-name=libasan.so) ASAN_OPTIONS=detect_leaks=0 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 PYTHONMALLOC=malloc \
	    $(AVPY) -m pytest -q -p no:cacheprovider tests

$(GVENV)/.created:
	$(PYTHON) -m venv $(GVENV)
	$(GVPY) -m pip install --quiet --upgrade pip
	$(GVPY) -m pip install --quiet $(DEV_PACKAGES)
	touch $@

$(GVENV)/.installed: $(GVENV)/.created $(SOURCES)
	$(GVPY) -m pip install --quiet --no-build-isolation --no-deps \
	    --config-settings=cmake.define.VARNOK_GENERAL_ONLY=ON \
	    --config-settings=build-dir=build/general .
	touch $@

# Every test against modules built with every shortcut compiled out.
test-general: $(GVENV)/.installed $(SIBLINGS)/.built
	$(GVPY) -m pytest -q -p no:cacheprovider tests

clean:
	rm -rf build $(VENV) $(AVENV) $(GVENV)

# Every header under src/ compiles alone (tools/check_headers.sh).
.PHONY: check-headers
check-headers:
	tools/check_headers.sh $(PYTHON)
