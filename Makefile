# make        set up the machine (missing Debian packages only) and build dist/
# make test   the same, then every test
# make demo   a live reading from a simulated meter

DIST_PRESETS := win32 win64 linux
TEST_PRESETS := linux linux-asan linux32

.PHONY: all setup build test demo clean

all: build

setup:
	@scripts/setup.sh

build: setup
	@for p in $(DIST_PRESETS); do \
	    cmake --preset $$p >/dev/null && cmake --build --preset $$p || exit 1; \
	done
	@ls -l dist/*/tivrel*

test: build
	@for p in linux-asan linux32; do \
	    cmake --preset $$p >/dev/null && cmake --build --preset $$p || exit 1; \
	done
	scripts/check-dlls.sh
	@for p in $(TEST_PRESETS); do \
	    echo "== tests: $$p"; ctest --preset $$p || exit 1; \
	done

clean:
	rm -rf build dist
