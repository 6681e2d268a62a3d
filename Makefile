# Two entry points: `make demo` and `make test`. Both create .venv on first
# use and rebuild the native modules whenever a source file changed.
PYTHON ?= python3
VENV   := .venv
VPY    := $(VENV)/bin/python
SOURCES := $(shell find src -type f \( -name '*.cpp' -o -name '*.hpp' -o -name '*.py' \)) \
           CMakeLists.txt pyproject.toml

.PHONY: demo test bench test-sanitize clean

$(VENV)/.created:
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install --quiet --upgrade pip
	$(VPY) -m pip install --quiet scikit-build-core cmake ninja numpy pytest hypothesis
	touch $@

$(VENV)/.installed: $(VENV)/.created $(SOURCES)
	$(VPY) -m pip install --quiet --no-build-isolation --no-deps .
	touch $@

demo: $(VENV)/.installed
	$(VPY) examples/demo.py

test: $(VENV)/.installed
	$(VPY) -m pytest -q tests

bench: $(VENV)/.installed
	for b in bench/bench_*.py; do $(VPY) $$b || exit 1; done

clean:
	rm -rf build $(VENV)
