# vorn~: the entry points. `make test` is what CI runs.
BUILD     ?= build
SAN_BUILD ?= build-sanitize
GENERATOR := -G Ninja
JOBS      ?= $(shell nproc)

.PHONY: all deps build test test-unit test-sanitize bench clean

all: build

deps:
	@scripts/install-deps.sh build

$(BUILD)/build.ninja: | deps
	cmake -S . -B $(BUILD) $(GENERATOR) -DCMAKE_BUILD_TYPE=Release

build: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

# The whole suite: a release build, then the same tests under ASan and UBSan.
test: test-unit test-sanitize

test-unit: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

test-sanitize: deps
	cmake -S . -B $(SAN_BUILD) $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORN_SANITIZE=ON -DVORN_BENCH=OFF
	cmake --build $(SAN_BUILD) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir $(SAN_BUILD) --output-on-failure -j $(JOBS)

bench: build
	$(BUILD)/bench/engine_bench

clean:
	rm -rf $(BUILD) $(SAN_BUILD)
