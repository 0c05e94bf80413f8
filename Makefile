# vorn~: the entry points. `make test` is what CI runs.
BUILD     ?= build
SAN_BUILD ?= build-sanitize
TSAN_BUILD ?= build-tsan
GENERATOR := -G Ninja
JOBS      ?= $(shell nproc)

.PHONY: all deps build pd test test-unit test-sanitize test-tsan bench bench-pd bench-peers bench-web demo install clean windows test-windows \
        fuzz fuzz-build soak arm arm64 armhf arm-roots test-arm compare-renders deken test-deken wasm test-wasm web test-web \
        web-page web-serve web-screenshot

all: build

deps:
	@scripts/install-deps.sh build

$(BUILD)/build.ninja: | deps
	cmake -S . -B $(BUILD) $(GENERATOR) -DCMAKE_BUILD_TYPE=Release

build: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

# vorn~ for Pure Data: build/pd/vorn~/ (vorn~.l_amd64 and its help patch);
# make build builds it too.
pd: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS) --target vorn_pd

# The whole suite: a release build, then the same tests under ASan and UBSan,
# then the tests whose host runs the chain on an audio thread under TSan.
test: test-unit test-sanitize test-tsan

test-unit: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

test-sanitize: deps
	cmake -S . -B $(SAN_BUILD) $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORN_SANITIZE=ON -DVORN_BENCH=OFF
	cmake --build $(SAN_BUILD) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir $(SAN_BUILD) --output-on-failure -j $(JOBS)

# The stand-in host's tests and the plug-in's thread tests under
# ThreadSanitizer. Without address-space randomisation (setarch -R): on
# kernels that randomise more bits than it expects, TSan cannot map its
# shadow memory.
TSAN_TARGETS := standin_tests plugin_thread_tests
test-tsan: deps
	cmake -S . -B $(TSAN_BUILD) $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORN_TSAN=ON -DVORN_BENCH=OFF \
	  -DCMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE=PRE_TEST
	cmake --build $(TSAN_BUILD) -j $(JOBS) --target $(TSAN_TARGETS)
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 $$(setarch $$(uname -m) -R true 2>/dev/null && echo setarch $$(uname -m) -R) \
	  ctest --test-dir $(TSAN_BUILD) --output-on-failure -j $(JOBS) -R '^(Standin|Threads)\.'

bench: build
	$(BUILD)/bench/engine_bench

# The fuzzers (fuzz/README.md), each for FUZZ_SECONDS, one after another,
# built with clang, libFuzzer, ASan and UBSan. New inputs go to
# $(FUZZ_BUILD)/corpus, findings to $(FUZZ_BUILD)/findings; a finding fails
# the target.
FUZZ_BUILD   ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZERS      := events score soundfile

# clang and its symbolizer are looked up when the recipe runs, after
# install-deps.sh has installed them: make expands a recipe's variables
# before its first line runs. FUZZ_CC, FUZZ_CXX and FUZZ_SYMBOLIZER pick
# others. A build folder configured with another compiler (a run that found
# no clang, say) is configured afresh rather than failing on every retry.
fuzz-build: deps
	@scripts/install-deps.sh fuzz
	@set -e; \
	cc="$(FUZZ_CC)"; cxx="$(FUZZ_CXX)"; \
	[ -n "$$cc" ] || cc=$$(command -v clang-14 || command -v clang || true); \
	[ -n "$$cxx" ] || cxx=$$(command -v clang++-14 || command -v clang++ || true); \
	cc=$$(command -v "$$cc" || echo "$$cc"); cxx=$$(command -v "$$cxx" || echo "$$cxx"); \
	if [ -z "$$cc" ] || [ -z "$$cxx" ]; then \
	  echo "fuzz: no clang found (scripts/install-deps.sh fuzz installs clang-14)" >&2; exit 1; fi; \
	cache=$(FUZZ_BUILD)/CMakeCache.txt; \
	if [ -f $$cache ]; then \
	  cached=$$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' $$cache); \
	  if [ "$$(readlink -f "$$cached" 2>/dev/null)" != "$$(readlink -f "$$cxx")" ]; then \
	    echo "fuzz: $(FUZZ_BUILD) was configured with $${cached:-another compiler}: configuring it afresh with $$cxx"; \
	    rm -rf $$cache $(FUZZ_BUILD)/CMakeFiles; \
	  fi; \
	fi; \
	echo "CC=$$cc CXX=$$cxx cmake -S . -B $(FUZZ_BUILD) ..."; \
	CC=$$cc CXX=$$cxx cmake -S . -B $(FUZZ_BUILD) $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DVORN_FUZZ=ON -DBUILD_TESTING=OFF -DVORN_BENCH=OFF
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target $(addprefix fuzz_,$(FUZZERS))

