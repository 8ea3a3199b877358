# make demo   installs what the demo needs, builds, installs the toolbox into ./toolbox and
#             runs the demo
# make test   builds and runs every test: unit, Octave end to end, soak, memcheck, the sanitizer
#             and thread-sanitizer builds, short fuzz runs, the Windows build under Wine, and the
#             tests again against Octave 9 in a Debian 13 root (SKIP_OCTAVE_ROOT=1 skips that)
# make bench  runs the benchmarks
# make mutate plants each fault of tools/mutants.txt alone and reports those no test catches

BUILD      ?= build
SAN_BUILD  ?= build-sanitize
TSAN_BUILD ?= build-threads
FUZZ_BUILD ?= build-fuzz
WIN_BUILD  ?= build-windows
FUZZ_SECONDS ?= 60
PREFIX     ?= $(CURDIR)/toolbox
JOBS       ?= $(shell nproc 2>/dev/null || echo 2)
OCTAVE     := octave --no-gui --no-history -q

# Sub-makes and CMake's own makes do not announce every folder they enter.
MAKEFLAGS += --no-print-directory
CONFIGURE := cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DWARNINGS_AS_ERRORS=ON

.PHONY: all deps build install demo test test-octave9 unit-sanitized unit-threads fuzz windows soak \
        package bench mutate format clean remove-octave-root

# Builds the toolbox inside the Debian 13 root, from the sources at /spot, in a build folder of
# this source tree's own: a root kept for several clones would otherwise take one clone's
# newer objects for another's.
ROOT_BUILD_DIR := /build/$(shell printf '%s' '$(CURDIR)' | cksum | cut -d' ' -f1)
ROOT_BUILD := cmake -S /spot -B $(ROOT_BUILD_DIR) -DCMAKE_BUILD_TYPE=Release -DWARNINGS_AS_ERRORS=ON \
              -DBUILD_BENCHMARKS=OFF > /dev/null && cmake --build $(ROOT_BUILD_DIR) -j $(JOBS) > /dev/null

SOAK_CALLS   ?= 100000
SOAK_REPLAYS ?= 1000

all: build

deps:
	./tools/install-deps.sh

build: deps
	$(CONFIGURE) -DBUILD_TESTING=ON -DBUILD_BENCHMARKS=ON
	cmake --build $(BUILD) -j $(JOBS)

install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

# Only what the demo needs is installed and built; the build's account goes to a log, shown
# only when it fails.
demo:
	@./tools/install-deps.sh demo
	@mkdir -p $(BUILD)
	@echo "Building the toolbox into $(PREFIX) (log: $(BUILD)/demo-build.log)"
	@./tools/heartbeat.sh --log $(BUILD)/demo-build.log "building the toolbox" sh -c \
	    '$(CONFIGURE) -DBUILD_TESTING=OFF -DBUILD_BENCHMARKS=OFF && \
	     cmake --build $(BUILD) -j $(JOBS) && cmake --install $(BUILD) --prefix $(PREFIX)' \
	    || { tail -n 40 $(BUILD)/demo-build.log; exit 1; }
	@$(OCTAVE) --eval "addpath('$(PREFIX)'); addpath('$(CURDIR)/demo'); runDemo('$(CURDIR)/$(BUILD)/demo');"

# The Octave 9 pass needs root: sudo's password is asked for at the start, not after the rest.
test: build
	./tools/octave-root.sh ask $$PPID
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)
	$(MAKE) unit-sanitized
	$(MAKE) unit-threads
	$(MAKE) fuzz FUZZ_SECONDS=20
	$(MAKE) windows
	$(MAKE) test-octave9

# The unit, Octave, install-route and MATLAB-route tests again, built inside a Debian 13 root
# with Octave 9.4 (tools/octave-root.sh makes it once and keeps it).
test-octave9: deps
	./tools/octave-root.sh run sh -c 'echo "Building the toolbox in the Debian 13 root" && \
	    /spot/tools/heartbeat.sh "building in the Debian 13 root" sh -c "$(ROOT_BUILD)" && \
	    cd $(ROOT_BUILD_DIR) && ctest --output-on-failure -j $(JOBS)'

