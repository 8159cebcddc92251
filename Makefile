# zorvane: `make demo` and `make test` set everything up from a fresh clone.
PYTHON ?= python3
VENV   := .venv
PY     := $(VENV)/bin/python
B      := build
MYSQL_URL ?= mysql+pymysql://root@127.0.0.1:3306/test
POSTGRES_URL ?= postgresql+psycopg://postgres@127.0.0.1:5432/test
SOURCES := $(shell find src cmake -type f) CMakeLists.txt pyproject.toml

.PHONY: help demo test test-core test-py lint-mappers bench servers gtest clean

help:  ## list targets
	@grep -E '^[a-z-]+:.*##' $(MAKEFILE_LIST) | sed 's/:.*##/:/'

$(PY):
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip

$(B)/.deps: $(PY) requirements-build.txt pyproject.toml
	$(PY) -m pip install -q -r requirements-build.txt
	@mkdir -p $(B) && touch $@

$(B)/.installed: $(B)/.deps $(SOURCES)
	$(PY) -m pip install -q --no-build-isolation '.[test,conduit]'
	@touch $@

demo: $(B)/.installed  ## run the example application on a SQLite file
	cd examples/quickstart && ../../$(PY) main.py

gtest:  ## GoogleTest headers from Debian's libgtest-dev, installed when missing
	@test -f /usr/include/gtest/gtest.h || { \
	  echo "installing libgtest-dev"; \
	  if [ "$$(id -u)" = 0 ]; then apt-get install -y -q libgtest-dev; else sudo apt-get install -y -q libgtest-dev; fi; }

servers: $(B)/.installed  ## make sure MariaDB and PostgreSQL answer (start them when installed and stopped)
	@$(PY) tools/ensure_servers.py $(MYSQL_URL) $(POSTGRES_URL)

test: test-core test-py  ## C++ core tests and pytest (SQLite, MariaDB and PostgreSQL)

test-core: gtest  ## C++ core tests only
	cmake -S . -B $(B)/core -G Ninja -DCMAKE_BUILD_TYPE=Release -DZORVANE_TESTS=ON > /dev/null
	cmake --build $(B)/core
	ctest --test-dir $(B)/core --output-on-failure -j2

test-py: $(B)/.installed servers  ## pytest against SQLite files and the MariaDB and PostgreSQL servers
	$(PY) -m pytest tests/python --mysql-url=$(MYSQL_URL) --postgres-url=$(POSTGRES_URL) $(ARGS)

# The examples and the tests are separate projects (both declare UserMapper); the tests'
# elements.xml is broken on purpose and stays out.
lint-mappers: $(B)/.installed  ## lint the mapper files of the examples and the tests
	$(VENV)/bin/zorvane lint examples
	$(VENV)/bin/zorvane lint tests/python/data/mappers/user.xml

.PHONY: conduit
conduit: $(B)/.installed  ## serve examples/conduit at http://127.0.0.1:8000/api (CONDUIT_DB: a server URL, CONDUIT_PORT)
	cd examples/conduit && ../../$(PY) -m conduit

bench: $(B)/.installed servers  ## timed comparisons against hand-written SQLAlchemy code (SQLite, MariaDB, PostgreSQL)
	MYSQL_URL=$(MYSQL_URL) POSTGRES_URL=$(POSTGRES_URL) $(PY) bench/python/run.py $(NAME)

clean:
	rm -rf $(B) $(VENV)
