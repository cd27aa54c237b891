# make        set up the machine (missing Debian packages only) and build dist/
# make test   the same, then every test
# make demo   a live reading from a simulated meter
# make fuzz   each fuzz target for FUZZ_SECONDS (corpus kept in build/fuzz-corpus/)
# make bench  the benchmarks, and a summary table of their figures

DIST_PRESETS := win32 win64 linux
TEST_PRESETS := linux linux-asan linux32 fuzz
FUZZ_SECONDS ?= 60

.PHONY: all setup build test demo clean fuzz bench

all: build

setup:
	@scripts/setup.sh

build: setup
	@for p in $(DIST_PRESETS); do \
	    cmake --preset $$p >/dev/null && cmake --build --preset $$p || exit 1; \
	done
	@ls -l dist/*/tivrel*

test: build
	@for p in linux-asan linux32 fuzz; do \
	    cmake --preset $$p >/dev/null && cmake --build --preset $$p || exit 1; \
	done
	scripts/check-dlls.sh
	@for p in $(TEST_PRESETS); do \
	    echo "== tests: $$p"; ctest --preset $$p || exit 1; \
	done
	tests/wine/run.sh
	tests/win32/run.sh

demo: build
	@scripts/demo.sh

fuzz: setup
	@cmake --preset fuzz >/dev/null && cmake --build --preset fuzz
	@for t in stream number; do \
	    fuzz/run.sh build/fuzz/fuzz/$$t fuzz/corpus/$$t $(FUZZ_SECONDS) build/fuzz-corpus/$$t || exit 1; \
	done

bench: build
	@cmake --preset bench >/dev/null && cmake --build --preset bench
	@scripts/bench.sh

clean:
	rm -rf build dist