# Unit tests built with AddressSanitizer and UndefinedBehaviorSanitizer.
unit-sanitized: deps
	cmake -S . -B $(SAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DSANITIZE=ON -DWARNINGS_AS_ERRORS=ON \
	      -DWITH_OCTAVE=OFF -DWITH_MATLAB=OFF -DBUILD_BENCHMARKS=OFF
	cmake --build $(SAN_BUILD) -j $(JOBS)
	cd $(SAN_BUILD) && ctest --output-on-failure -j $(JOBS)

# Unit tests, the kernels' threads among them, built with ThreadSanitizer.
unit-threads: deps
	cmake -S . -B $(TSAN_BUILD) -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	      -DSANITIZE_THREAD=ON -DWARNINGS_AS_ERRORS=ON -DWITH_OCTAVE=OFF -DWITH_MATLAB=OFF \
	      -DBUILD_BENCHMARKS=OFF
	cmake --build $(TSAN_BUILD) -j $(JOBS)
	cd $(TSAN_BUILD) && ctest --output-on-failure -j $(JOBS)

# The modules as .mexw64, dcimgapi.dll and the unit tests cross-built with MinGW-w64; the
# tests run under Wine.
windows: deps
	cmake -S . -B $(WIN_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
	      -DCMAKE_BUILD_TYPE=Release -DWARNINGS_AS_ERRORS=ON
	cmake --build $(WIN_BUILD) -j $(JOBS)
	cd $(WIN_BUILD) && ctest --output-on-failure; status=$$?; \
	    SPOT_WINE_HOME=$(CURDIR)/$(WIN_BUILD)/wine $(CURDIR)/tools/wine-run.sh --stop; exit $$status

# libFuzzer targets (clang, AddressSanitizer and UndefinedBehaviorSanitizer), each run for
# FUZZ_SECONDS from the seeds in fuzz/corpus.
fuzz: deps
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	      -DFUZZ=ON -DSANITIZE=ON -DWARNINGS_AS_ERRORS=ON -DWITH_OCTAVE=OFF -DWITH_MATLAB=OFF \
	      -DBUILD_BENCHMARKS=OFF -DBUILD_TESTING=OFF
	cmake --build $(FUZZ_BUILD) -j $(JOBS)
	./tools/run-fuzz.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

# The Octave package: $(BUILD)/spot-<version>.tar.gz, for pkg install. It needs no package
# of Debian's: pkg install builds it.
package:
	./tools/make-package.sh $(BUILD)

# One Octave session calls the modules SOAK_CALLS times with random arguments; then each entry
# runs SOAK_REPLAYS fuzz inputs through the stand-in host under valgrind's memcheck.
soak: build
	$(OCTAVE) --eval "addpath('$(CURDIR)/$(BUILD)/toolbox'); addpath('$(CURDIR)/tests/soak'); \
	    soakModules($(SOAK_CALLS))"
	for replay in $(BUILD)/fuzz/replay_*; do \
	    valgrind -q --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite \
	        $$replay $(SOAK_REPLAYS) || exit 1; \
	done

# Kernels against a memory-streaming floor, then each module in Octave against the fastest M
# code a user would write instead, on Octave 7 here and on Octave 9 in the Debian 13 root;
# fast-histogram times the same points in a Python process of its own. The table of both goes
# to $(BUILD)/bench.md.
bench: build
	./tools/install-deps.sh bench
	$(BUILD)/bench/kernels_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
	mkdir -p $(BUILD)/bench-data
	$(OCTAVE) --eval "addpath('$(CURDIR)/bench'); benchPoints('$(CURDIR)/$(BUILD)/bench-data')"
	/usr/bin/python3 bench/fast_histogram_time.py $(BUILD)/bench-data > $(BUILD)/bench-data/fast_histogram.txt
	$(OCTAVE) --eval "addpath('$(CURDIR)/$(BUILD)/toolbox'); addpath('$(CURDIR)/bench', '$(CURDIR)/demo'); \
	    benchModules('$(CURDIR)/$(BUILD)/bench-data', '$(CURDIR)/$(BUILD)/bench-octave7.tsv')"
	./tools/octave-root.sh run sh -c '$(ROOT_BUILD) && \
	    octave-cli --no-history -q --eval "addpath(\"$(ROOT_BUILD_DIR)/toolbox\"); addpath(\"/spot/bench\", \"/spot/demo\"); \
	        benchModules(\"/spot/$(BUILD)/bench-data\", \"/tmp/bench-rows.tsv\")" >&2 && \
	    cat /tmp/bench-rows.tsv' > $(BUILD)/bench-octave9.tsv
	/usr/bin/python3 bench/bench_table.py $(BUILD)/bench.md $(BUILD)/bench-octave7.tsv \
	    $(BUILD)/bench-octave9.tsv

# Each planted fault of tools/mutants.txt, alone, in a copy of the tree: rebuilt, then the unit,
# Octave and MATLAB-route tests run. Takes minutes; not part of make test.
mutate: deps
	python3 tools/mutate.py

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD) $(SAN_BUILD) $(TSAN_BUILD) $(FUZZ_BUILD) $(WIN_BUILD) $(PREFIX) build-mutate

# The Debian 13 root of the Octave 9 pass is root's: it is removed as root (with sudo).
remove-octave-root:
	./tools/octave-root.sh remove
