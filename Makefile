# zorvane: `make demo` and `make test` set everything up from a fresh clone.
# PYTHON=python3.12 (or a path) works with any supported version: each gets its own venv and build tree.
PYTHON ?= python3
# pyenv's shims answer only for its global versions; python3.13 then comes from ~/.pyenv/versions.
PYEXE  := $(or $(shell $(PYTHON) -c 'import sys; print(sys.executable)' 2>/dev/null),$(lastword $(wildcard $(HOME)/.pyenv/versions/$(subst python,,$(notdir $(PYTHON))).*/bin/python)))
PYVER  := $(shell $(PYEXE) -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null)
# The version of the default python3 keeps .venv; another (PYTHON=python3.13) gets .venv-3.13.
HOSTVER := $(shell python3 -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null)
VENV   := $(if $(filter $(HOSTVER),$(PYVER)),.venv,.venv-$(PYVER))
PY     := $(VENV)/bin/python
B      := build
PB     := $(B)/py-$(PYVER)
MYSQL_URL ?= mysql+pymysql://root@127.0.0.1:3306/test
POSTGRES_URL ?= postgresql+psycopg://postgres@127.0.0.1:5432/test
SOURCES := $(shell find src cmake -type f) CMakeLists.txt pyproject.toml
# Interpreters for the release files: 3.11 gets its own wheel, 3.12 builds the abi3 one that 3.13 also runs.
pyenv_python = $(or $(lastword $(wildcard $(HOME)/.pyenv/versions/$(1).*/bin/python)),python$(1))
PYTHON311 ?= $(call pyenv_python,3.11)
PYTHON312 ?= $(call pyenv_python,3.12)
PYTHON313 ?= $(call pyenv_python,3.13)

.PHONY: wheel sdist help demo test test-core test-py test-smoke lint-mappers typecheck stubs docs dist check-dist check-sdist bench servers replicas replicas-stop gtest clean clang test-asan fuzz fuzz-build refcount conduit

help:  ## list targets
	@grep -E '^[a-z-]+:.*##' $(MAKEFILE_LIST) | sed 's/:.*##/:/'

$(PY):
	@test -n "$(PYVER)" || { echo "PYTHON=$(PYTHON) does not run"; exit 1; }
	$(PYEXE) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip

$(PB)/.deps: $(PY) requirements-build.txt pyproject.toml
	$(PY) -m pip install -q -r requirements-build.txt
	@mkdir -p $(PB) && touch $@

$(PB)/.installed: $(PB)/.deps $(SOURCES)
	$(PY) -m pip install -q --no-build-isolation -Cbuild-dir=$(PB) '.[test,conduit]'
	@touch $@

$(PB)/.extras-%: $(PB)/.installed
	$(PY) -m pip install -q --no-build-isolation -Cbuild-dir=$(PB) '.[test,$*]'
	@touch $@

demo: $(PB)/.installed  ## run the example application on a SQLite file
	cd examples/quickstart && ../../$(PY) main.py

gtest:  ## GoogleTest headers from Debian's libgtest-dev, installed when missing
	@test -f /usr/include/gtest/gtest.h || { \
	  echo "installing libgtest-dev"; \
	  if [ "$$(id -u)" = 0 ]; then apt-get install -y -q libgtest-dev; else sudo apt-get install -y -q libgtest-dev; fi; }

servers: $(PB)/.installed  ## make sure MariaDB and PostgreSQL answer (start them when installed and stopped), and the replica pairs
	@$(PY) tools/ensure_servers.py $(MYSQL_URL) $(POSTGRES_URL)

# Private servers under $(B)/replicas on ports of their own: the shared ones on 3306 and 5432 stay untouched.
replicas: $(PY)  ## start the test replica pairs (PostgreSQL primary + hot standby, MariaDB primary + GTID replica); prints their URLs
	@$(PY) tools/replicas.py start

replicas-stop:  ## stop the replica pairs that `make replicas` (or the tests) started
	@if [ -x $(PY) ]; then $(PY) tools/replicas.py stop; else python3 tools/replicas.py stop; fi

test: test-core test-py  ## C++ core tests and pytest (SQLite, MariaDB and PostgreSQL)

test-core: gtest  ## C++ core tests only
	cmake -S . -B $(B)/core -G Ninja -DCMAKE_BUILD_TYPE=Release -DZORVANE_TESTS=ON -DZORVANE_WERROR=ON > /dev/null
	cmake --build $(B)/core
	ctest --test-dir $(B)/core --output-on-failure -j2

test-py: $(PB)/.installed servers  ## pytest against SQLite files and the MariaDB and PostgreSQL servers
	ZORVANE_LEAK_WARNINGS=1 $(PY) -m pytest tests/python --mysql-url=$(MYSQL_URL) --postgres-url=$(POSTGRES_URL) $(ARGS)

test-smoke: $(PB)/.installed  ## a fast SQLite-only subset of pytest (what CI runs on the other Python versions)
	$(PY) -m pytest tests/python -m smoke $(ARGS)