fuzz: fuzz-build
	@sym="$(FUZZ_SYMBOLIZER)"; \
	[ -n "$$sym" ] || sym=$$(ls /usr/lib/llvm-14/bin/llvm-symbolizer 2>/dev/null || command -v llvm-symbolizer || true); \
	export ASAN_SYMBOLIZER_PATH=$$sym; for f in $(FUZZERS); do \
	  mkdir -p $(FUZZ_BUILD)/corpus/$$f $(FUZZ_BUILD)/findings; \
	  echo "fuzz: $$f for $(FUZZ_SECONDS) s"; \
	  $(FUZZ_BUILD)/bin/fuzz_$$f $(CURDIR)/$(FUZZ_BUILD)/corpus/$$f $(CURDIR)/fuzz/corpus/$$f \
	    -max_total_time=$(FUZZ_SECONDS) -max_len=1024 -timeout=30 -close_fd_mask=1 -print_final_stats=1 \
	    -artifact_prefix=$(CURDIR)/$(FUZZ_BUILD)/findings/$$f- 2>$(FUZZ_BUILD)/fuzz-$$f.log \
	  || { tail -n 60 $(FUZZ_BUILD)/fuzz-$$f.log; echo "fuzz: $$f failed (findings are kept in $(FUZZ_BUILD)/findings)"; exit 1; }; \
	  grep -E "^stat::number_of_executed_units|^stat::average_exec_per_sec|^Done" $(FUZZ_BUILD)/fuzz-$$f.log; \
	done

# Ten minutes of output at 1024 grains, every parameter changing every 50 ms
# and the buffer~ replaced every second: memory, time per vector, finiteness.
soak: build
	$(BUILD)/bench/vorn_soak

# vorn~ in Windows Pd amd64 under Wine against Linux Pd, on one patch of 1024
# grains, side by side: CPU seconds of each, start-up taken off, and the ratio.
bench-pd: build windows
	bench/pd_speed.sh $(BUILD) $(WIN_BUILD) $(WIN64_BUILD)

# The engine as WebAssembly in node against the native engine, side by side
# (bench/web_speed.sh): ns per grain-sample at 1024 grains, each build; then
# the worklet in headless Chromium: its time per render quantum at 1024
# grains against the quantum's 2.9 ms (bench/web_worklet.mjs).
bench-web: build web
	@scripts/install-deps.sh webtest
	cd web && npm ci --no-audit --no-fund --loglevel=error
	bench/web_speed.sh $(BUILD) $(WASM_BUILD) $(WASM_NOSIMD_BUILD)
	node bench/web_worklet.mjs $(WEB_OUT)

# vorn render against Csound's syncgrain, SuperCollider's GrainBuf and pyo's
# Granulator on one workload (installs them from Debian packages); one table of
# seconds, ns per grain-sample and ratios. Options through PEERS_ARGS, e.g.
# make bench-peers PEERS_ARGS="--quick --runs 1"; VORN=path picks another vorn.
bench-peers: build
	VORN="$${VORN:-$(CURDIR)/$(BUILD)/bin/vorn}" bench/peers/run.sh $(PEERS_ARGS)

# vorn~.mxe for 32-bit Windows, cross-compiled with MinGW-w64, and beside it
# in $(WIN_BUILD)/bin the stand-in host for Windows (MaxAPI.dll, MaxAudio.dll)
# and vorn.exe; and the engine's tests, $(WIN_BUILD)/tests/engine_tests.exe.
# No other tests and no benchmarks are cross-built. vorn~ for Windows Pd:
# vorn~.m_i386 in $(WIN_BUILD)/pd/vorn~ and vorn~.m_amd64 in
# $(WIN64_BUILD)/pd/vorn~, against the Pd for Windows that
# scripts/pd-windows.sh builds from Debian's source package of Pd into
# $(PDWIN_DIR)/i386 and $(PDWIN_DIR)/amd64, once (tests/pd-windows runs them).
WIN_BUILD ?= build-win
WIN64_BUILD ?= build-win64
PDWIN_DIR ?= $(WIN_BUILD)/pd-windows

