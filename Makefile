# vorn~: the entry points. `make test` is what CI runs.
BUILD     ?= build
SAN_BUILD ?= build-sanitize
GENERATOR := -G Ninja
JOBS      ?= $(shell nproc)

.PHONY: all deps build test test-unit test-sanitize bench demo install clean

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

# The built-in sound through a musical preset: stretched four times, in grains
# of 150 ms (32 at a time, 20 ms of position jitter, 15 cents of detune), each
# grain transposed at random to the unison, an octave down, a fifth up or a
# fourth down.
DEMO := $(CURDIR)/demo.wav
demo: build
	$(BUILD)/bin/vorn render -o $(DEMO) -p scan:0.25 -a "5 src 20 0 15 150" -m "init 2 0 -1200 700 -500" --seed 2024
	@echo
	@echo "demo.wav is at $(DEMO)"
	@echo "It holds 24 s of mono 32-bit float WAV at 44100 Hz (peak level on the line above): the"
	@echo "built-in six-second phrase, plucked and bell tones in A minor pentatonic over a sung-vowel"
	@echo "pad, stretched four times by vorn~ in 150 ms grains, each grain transposed at random to"
	@echo "the unison, an octave down, a fifth up or a fourth down."

# vorn in $(PREFIX)/bin, the plug-in and the host libraries under $(PREFIX)/lib.
PREFIX ?= /usr/local
install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

clean:
	rm -rf $(BUILD) $(SAN_BUILD)
