# zorvane: `make demo` and `make test` set everything up from a fresh clone.
# PYTHON=python3.12 (or a path) works with any supported version: each gets its own venv and build tree.
PYTHON ?= python3
# pyenv's shims answer only for its global versions; python3.13 then comes from ~/.pyenv/versions.
PYEXE  := $(or $(shell $(PYTHON) -c 'import sys; print(sys.executable)' 2>/dev/null),$(lastword $(wildcard $(HOME)/.pyenv/versions/$(subst python,,$(notdir $(PYTHON))).*/bin/python)))
PYVER  := $(shell $(PYEXE) -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null)
VENV   := .venv-$(PYVER)
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

.PHONY: wheel sdist help demo test test-core test-py test-smoke lint-mappers typecheck docs dist check-dist check-sdist bench servers gtest clean

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
	$(PY) -m pip install -q --no-build-isolation -Cbuild-dir=$(PB) '.[test]'
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

servers: $(PB)/.installed  ## make sure MariaDB and PostgreSQL answer (start them when installed and stopped)
	@$(PY) tools/ensure_servers.py $(MYSQL_URL) $(POSTGRES_URL)

test: test-core test-py  ## C++ core tests and pytest (SQLite, MariaDB and PostgreSQL)

test-core: gtest  ## C++ core tests only
	cmake -S . -B $(B)/core -G Ninja -DCMAKE_BUILD_TYPE=Release -DZORVANE_TESTS=ON > /dev/null
	cmake --build $(B)/core
	ctest --test-dir $(B)/core --output-on-failure -j2

test-py: $(PB)/.installed servers  ## pytest against SQLite files and the MariaDB and PostgreSQL servers
	$(PY) -m pytest tests/python --mysql-url=$(MYSQL_URL) --postgres-url=$(POSTGRES_URL) $(ARGS)

test-smoke: $(PB)/.installed  ## a fast SQLite-only subset of pytest (what CI runs on the other Python versions)
	$(PY) -m pytest tests/python -m smoke $(ARGS)

# The examples and the tests are separate projects (both declare UserMapper); the tests'
# elements.xml is broken on purpose and stays out.
lint-mappers: $(PB)/.installed  ## lint the mapper files of the examples and the tests
	$(VENV)/bin/zorvane lint examples
	$(VENV)/bin/zorvane lint tests/python/data/mappers/user.xml

typecheck: $(PB)/.extras-typecheck  ## mypy --strict on the examples and the typed usage file; stubtest over the package
	$(PY) -m mypy --strict examples/quickstart tests/typing
	$(PY) -m mypy.stubtest zorvane --allowlist tests/typing/stubtest-allowlist.txt --mypy-config-file pyproject.toml

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

clean:
	rm -rf $(B) .venv-* dist
