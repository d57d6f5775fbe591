# make test · make demo · make bench · make check · make soak SECONDS=600 [SEED=n]
SHELL := /bin/bash
PYENV_313 := $(lastword $(sort $(wildcard $(shell pyenv root 2>/dev/null)/versions/3.13.*/bin/python3.13)))
PYTHON ?= $(or $(shell command -v python3.13 >/dev/null 2>&1 && python3.13 -c 'print("python3.13")' 2>/dev/null),$(PYENV_313),python3)
VENV := .venv
PY := $(VENV)/bin/python
PIP := $(PY) -m pip
BUILD_DEPS := scikit-build-core nanobind cmake ninja
DEV_DEPS := pytest pytest-timeout ruff clang-format
RUNTIME_DEPS := aiohttp yarl pandas
# The ctp extra of pyproject.toml (same pin), so that the tests of the real-front backend run.
CTP_DEPS := openctp-ctp==6.7.11.0
PY_DIRS = $(wildcard src tests bench)
export CMAKE_BUILD_PARALLEL_LEVEL ?= 2

.PHONY: venv build test demo bench check format lint sanitize clean soak

$(VENV)/.ready: pyproject.toml
	test -x $(PY) || $(PYTHON) -m venv $(VENV)
	$(PIP) install -q --upgrade pip
	$(PIP) install -q $(BUILD_DEPS) $(DEV_DEPS) $(RUNTIME_DEPS) $(CTP_DEPS)
	touch $@

venv: $(VENV)/.ready

# Incremental: scikit-build-core keeps its build directory under build/.
build: venv
	$(PIP) install -q --no-build-isolation --no-deps .

test: build
	$(PY) -m pytest -q --timeout=120

# The trading fault soak alone, as long as asked; a failure prints the seed that replays it.
soak: SECONDS ?= 600
soak: build
	ZQKIT_SOAK_SECONDS=$(SECONDS) ZQKIT_SOAK_SEED=$(SEED) $(PY) -m pytest -q -s \
	  tests/trading/test_trading_soak.py --timeout=$$(( $(SECONDS) * 2 + 120 ))

demo: build
	$(PY) -m zqkit demo

bench: build
	$(PY) bench/run.py

lint: venv
	$(VENV)/bin/ruff check $(PY_DIRS)
	$(VENV)/bin/ruff format --check $(PY_DIRS)
	find cpp -name '*.cpp' -o -name '*.hpp' | xargs -r $(VENV)/bin/clang-format --dry-run -Werror

format: venv
	$(VENV)/bin/ruff format $(PY_DIRS)
	$(VENV)/bin/ruff check --fix $(PY_DIRS)
	find cpp -name '*.cpp' -o -name '*.hpp' | xargs -r $(VENV)/bin/clang-format -i

# ASan + UBSan build in its own build directory, then the whole suite under it.
sanitize: venv
	ZQKIT_SANITIZE=ON $(PIP) install -q --no-build-isolation --no-deps \
	  -C build-dir=build/sanitize -C cmake.build-type=Debug .
	PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	  $(PY) -m pytest -q --timeout=600 -p no:cacheprovider; status=$$?; \
	  $(PIP) install -q --no-build-isolation --no-deps .; exit $$status

check: lint sanitize

clean:
	rm -rf build dist
