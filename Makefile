# Two commands on a fresh Debian 12 machine: `make run` and `make test`.
BUILD_DIR ?= build
SAN_DIR   ?= build-asan
JOBS      ?= $(shell nproc)
HOST      ?= 127.0.0.1
PORT      ?= 8082

.PHONY: deps build run test test-asan bench clean

deps:
	./scripts/install-deps.sh

build: deps
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD_DIR) -j $(JOBS)

run: build
	$(BUILD_DIR)/bin/tokentally serve --host $(HOST) --port $(PORT)

test: build
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

# The unit tests under AddressSanitizer and UBSan.
test-asan: deps
	cmake -S . -B $(SAN_DIR) -DCMAKE_BUILD_TYPE=Debug -DTOKENTALLY_SANITIZE=ON
	cmake --build $(SAN_DIR) -j $(JOBS)
	cd $(SAN_DIR) && ctest --output-on-failure -j $(JOBS)

bench: build
	./bench/run.sh $(BUILD_DIR)

clean:
	rm -rf $(BUILD_DIR) $(SAN_DIR)
