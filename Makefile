# make test   installs what it needs, builds, lints and runs every test
# make demo   installs what it needs and shows the main job
# make bench  times the local solver against Python int, gmpy2 and numpy

PYTHON ?= python3
VENV := .venv
VPY := $(VENV)/bin/python
BUILD := build
STAMP := $(BUILD)/stamps

CXX_SOURCES := $(shell git ls-files '*.cpp' '*.h' 2>/dev/null)
PY_SOURCES := tests bench demo python

.PHONY: test demo bench deps venv install lint gtest pytest format clean

test: lint gtest pytest

deps: $(STAMP)/deps
$(STAMP)/deps: tools/install-deps.sh
	bash tools/install-deps.sh
	@mkdir -p $(STAMP) && touch $@

venv: $(STAMP)/venv
$(STAMP)/venv: requirements-dev.txt $(STAMP)/deps
	test -x $(VPY) || $(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip
	$(VPY) -m pip install -q -r requirements-dev.txt
	@mkdir -p $(STAMP) && touch $@

# The module, built with warnings as errors and installed into the venv.
install: venv
	$(VPY) -m pip install -q --no-build-isolation -Ccmake.define.QERN_WERROR=ON .

lint: venv
	$(VENV)/bin/ruff check $(PY_SOURCES)
	$(VENV)/bin/ruff format --check $(PY_SOURCES)
	$(VENV)/bin/mypy --strict python/qernx_service
	clang-format --dry-run --Werror $(CXX_SOURCES)

format: venv
	$(VENV)/bin/ruff format $(PY_SOURCES)
	clang-format -i $(CXX_SOURCES)

gtest: venv
	PATH=$(CURDIR)/$(VENV)/bin:$$PATH cmake -S . -B $(BUILD)/gtest -G Ninja \
	  -DQERN_BUILD_MODULE=OFF -DQERN_BUILD_TESTS=ON -DQERN_WERROR=ON \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo
	PATH=$(CURDIR)/$(VENV)/bin:$$PATH cmake --build $(BUILD)/gtest
	cd $(BUILD)/gtest && PATH=$(CURDIR)/$(VENV)/bin:$$PATH ctest --output-on-failure

# Offline tests, then the online ones against local HTTPS servers, inside a
# private mount namespace that trusts a throwaway CA.
pytest: install
	$(VPY) -m pytest
	bash tools/with-throwaway-ca.sh $(VPY) -m pytest tests/online

demo: install
	bash tools/with-throwaway-ca.sh $(VPY) demo/demo.py

bench: install
	$(VPY) -m pip install -q gmpy2 numpy
	$(VPY) bench/bench.py

clean:
	rm -rf $(BUILD) $(VENV)
