# Nexoral: build, test and demo. Wraps CMake and installs the Debian packages it needs.
BUILD_DIR ?= build
TEST_BUILD_DIR ?= build-test
COVERAGE_BUILD_DIR ?= build-coverage
FUZZ_BUILD_DIR ?= build-fuzz
JOBS ?= 2

# What building and testing needs on a fresh Debian machine (chromium: a test loads a rewritten
# page in a headless browser; slapd: the directory tests run an LDAP server of their own;
# postgresql: the shared-store tests and the farm demo run a PostgreSQL server of their own).
DEBIAN_PACKAGES := cmake make g++ binutils libgtest-dev libgmock-dev libsqlite3-dev libbenchmark-dev \
  libboost-dev libssl-dev libcrypt-dev libcurl4-openssl-dev openssl libpugixml-dev curl chromium \
  clang-14 libclang-rt-14-dev libldap-dev slapd zlib1g-dev libpq-dev postgresql
DEMO_DIR := $(BUILD_DIR)/demo
FARM_DIR := $(BUILD_DIR)/demo-farm

# What the coverage report needs besides.
COVERAGE_PACKAGES := gcovr python3

.PHONY: all build test fuzz-build fuzz coverage demo demo-farm deps clean

all: build

deps:
	@missing=""; \
	for package in $(DEBIAN_PACKAGES) $(EXTRA_PACKAGES); do \
	  dpkg -s $$package >/dev/null 2>&1 || missing="$$missing $$package"; \
	done; \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" -ne 0 ]; then echo "Missing Debian packages:$$missing (run as root to install)"; exit 1; fi; \
	  echo "Installing Debian packages:$$missing"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	fi

build: deps
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD_DIR) -j$(JOBS)

test: deps
	cmake -S . -B $(TEST_BUILD_DIR) -DCMAKE_BUILD_TYPE=Debug -DNEXORAL_SANITIZE=ON
	cmake --build $(TEST_BUILD_DIR) -j$(JOBS)
	cd $(TEST_BUILD_DIR) && ctest --output-on-failure -j$(JOBS)
	$(MAKE) fuzz-build
	cd $(FUZZ_BUILD_DIR) && ctest --output-on-failure

# The fuzzers (tests/fuzz/): a clang build of their own with libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer in $(FUZZ_BUILD_DIR), only the fuzzers and what they link. make test
# replays each one's seeds and past failures; make fuzz fuzzes one of them, FUZZER (raw_data,
# criteria_file, address or user_agent), for FUZZ_SECONDS, with its word list when it has one.
FUZZ_SECONDS ?= 1800
FUZZER ?= raw_data
FUZZ_FLAGS ?=
fuzz-build: deps
	cmake -S . -B $(FUZZ_BUILD_DIR) -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DNEXORAL_FUZZ=ON -DNEXORAL_SANITIZE=ON -DNEXORAL_BUILD_TESTS=OFF -DNEXORAL_BUILD_BENCH=OFF
	cmake --build $(FUZZ_BUILD_DIR) -j$(JOBS) --target fuzzers

fuzz: fuzz-build
	cd $(FUZZ_BUILD_DIR)/tests/fuzz && \
	  NEXORAL_REGISTRY_ROOT=$(abspath $(FUZZ_BUILD_DIR))/test-registry ./$(FUZZER)_fuzzer \
	  -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
	  $(if $(wildcard tests/fuzz/$(FUZZER).dict),-dict=$(CURDIR)/tests/fuzz/$(FUZZER).dict) $(FUZZ_FLAGS) \
	  $(FUZZER)_corpus $(CURDIR)/tests/fuzz/corpus/$(FUZZER)/seeds

