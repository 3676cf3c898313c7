# The two commands of the README: `make run` builds and runs the virtual unit
# on its default scenario; `make test` builds and passes every test (plain and
# under AddressSanitizer/UndefinedBehaviorSanitizer). Both install what they
# need on a fresh Debian machine.
SHELL := /bin/bash
JOBS ?= $(shell nproc)
BUILD := build
SANBUILD := build/sanitize
PACKAGES := cmake g++ make libgtest-dev libtomlplusplus-dev libcli11-dev nlohmann-json3-dev

.PHONY: all deps build run test bench clean

all: build

deps:
	@missing=""; for p in $(PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing" >&2; \
	  SUDO=$$( [ "$$(id -u)" = 0 ] || echo sudo ); \
	  { $$SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq $$missing; } >&2; \
	fi

$(BUILD)/Makefile: CMakeLists.txt | deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: deps $(BUILD)/Makefile
	cmake --build $(BUILD) -j $(JOBS)

# The unit's console alone goes to standard output; the build talks on stderr.
run: deps
	@test -f $(BUILD)/Makefile || cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >&2
	@cmake --build $(BUILD) -j $(JOBS) >&2
	@./$(BUILD)/zelmora-sim $(ARGS)

bench: deps $(BUILD)/Makefile
	cmake --build $(BUILD) -j $(JOBS) --target zelmora-bench
	./$(BUILD)/zelmora-bench $(ARGS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)
	cmake -S . -B $(SANBUILD) -DCMAKE_BUILD_TYPE=Debug -DZELMORA_SANITIZE=ON
	cmake --build $(SANBUILD) -j $(JOBS)
	cd $(SANBUILD) && ctest --output-on-failure -j $(JOBS)

clean:
	rm -rf $(BUILD)
