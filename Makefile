# Two commands on a fresh Debian 12 machine: `make run` and `make test`.
BUILD_DIR ?= build
SAN_DIR   ?= build-asan
FUZZ_DIR  ?= build-fuzz
FUZZ_SECONDS       ?= 60
FUZZ_SMOKE_SECONDS ?= 5
JOBS      ?= $(shell nproc)
HOST      ?= 127.0.0.1
PREFIX    ?= /usr/local
DESTDIR   ?=
PORT      ?= 8082

# Compilers run through ccache when it is installed (install-deps.sh adds it),
# so a second build of unchanged sources, in this tree or in another clone,
# takes seconds. The base directory makes entries match across clone paths.
ifneq ($(shell command -v ccache),)
export CCACHE_BASEDIR ?= $(CURDIR)
export CMAKE_CXX_COMPILER_LAUNCHER ?= ccache
endif

.PHONY: deps build run install package test test-asan fuzz fuzz-smoke bench sdk-deps clean

deps:
	./scripts/install-deps.sh

build: deps
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD_DIR) -j $(JOBS)

run: build
	$(BUILD_DIR)/bin/tokentally serve --host $(HOST) --port $(PORT)

# The executable, its libraries, the dashboard page, the user unit and the
# README under PREFIX (staged under DESTDIR when set); see
# packaging/install.cmake for where each goes.
install: build
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD_DIR) --prefix "$(PREFIX)"

# $(BUILD_DIR)/tokentally_<version>_<arch>.deb, from the tree just built.
package: build
	cd $(BUILD_DIR) && cpack --config CPackConfig.cmake

# The suite, then the unit tests again under the sanitizers, then a few
# seconds of every fuzz target.
test: build
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)
	$(MAKE) --no-print-directory test-asan
	$(MAKE) --no-print-directory fuzz-smoke

# The unit tests under AddressSanitizer and UBSan.
test-asan: deps
	cmake -S . -B $(SAN_DIR) -DCMAKE_BUILD_TYPE=Debug -DTOKENTALLY_SANITIZE=ON
	cmake --build $(SAN_DIR) -j $(JOBS)
	cd $(SAN_DIR) && ctest --output-on-failure -j $(JOBS)

# libFuzzer targets built with clang into $(FUZZ_DIR); any finding fails.
fuzz: deps
	JOBS=$(JOBS) FUZZ_BUILD_DIR=$(FUZZ_DIR) ./fuzz/run.sh $(FUZZ_SECONDS)

fuzz-smoke: deps
	JOBS=$(JOBS) FUZZ_BUILD_DIR=$(FUZZ_DIR) ./fuzz/run.sh $(FUZZ_SMOKE_SECONDS)

bench: build
	./bench/run.sh $(BUILD_DIR)

# The npm SDKs of the SDK test (tests/sdk), at the versions its lock file
# pins; needs the npm registry. Without them that test reports itself skipped.
sdk-deps:
	cd tests/sdk && npm ci --no-audit --no-fund

clean:
	rm -rf $(BUILD_DIR) $(SAN_DIR) $(FUZZ_DIR)