# The examples and the tests are separate projects (both declare UserMapper); the tests'
# elements.xml is broken on purpose and stays out.
lint-mappers: $(PB)/.installed  ## lint the mapper files of the examples and the tests
	$(VENV)/bin/zorvane lint examples
	$(VENV)/bin/zorvane lint tests/python/data/mappers/user.xml

conduit: $(PB)/.installed  ## serve examples/conduit at http://127.0.0.1:8000/api (CONDUIT_DB: a server URL, CONDUIT_PORT)
	cd examples/conduit && ../../$(PY) -m conduit

typecheck: $(PB)/.extras-typecheck  ## mypy --strict on the examples and the typed usage file; stubtest over the package
	$(PY) -m mypy --strict examples/quickstart tests/typing
	$(PY) -m mypy.stubtest zorvane --allowlist tests/typing/stubtest-allowlist.txt --mypy-config-file pyproject.toml
	@if [ "$(PYVER)" = 3.11 ]; then $(PY) tools/gen_stubs.py --check; \
	else echo "stub drift check skipped: the committed stubs are generated on Python 3.11"; fi

# The stubs come from nanobind's stub generator over the installed modules, merged with the
# hand-written overlays in stubs/overlays (see tools/gen_stubs.py).
stubs: $(PB)/.installed  ## regenerate src/zorvane/**/*.pyi from the bindings and stubs/overlays (Python 3.11)
	$(PY) tools/gen_stubs.py

docs: $(PB)/.extras-docs  ## the user guide as a static site in build/site (strict: broken links fail)
	$(VENV)/bin/mkdocs build --strict --site-dir $(B)/site

# Release files: the 3.11 wheel, the abi3 wheel (built by 3.12, serves 3.12 and later) and the sdist,
# repaired to a manylinux tag by auditwheel.
dist:  ## sdist and wheels in dist/ (manylinux, abi3 for 3.12+)
	rm -rf dist
	$(MAKE) --no-print-directory PYTHON=$(PYTHON311) wheel sdist
	$(MAKE) --no-print-directory PYTHON=$(PYTHON312) wheel
	@ls -l dist

$(PB)/.dist-tools: $(PB)/.deps requirements-dist.txt
	$(PY) -m pip install -q -r requirements-dist.txt
	@touch $@

sdist: $(PB)/.dist-tools
	$(PY) -m build --sdist --no-isolation --outdir dist .

