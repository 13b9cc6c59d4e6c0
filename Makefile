# make test   installs what it needs, builds, lints and runs every test (make check)
# make quick  the quick loop: build, lint, the offline suites, a few seconds of fuzzing
# make wheels binary wheels for every CPython 3.9-3.13 here, the service's wheel, the sdist
# make demo   installs what it needs and shows the main job
# make bench  times the local solver against Python int, gmpy2 and numpy
# make bench-service  times the solver service (embedded and Redis back-ends)
# make bench-paths    times the local solver's paths against the plain sweep
# make bench-threads  times two solver threads against one

PYTHON ?= python3
VENV := .venv
VPY := $(VENV)/bin/python
BUILD := build
STAMP := $(BUILD)/stamps

CXX_SOURCES := $(shell git ls-files '*.cpp' '*.h' 2>/dev/null)
PY_SOURCES := tests bench demo service tools

.PHONY: debug-python tsan-gtest bench-threads test check quick wheels wheel-check pytest-offline pytest-client pytest-service demo bench bench-service bench-paths deps venv install lint typecheck gtest pytest sanitize sanitize-gtest \
  sanitize-pytest fuzz format clean

test: check

# Everything: lint, both suites, the offline one on a debug build of Python,
# both again under ASan and UBSan, the solver's threads under TSan, fuzzing.
check: lint typecheck gtest pytest debug-python wheel-check sanitize fuzz

# The loop to run while working (a few minutes): no sanitizers, no online
# suites, each fuzz target for a few seconds.
quick: lint gtest pytest-offline
	FUZZ_SECONDS=$${FUZZ_SECONDS:-5} $(MAKE) fuzz

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

# The module, built with warnings as errors, and the solver service (its own
# distribution, service/), both installed into the venv.
install: venv
	$(VPY) -m pip install -q --no-build-isolation -Ccmake.define.QERN_WERROR=ON .
	$(VPY) -m pip install -q --no-build-isolation ./service
	rm -rf service/build

lint: venv
	$(VPY) tools/check_layout.py
	$(VENV)/bin/ruff check $(PY_SOURCES)
	$(VENV)/bin/ruff format --check $(PY_SOURCES)
	clang-format --dry-run --Werror $(CXX_SOURCES)

# The service against the module's installed stubs.
typecheck: install
	$(VENV)/bin/mypy --strict service/qernx_service

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
pytest: pytest-offline
	bash tools/with-throwaway-ca.sh $(VPY) -m pytest -n 2 tests/online

pytest-offline: install
	$(VPY) -m pytest -n 2

# The offline suite on Debian's debug build of Python, the module built for it
# (its reference total and object checks).
debug-python: deps
	bash tools/run-debug-python-pytest.sh

# The online suite's halves, each alone: the module against scenario and real
# servers, and the solver service's own.
pytest-client: install
	bash tools/with-throwaway-ca.sh $(VPY) -m pytest -n 2 tests/online/client

pytest-service: install deps
	bash tools/with-throwaway-ca.sh $(VPY) -m pytest -n 2 tests/online/service

sanitize: sanitize-gtest tsan-gtest sanitize-pytest

sanitize-gtest: venv
	PATH=$(CURDIR)/$(VENV)/bin:$$PATH cmake -S . -B $(BUILD)/asan-gtest -G Ninja \
	  -DQERN_BUILD_MODULE=OFF -DQERN_BUILD_TESTS=ON -DQERN_WERROR=ON \
	  -DQERN_SANITIZE=address,undefined -DCMAKE_BUILD_TYPE=RelWithDebInfo
	PATH=$(CURDIR)/$(VENV)/bin:$$PATH cmake --build $(BUILD)/asan-gtest
	cd $(BUILD)/asan-gtest && ASAN_OPTIONS=detect_leaks=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  PATH=$(CURDIR)/$(VENV)/bin:$$PATH ctest --output-on-failure

# The solver's threads under ThreadSanitizer (GCC's runtime): the pipeline,
# the budget shared by concurrent solves, the stop check, fork(). About
# 2.5 minutes on 2 busy cores, most of it the build.
tsan-gtest: venv
	PATH=$(CURDIR)/$(VENV)/bin:$$PATH cmake -S . -B $(BUILD)/tsan-gtest -G Ninja \
	  -DQERN_BUILD_MODULE=OFF -DQERN_BUILD_TESTS=ON -DQERN_WERROR=ON \
	  -DQERN_SANITIZE=thread -DCMAKE_BUILD_TYPE=RelWithDebInfo
	PATH=$(CURDIR)/$(VENV)/bin:$$PATH cmake --build $(BUILD)/tsan-gtest --target qern_tests
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	  $(BUILD)/tsan-gtest/tests/lib/qern_tests --gtest_filter='Thread*:*Stop*:*GivingBack*:*SpreadRows*'

# The module built with the sanitizers, run under the pytest suites.
sanitize-pytest: install
	PATH=$(CURDIR)/$(VENV)/bin:$$PATH bash tools/run-sanitized-pytest.sh

# Each libFuzzer target for FUZZ_SECONDS (default 60), two at a time.
fuzz: venv
	PATH=$(CURDIR)/$(VENV)/bin:$$PATH bash tools/run-fuzzers.sh

# Into dist/: a repaired binary wheel of qernx for each CPython from 3.9 to
# 3.13 on this machine, the wheel of qernx-service, and the sdist.
wheels: venv
	rm -rf dist
	bash tools/build-wheels.sh dist

# The wheels of the oldest and the newest CPython, as a user gets them: the
# offline suite on each, then each installed where no compiler is in reach
# and solving locally and online.
wheel-check: venv
	rm -rf build/wheels
	WHEEL_PYTHONS="3.9 3.13" bash tools/build-wheels.sh build/wheels
	bash tools/test-wheels.sh build/wheels
	QERN_WHEEL_DIR=build/wheels bash tools/with-throwaway-ca.sh $(VPY) -m pytest -n 2 \
	  tests/online/client/test_wheels.py

demo: install
	bash tools/with-throwaway-ca.sh $(VPY) demo/demo.py

bench: install gtest
	$(VPY) -m pip install -q gmpy2 numpy
	$(VPY) bench/bench.py

# The threads table alone: threads=2 against threads=1, two calls side by side.
bench-threads: install gtest
	$(VPY) -m pip install -q numpy
	$(VPY) bench/bench.py --threads only

# The solver service: gzip levels, kept-alive submissions and polls, solves per
# second, embedded and Redis back-ends (a benchmark, not a test).
bench-service: install deps
	bash tools/with-throwaway-ca.sh $(VPY) bench/service.py

# The solver against the plain sweep it would otherwise run, in C++ (a
# benchmark, not a test).
bench-paths: gtest
	$(BUILD)/gtest/tests/lib/qern_paths_bench

clean:
	rm -rf $(BUILD) $(VENV)