windows:
	@scripts/install-deps.sh build windows
	scripts/pd-windows.sh i386 $(PDWIN_DIR)/i386
	scripts/pd-windows.sh amd64 $(PDWIN_DIR)/amd64
	cmake -S . -B $(WIN_BUILD) $(GENERATOR) -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/mingw-i686.toolchain.cmake \
	  -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=ON -DVORN_BENCH=OFF -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
	  -DPD_INCLUDE_DIR=$(abspath $(PDWIN_DIR))/i386/include -DVORN_PD_IMPORT_LIB=$(abspath $(PDWIN_DIR))/i386/lib/libpd.dll.a
	cmake --build $(WIN_BUILD) -j $(JOBS)
	cmake -S . -B $(WIN64_BUILD) $(GENERATOR) -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/mingw-x86_64.toolchain.cmake \
	  -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DVORN_BENCH=OFF -DVORN_PD_ONLY=ON -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
	  -DPD_INCLUDE_DIR=$(abspath $(PDWIN_DIR))/amd64/include -DVORN_PD_IMPORT_LIB=$(abspath $(PDWIN_DIR))/amd64/lib/libpd.dll.a
	cmake --build $(WIN64_BUILD) -j $(JOBS)

# The Windows artefacts: their exports, imports and build flags, checked
# statically; then renders by vorn.exe under Wine compared with the Linux
# build's, byte for byte, the engine's tests under Wine, and the Pd tests'
# scenarios, fault patches and help patch in Windows Pd i386 and amd64 (the
# 64-bit ones always here, under Wine's 64-bit loader). Wine runs here
# where the kernel executes 32-bit code, and otherwise in a virtual machine
# under QEMU, whose kernel and root file system are cached in
# $(WIN_BUILD)/wine-vm; VORN_WINE_VM=1 takes the virtual machine anyway.
# Neither possible is a failure, never a skip.
test-windows: windows build
	tests/windows/check_artefacts.sh $(WIN_BUILD) $(WIN64_BUILD)
	tests/windows/test_windows.sh $(WIN_BUILD) $(BUILD) $(WIN64_BUILD)

# vorn~ as WebAssembly, with Debian's clang-16 and lld-16 against wasi-libc
# and libc++ for wasm32: the engine, its binding for the browser
# (build/.../web/wasm/vorn.wasm) and the engine's tests, in $(WASM_BUILD)
# with WebAssembly's 128-bit SIMD (the simd128 kernel) and in
# $(WASM_NOSIMD_BUILD) without, for browsers that lack it. test-wasm runs
# the engine's tests in node: the SIMD build with its kernel and with the
# plain loop, the other with the plain loop.
WASM_BUILD ?= build-wasm
WASM_NOSIMD_BUILD ?= build-wasm-nosimd

wasm:
	@scripts/install-deps.sh web
	cmake -S . -B $(WASM_BUILD) $(GENERATOR) -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/wasm32-wasi.toolchain.cmake \
	  -DCMAKE_BUILD_TYPE=Release -DVORN_WASM_SIMD=ON -DVORN_BENCH=OFF
	cmake --build $(WASM_BUILD) -j $(JOBS)
	cmake -S . -B $(WASM_NOSIMD_BUILD) $(GENERATOR) -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/wasm32-wasi.toolchain.cmake \
	  -DCMAKE_BUILD_TYPE=Release -DVORN_WASM_SIMD=OFF -DVORN_BENCH=OFF
	cmake --build $(WASM_NOSIMD_BUILD) -j $(JOBS)

test-wasm: wasm
	ctest --test-dir $(WASM_BUILD) --output-on-failure
	ctest --test-dir $(WASM_NOSIMD_BUILD) --output-on-failure

# vorn~ for Web Audio: the JavaScript module (web/src, web/README.md) and
# both vorn.wasm builds, under the names it fetches, in $(WEB_OUT).
WEB_OUT ?= $(BUILD)/web