# Line and branch coverage of the product by the whole suite: an instrumented build in
# $(COVERAGE_BUILD_DIR), every test, then a table per product folder on the terminal and an HTML
# report in $(COVERAGE_BUILD_DIR)/coverage/index.html. Branches the compiler adds for exceptions
# and unreachable code are left out of the branch figures.
COVERAGE_REPORT = $(COVERAGE_BUILD_DIR)/coverage
coverage:
	$(MAKE) deps EXTRA_PACKAGES="$(COVERAGE_PACKAGES)"
	cmake -S . -B $(COVERAGE_BUILD_DIR) -DCMAKE_BUILD_TYPE=Debug -DNEXORAL_COVERAGE=ON \
	  -DNEXORAL_BUILD_BENCH=OFF
	cmake --build $(COVERAGE_BUILD_DIR) -j$(JOBS)
	find $(COVERAGE_BUILD_DIR) -name '*.gcda' -delete
	cd $(COVERAGE_BUILD_DIR) && ctest --output-on-failure -j$(JOBS)
	mkdir -p $(COVERAGE_REPORT)
	gcovr --root . --object-directory $(COVERAGE_BUILD_DIR) -j $(JOBS) \
	  --filter 'src/' --filter 'server/' --filter 'components/' --filter 'include/' \
	  --filter 'workers/' --exclude-throw-branches --exclude-unreachable-branches \
	  --json-summary $(COVERAGE_REPORT)/summary.json \
	  --html-details $(COVERAGE_REPORT)/index.html
	python3 cmake/coverage_by_folder.py $(COVERAGE_REPORT)/summary.json

# Lays out a demo installation in $(DEMO_DIR), runs the server on 127.0.0.2:8080 and the chunked
# web-mail server (nexoral-demo-upstream) on 127.0.0.2:8081, shows a few requests, the web-mail
# page as the sample worker rewrote it, and what the worker logged, and keeps the server in the
# foreground; Ctrl-C stops it gracefully. The product folder Zephyrquill/ holds the installation
# folder Nexoral/ (the module, Settings/, Resource/, workers/) and the common folder
# "Common Files/" with the log module and the components in bin/ (demo/install.sh, which
# bench/proxy_bench.sh shares). The registry, the event log, the log files and the mailbox store
# stay inside $(DEMO_DIR).
DEMO_ROOT = $(abspath $(DEMO_DIR))
demo_env = APP_POOL_ID=DemoPool NEXORAL_REGISTRY_ROOT=$(1)/registry \
  NEXORAL_EVENT_LOG_FILE=$(1)/events.log NEXORAL_SYSTEM_DIR=$(1)/logs \
  NEXORAL_MAILBOX_DIRECTORY=$(1)/Zephyrquill/Nexoral/Settings/Directory.conf
DEMO_ENV = $(call demo_env,$(DEMO_ROOT)) NEXORAL_MAILBOX_STORE=$(DEMO_ROOT)/mailbox-properties.db
demo: build
	rm -rf $(DEMO_DIR)
	demo/install.sh $(BUILD_DIR) $(DEMO_DIR)
	cp -r demo/www demo/users demo/server.conf $(DEMO_DIR)/
	$(DEMO_ENV) $(BUILD_DIR)/server/nexoral-server --config $(DEMO_DIR)/server.conf --check-config
	$(DEMO_ENV) demo/tour.sh $(BUILD_DIR)/server/nexoral-server $(DEMO_DIR) \
	  $(BUILD_DIR)/demo-upstream/nexoral-demo-upstream

# Two front ends on one PostgreSQL store, laid out in $(FARM_DIR): demo/farm.sh starts a
# PostgreSQL server of its own (demo/pg-cluster.sh) and two servers on the one installation, A on
# 127.0.0.2:8080 and B on 127.0.0.2:8082, with the demo's environment and the cluster as their
# mailbox store, shows a user's setting stored through one reaching the other's cache, and stops
# them all; it fails when a step shows something else.
demo-farm: build
	rm -rf $(FARM_DIR)
	demo/install.sh $(BUILD_DIR) $(FARM_DIR)
	cp -r demo/www demo/users demo/server.conf $(FARM_DIR)/
	$(call demo_env,$(abspath $(FARM_DIR))) demo/farm.sh $(BUILD_DIR)/server/nexoral-server $(FARM_DIR)

clean:
	rm -rf $(BUILD_DIR) $(TEST_BUILD_DIR) $(COVERAGE_BUILD_DIR) $(FUZZ_BUILD_DIR)