wheel: $(PB)/.dist-tools
	rm -rf $(B)/wheel-$(PYVER) && mkdir -p dist
	$(PY) -m pip wheel -q --no-deps --no-build-isolation -Cbuild-dir=$(PB) -w $(B)/wheel-$(PYVER) .
	PATH=$(CURDIR)/$(VENV)/bin:$$PATH $(VENV)/bin/auditwheel repair -w dist $(B)/wheel-$(PYVER)/*.whl

check-dist:  ## install every wheel of dist/ without a compiler in a fresh venv; quickstart and smoke test outside the tree
	$(PYTHON311) tools/check_dist.py dist $(PYTHON311) $(PYTHON312) $(PYTHON313)

check-sdist:  ## build and install the sdist from a clean unpack (compiles; not part of CI)
	$(PYTHON311) tools/check_dist.py --sdist dist $(PYTHON311)

bench: $(PB)/.installed servers  ## timed comparisons against hand-written SQLAlchemy code (SQLite, MariaDB, PostgreSQL)
	MYSQL_URL=$(MYSQL_URL) POSTGRES_URL=$(POSTGRES_URL) $(PY) bench/python/run.py $(NAME)

# Sanitized copies of the core tests and the extension modules live under $(B)/asan; the
# modules are installed into $(B)/asan/site, which shadows the .venv copy for pytest only.
ASAN_B   := $(B)/asan
SAN_OPTS := ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_init_order=1 UBSAN_OPTIONS=print_stacktrace=1

test-asan: gtest $(PB)/.installed servers  ## core tests and pytest under ASan+UBSan, in $(B)/asan
	cmake -S . -B $(ASAN_B)/core -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZORVANE_TESTS=ON \
	  -DZORVANE_SANITIZE=ON -DZORVANE_WERROR=ON > /dev/null
	cmake --build $(ASAN_B)/core -j2
	$(SAN_OPTS) ctest --test-dir $(ASAN_B)/core --output-on-failure -j2
	$(PY) -m pip install -q --no-build-isolation --no-deps --upgrade --target $(ASAN_B)/site \
	  -Cbuild-dir=$(ASAN_B)/py -Ccmake.build-type=RelWithDebInfo \
	  -Ccmake.define.ZORVANE_SANITIZE=ON -Ccmake.define.ZORVANE_WERROR=ON .
	@rm -rf $(ASAN_B)/logs $(ASAN_B)/pytest.xml && mkdir -p $(ASAN_B)/logs
	# The interpreter is not instrumented: the runtime is preloaded (with libstdc++, so that
	# its exception interceptor finds __cxa_throw), pymalloc is off so every object goes
	# through the sanitizer, and reports land in $(ASAN_B)/logs. Exit status 86 means
	# reports, which tools/asan_leaks.py judges together with pytest's own results.
	# The guide's pages and the command's tests run child processes, whose interpreter-level leak
	# reports (pydantic-core) would fail them; async tests switch greenlet stacks, which the
	# sanitizer cannot follow.
	LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libstdc++.so)" \
	  PYTHONMALLOC=malloc PYTHONPATH=$(ASAN_B)/site \
	  ASAN_OPTIONS=detect_leaks=1:exitcode=86:log_path=$(abspath $(ASAN_B))/logs/asan \
	  UBSAN_OPTIONS=print_stacktrace=1:log_path=$(abspath $(ASAN_B))/logs/asan \
	  $(PY) -m pytest tests/python -p no:cacheprovider -m "not greenlet" --ignore=tests/python/docs \
	  --ignore=tests/python/unit/test_cli.py \
	  --junitxml=$(ASAN_B)/pytest.xml \
	  --mysql-url=$(MYSQL_URL) --postgres-url=$(POSTGRES_URL) $(ARGS) || test $$? = 86
	$(PYTHON) tools/asan_leaks.py $(ASAN_B)/logs $(ASAN_B)/pytest.xml

# The leak check on Debian's debug interpreter, whose sys.gettotalrefcount() counts every
# reference; its venv and build folder live under $(B)/dbg.
DBG    := $(B)/dbg
DBG_PY := $(DBG)/venv/bin/python

$(DBG_PY):
	@command -v python3.11-dbg > /dev/null || { \
	  echo "installing python3.11-dbg"; \
	  if [ "$$(id -u)" = 0 ]; then SUDO=; else SUDO=sudo; fi; \
	  $$SUDO apt-get update -q && $$SUDO apt-get install -y -q python3.11-dbg python3.11-venv; }
	python3.11-dbg -m venv $(DBG)/venv
	$(DBG_PY) -m pip install -q --upgrade pip
	$(DBG_PY) -m pip install -q -r requirements-build.txt
	# The wheel's Cython modules are built for the release interpreter: their reference
	# changes bypass the debug counter, which then drifts. The pure-Python build does not.
	DISABLE_SQLALCHEMY_CEXT=1 $(DBG_PY) -m pip install -q --no-binary sqlalchemy 'SQLAlchemy>=2.0.30,<2.2'

$(DBG)/.installed: $(DBG_PY) $(SOURCES)
	$(DBG_PY) -m pip install -q --no-build-isolation -Cbuild-dir=$(DBG)/py '.[test]'
	@touch $@

refcount: $(DBG)/.installed  ## the leak check on a debug interpreter, 3000 calls per operation, counts printed
	@$(DBG_PY) tools/ensure_servers.py $(MYSQL_URL) $(POSTGRES_URL)
	# psycopg's compiled module would bypass the debug counter too: its pure-Python one uses libpq.
	PSYCOPG_IMPL=python $(DBG_PY) -m pytest tests/python/integration/test_native_leaks.py -s -p no:cacheprovider \
	  --mysql-url=$(MYSQL_URL) --postgres-url=$(POSTGRES_URL) --leak-rounds=3000 $(ARGS)

clang:  ## clang with libFuzzer from Debian's packages, installed when missing
	@command -v clang++ > /dev/null || { \
	  echo "installing clang"; \
	  if [ "$$(id -u)" = 0 ]; then SUDO=; else SUDO=sudo; fi; \
	  $$SUDO apt-get update -q && $$SUDO apt-get install -y -q clang; }

FUZZ_HARNESSES := $(patsubst tests/fuzz/fuzz_%.cpp,%,$(wildcard tests/fuzz/fuzz_*.cpp))
SECONDS ?= 60

fuzz-build: clang  ## the libFuzzer harnesses, built with clang under ASan+UBSan in $(B)/fuzz
	CXX=clang++ cmake -S . -B $(B)/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DZORVANE_FUZZ=ON -DZORVANE_WERROR=ON > /dev/null
	cmake --build $(B)/fuzz -j2

# New inputs grow a corpus under $(B)/fuzz; a crash or failed property is written to
# tests/fuzz/regressions/<harness>/, which the core tests replay.
fuzz: fuzz-build  ## every fuzz harness for SECONDS seconds each (default 60)
	@set -e; for h in $(FUZZ_HARNESSES); do \
	  mkdir -p $(B)/fuzz/work/$$h tests/fuzz/regressions/$$h; \
	  echo "fuzz_$$h: $(SECONDS) s"; \
	  UBSAN_OPTIONS=print_stacktrace=1 $(B)/fuzz/tests/fuzz/fuzz_$$h -max_total_time=$(SECONDS) -max_len=4096 \
	    -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix=tests/fuzz/regressions/$$h/ \
	    $(B)/fuzz/work/$$h tests/fuzz/corpus/$$h > $(B)/fuzz/$$h.log 2>&1 \
	    || { tail -40 $(B)/fuzz/$$h.log; exit 1; }; \
	  grep -E '^(Done|stat::number_of_executed_units|stat::peak_rss_mb)' $(B)/fuzz/$$h.log; \
	done

clean: replicas-stop
	rm -rf $(B) .venv-* dist