web: wasm web-page
	mkdir -p $(WEB_OUT)
	cp web/src/vorn.js web/src/vorn-engine.js web/src/vorn-processor.js web/README.md $(WEB_OUT)/
	cp $(WASM_BUILD)/web/wasm/vorn.wasm $(WEB_OUT)/vorn-simd.wasm
	cp $(WASM_NOSIMD_BUILD)/web/wasm/vorn.wasm $(WEB_OUT)/vorn-nosimd.wasm

# The module's tests (web/test): in node, the engine's wrapper and the
# host's side against vorn render; in Debian's headless Chromium (through
# puppeteer-core, from web/package-lock.json), VornNodes in an
# OfflineAudioContext against vorn render --vector 128, sample for sample,
# with both builds' kernels. Never skips.
test-web: test-wasm web build
	@scripts/install-deps.sh webtest
	cd web && npm ci --no-audit --no-fund --loglevel=error
	cd web && VORN_WEB_DIR=$(abspath $(WEB_OUT)) VORN_BIN=$(abspath $(BUILD))/bin/vorn node --test --test-concurrency=1 test/engine.test.js test/browser.test.js \
	  test/page-units.test.js test/page.test.js test/page-firefox.test.js

# The page (web/page): index.html at the root of $(WEB_OUT), the rest in
# page/, and its demo sound, vorn's built-in phrase as it is: at scan speed 1
# with no jitter the grains read what the position reads and their windows
# add up to 1, so the render is the phrase, half a period late.
web-page: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS) --target vorn vorn_mxe
	mkdir -p $(WEB_OUT)/page
	cp web/page/index.html $(WEB_OUT)/
	cp web/page/*.js web/page/*.css $(WEB_OUT)/page/
	$(BUILD)/bin/vorn render -q -o $(WEB_OUT)/page/demo.wav -p scan:1 -a "3 src 0 0 0 60" --format pcm16 --seed 1

# The page on http://localhost:$(WEB_PORT)/ (an AudioWorklet needs a secure
# context, which localhost is), until Ctrl-C.
WEB_PORT ?= 8808
web-serve: web
	node web/serve.js $(WEB_OUT) $(WEB_PORT)

# docs/web-page.png, the README's picture of the page, taken again.
web-screenshot: web
	@scripts/install-deps.sh webtest
	cd web && npm ci --no-audit --no-fund --loglevel=error
	cd web && VORN_WEB_DIR=$(abspath $(WEB_OUT)) node test/page-screenshot.js $(CURDIR)/docs/web-page.png

# vorn~ for ARM Linux, cross-compiled with Debian's cross compilers: 64-bit
# (arm64, with the NEON kernel) in $(ARM64_BUILD), 32-bit with NEON (armhf)
# in $(ARMHF_BUILD). Each holds the engine's tests, vorn with the plug-in and
# the stand-in host, and the Pd external, built against a Debian root of the
# target in BUILD/root: the packages below and what they depend on, downloaded
# by apt and unpacked (scripts/arm-root.sh), about 80 MB each, kept until
# ARM_ROOT_PACKAGES changes.
ARM64_BUILD ?= build-arm64
ARMHF_BUILD ?= build-armhf
ARM_ROOT_PACKAGES := libsndfile1-dev libcli11-dev puredata-core puredata-dev faketime coreutils

arm: arm-roots
	scripts/build-arm.sh arm64 $(ARM64_BUILD) $(JOBS) $(ARM_ROOT_PACKAGES)
	scripts/build-arm.sh armhf $(ARMHF_BUILD) $(JOBS) $(ARM_ROOT_PACKAGES)

arm64:
	@scripts/install-deps.sh build arm
	scripts/build-arm.sh arm64 $(ARM64_BUILD) $(JOBS) $(ARM_ROOT_PACKAGES)

armhf:
	@scripts/install-deps.sh build arm
	scripts/build-arm.sh armhf $(ARMHF_BUILD) $(JOBS) $(ARM_ROOT_PACKAGES)

# Both roots at once: their time goes to downloading.
arm-roots:
	@scripts/install-deps.sh build arm
	@scripts/arm-root.sh arm64 $(ARM64_BUILD)/root $(ARM_ROOT_PACKAGES) & first=$$!; \
	  scripts/arm-root.sh armhf $(ARMHF_BUILD)/root $(ARM_ROOT_PACKAGES); second=$$?; \
	  wait $$first; first=$$?; test $$first -eq 0 && test $$second -eq 0

# The ARM builds checked: their compile commands and machine code (no fused
# multiply-add), the engine's tests under QEMU's user-mode emulator (arm64
# with the NEON kernel and with the plain loop, armhf with its kernel), and
# renders by each one's vorn and by its Pd external in Debian's pd for that
# architecture, compared byte for byte with the x86-64 vorn's (NaN samples
# but for their bits). The arm64 and armhf checks run side by side.
test-arm: arm build
	tests/arm/run.sh $(ARM64_BUILD) $(ARMHF_BUILD) $(BUILD)/bin/vorn

# One package of vorn~ for Pd's package manager (deken) in $(DEKEN_DIR): the
# externals of the five Pd builds, named by the architectures their headers
# give, with the help patch, the reference, the licence and a README for Pd
# users (scripts/deken-package.sh).
DEKEN_DIR ?= $(BUILD)/deken
DEKEN_FOLDERS = $(BUILD)/pd/vorn~ $(ARM64_BUILD)/pd/vorn~ $(ARMHF_BUILD)/pd/vorn~ $(WIN_BUILD)/pd/vorn~ $(WIN64_BUILD)/pd/vorn~

deken: build arm windows
	@scripts/install-deps.sh deken
	scripts/deken-package.sh $(DEKEN_DIR) $(DEKEN_FOLDERS)

# The package as a user receives it: read, offered, checked and unpacked by
# Pd's own package manager, then vorn~ loaded from the unpacked folder by
# Linux Pd on amd64, arm64 (QEMU) and armv7 (QEMU) and by Windows Pd, 64-bit
# and 32-bit, under Wine, each recording bit for bit what vorn render
# renders (tests/deken/test_deken.sh). No platform is skipped.
test-deken: deken
	tests/deken/test_deken.sh $(DEKEN_DIR) $(BUILD) $(ARM64_BUILD) $(ARMHF_BUILD) $(WIN_BUILD) $(WIN64_BUILD)

# The renders of this tree's vorn against those of another revision's, byte
# for byte (tests/compare_builds.sh): for a refactor or an optimisation that
# must not change the sound. The revision is checked out in a worktree of its
# own under $(COMPARE_BUILD), one per commit, kept with its build: a second
# run against the same commit builds only this tree.
#   make compare-renders BASELINE=main
COMPARE_BUILD ?= $(BUILD)/compare-renders
compare-renders: deps $(BUILD)/build.ninja
	@set -e; \
	if [ -z "$(BASELINE)" ]; then \
	  echo "compare-renders: name the revision to compare with: make compare-renders BASELINE=REV (main, HEAD, a commit...)" >&2; \
	  exit 2; fi; \
	rev=$$(git rev-parse --verify --quiet "$(BASELINE)^{commit}") || { \
	  echo "compare-renders: BASELINE=$(BASELINE) is no commit of this repository" >&2; exit 2; }; \
	tree=$(COMPARE_BUILD)/$$rev; \
	if [ ! -f $$tree/.git ] || [ "$$(git -C $$tree rev-parse --verify --quiet HEAD)" != "$$rev" ]; then \
	  rm -rf $$tree; git worktree prune; \
	  echo "compare-renders: $(BASELINE) ($$rev) checked out in $$tree"; \
	  git worktree add --detach --quiet $$tree $$rev; \
	fi; \
	cmake -S $$tree -B $$tree/build $(GENERATOR) -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DVORN_BENCH=OFF >/dev/null; \
	cmake --build $$tree/build -j $(JOBS) --target vorn; \
	cmake --build $(BUILD) -j $(JOBS) --target vorn; \
	echo "compare-renders: $(BASELINE) ($$rev) against this tree, uncommitted changes included"; \
	tests/compare_builds.sh $$tree/build/bin/vorn $(BUILD)/bin/vorn

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
	rm -rf $(BUILD) $(SAN_BUILD) $(TSAN_BUILD) $(FUZZ_BUILD) $(WIN_BUILD) $(WIN64_BUILD) $(ARM64_BUILD) $(ARMHF_BUILD) \
	  $(WASM_BUILD) $(WASM_NOSIMD_BUILD)
	@git worktree prune 2>/dev/null || true  # the worktrees of compare-renders went with $(BUILD)
