# The two commands of the README: `make run` builds and runs the virtual unit
# on its default scenario; `make test` builds and passes every test (plain and
# under AddressSanitizer/UndefinedBehaviorSanitizer). Both install what they
# need on a fresh Debian machine.
SHELL := /bin/bash
JOBS ?= $(shell nproc)
BUILD := build
SANBUILD := build/sanitize
PACKAGES := cmake g++ make pkg-config libgtest-dev libtomlplusplus-dev libcli11-dev nlohmann-json3-dev libunicorn-dev \
  libsqlite3-dev libcpp-httplib-dev libjs-chart.js libjs-leaflet
# What only `make tools` and `make install` need: the man pages come from
# each program's --help (without it they are skipped, with a message).
TOOLS_PACKAGES := help2man
PREFIX ?= /usr/local
# What only the tests need: the station monitor's page in a headless browser,
# the simulator's plots, and GDB against the chip image.
TEST_PACKAGES := chromium gnuplot-nox gdb-multiarch
# The chip build: the bare-metal cross compiler with newlib-nano.
TARGET_PACKAGES := gcc-arm-none-eabi libnewlib-arm-none-eabi libstdc++-arm-none-eabi-newlib python3
TARGETBUILD := build/target
# Programming the chip: OpenOCD with a CMSIS-DAP probe on SWD.
FLASH_PACKAGES := openocd
OPENOCD_CFG := platform/saml21/openocd.cfg
# The whole suite on 32-bit ARM Linux (char unsigned, long 32 bits) under qemu-user.
ARM_PACKAGES := g++-arm-linux-gnueabihf qemu-user
# The armhf libraries the suite links: everything of PACKAGES that is not
# header-only (arch all), so that the station monitor is built and tested too.
ARM_MULTIARCH := libgtest-dev:armhf libtomlplusplus-dev:armhf libunicorn-dev:armhf libsqlite3-dev:armhf \
  libcpp-httplib-dev:armhf zlib1g-dev:armhf
ARMBUILD := build/arm
# Configurations CI builds besides `make test`'s: GCC at -O3 (it warns where
# -O2 does not), and Debian's clang.
RELBUILD := build/release
CLANGBUILD := build/clang
CLANG_PACKAGES := clang
# libFuzzer's harnesses (fuzz/): Debian's clang and its runtime libraries,
# ASan + UBSan, their own build. `make fuzz` runs each for SECONDS and
# reports; `make fuzz FUZZ_CI=1` is CI's short run, FUZZ_CI_SECONDS each.
FUZZ_PACKAGES := clang libclang-rt-dev
FUZZBUILD := build/fuzz-clang
SECONDS ?= 60
FUZZ_CI ?=
FUZZ_CI_SECONDS := 10
ifneq ($(FUZZ_CI),)
SECONDS := $(FUZZ_CI_SECONDS)
endif
# Some harnesses only: make fuzz HARNESSES="gps pc".
HARNESSES ?=
# make fuzz-long: executions per harness, and an optional time cap each (0: none).
FUZZ_LONG_RUNS ?= 10000000
FUZZ_LONG_SECONDS ?= 0

.PHONY: all deps build tools install ci-full run test bench proof-chip docs-check clean target target-deps flash flash-deps test-arm arm-deps check-configs fuzz fuzz-long fuzz-deps

all: build

# Whether a package is installed is asked for the machine's own architecture
# (or arch "all") unless the name carries one (pkg:armhf): once the armhf
# copies of the libraries sit beside the native ones, a bare name is
# ambiguous and would read as missing.
define MISSING
missing=""; arch=$$(dpkg --print-architecture); \
for p in $(1); do \
  case $$p in *:*) qs=$$p ;; *) qs="$$p:$$arch $$p:all" ;; esac; \
  ok=; for q in $$qs; do \
    [ "$$(dpkg-query -W -f='$${Status}' $$q 2>/dev/null)" = "install ok installed" ] && ok=1; \
  done; \
  [ -n "$$ok" ] || missing="$$missing $$p"; \
done
endef
# --no-remove: an install that would take another package away fails instead.
deps:
	@$(call MISSING,$(PACKAGES)); \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing" >&2; \
	  SUDO=$$( [ "$$(id -u)" = 0 ] || echo sudo ); \
	  { $$SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq --no-remove $$missing; } >&2; \
	fi

$(BUILD)/Makefile: CMakeLists.txt | deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: deps $(BUILD)/Makefile
	cmake --build $(BUILD) -j $(JOBS)

# Every program and its man page, without the tests: `make tools`, then
# build/zelmora-sim, build/zelmora-pc, ... (build/man/*.1). Configures anew
# when help2man came after the last configure (or the configure predates it).
tools: deps
	@$(MAKE) --no-print-directory deps PACKAGES="$(TOOLS_PACKAGES)"
	@grep -qs '^HELP2MAN:FILEPATH=/' $(BUILD)/CMakeCache.txt || \
	  cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j $(JOBS) --target zelmora-tools

# The programs into PREFIX/bin, their man pages into PREFIX/share/man/man1,
# the scenarios and the example configuration into PREFIX/share/zelmora, the
# README and docs/ into PREFIX/share/doc/zelmora: make install PREFIX=~/.local
# (the same as `cmake --install build --prefix P` after `make tools`).
install: tools
	cmake --install $(BUILD) --prefix $(PREFIX)

target-deps:
	@$(MAKE) --no-print-directory deps PACKAGES="$(TARGET_PACKAGES)"

# Firmware and board layer for the ATSAML21J18B, then the size report (fails when over budget).
target: target-deps
	cmake -S platform/saml21 -B $(TARGETBUILD) -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/arm-none-eabi.cmake
	cmake --build $(TARGETBUILD) -j $(JOBS)

flash-deps:
	@$(MAKE) --no-print-directory deps PACKAGES="$(FLASH_PACKAGES)"

# Programs the image, verifies it and starts it. OpenOCD's messages and status
# are left as they are: without a probe it says so and the target fails.
# OPENOCD_ARGS picks a probe among several: OPENOCD_ARGS='-c "adapter serial X"'.
flash: target flash-deps
	openocd -f $(OPENOCD_CFG) $(OPENOCD_ARGS) -c "program $(TARGETBUILD)/zelmora.elf verify reset exit"

arm-deps:
	@dpkg --print-foreign-architectures | grep -qx armhf || { \
	  echo "adding the armhf architecture" >&2; \
	  SUDO=$$( [ "$$(id -u)" = 0 ] || echo sudo ); $$SUDO dpkg --add-architecture armhf; }
	@$(MAKE) --no-print-directory deps PACKAGES="$(PACKAGES) $(ARM_PACKAGES) $(ARM_MULTIARCH)"

# CI leaves it out (it takes a long while under emulation): `make ci-full` is
# CI's run followed by this one.
test-arm: arm-deps
	cmake -S . -B $(ARMBUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/arm-linux-gnueabihf.cmake
	cmake --build $(ARMBUILD) -j $(JOBS)
	cd $(ARMBUILD) && ctest --output-on-failure -j $(JOBS)

ci-full:
	bash .ci/run
	$(MAKE) --no-print-directory test-arm

# GCC Release and clang, warnings as errors like every build, each with the
# whole suite.
check-configs: deps
	@$(MAKE) --no-print-directory deps PACKAGES="$(CLANG_PACKAGES)"
	cmake -S . -B $(RELBUILD) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(RELBUILD) -j $(JOBS)
	cd $(RELBUILD) && ctest --output-on-failure -j $(JOBS)
	cmake -S . -B $(CLANGBUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++
	cmake --build $(CLANGBUILD) -j $(JOBS)
	cd $(CLANGBUILD) && ctest --output-on-failure -j $(JOBS)

fuzz-deps:
	@$(MAKE) --no-print-directory deps PACKAGES="$(PACKAGES) $(FUZZ_PACKAGES)"

# Builds the harnesses (one build, nothing else of the project), then runs
# each for SECONDS; fails when one found something (fuzz/run.sh says what).
define FUZZ_BUILD_HARNESSES
	cmake -S . -B $(FUZZBUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
	  -DZELMORA_FUZZ=ON -DZELMORA_TESTS=OFF
	cmake --build $(FUZZBUILD) -j $(JOBS) --target zelmora-fuzz-all
endef

fuzz: fuzz-deps
	$(FUZZ_BUILD_HARNESSES)
	fuzz/run.sh $(FUZZBUILD) $(SECONDS) $(HARNESSES)

# The long run: each harness in turn until FUZZ_LONG_RUNS executions, or
# FUZZ_LONG_SECONDS each when given; the same report.
fuzz-long: fuzz-deps
	$(FUZZ_BUILD_HARNESSES)
	fuzz/run.sh --runs $(FUZZ_LONG_RUNS) $(FUZZBUILD) $(FUZZ_LONG_SECONDS) $(HARNESSES)

# The unit's console alone goes to standard output; the build talks on stderr.
# Only the simulator is built, not the tests.
run: deps
	@test -f $(BUILD)/Makefile || cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >&2
	@cmake --build $(BUILD) -j $(JOBS) --target zelmora-sim >&2
	@./$(BUILD)/zelmora-sim $(ARGS)

bench: deps $(BUILD)/Makefile
	cmake --build $(BUILD) -j $(JOBS) --target zelmora-bench
	./$(BUILD)/zelmora-bench $(ARGS)

# The chip image first: the tests run it on the chip's core.
test: build target
	@$(MAKE) --no-print-directory deps PACKAGES="$(TEST_PACKAGES)"
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)
	cmake -S . -B $(SANBUILD) -DCMAKE_BUILD_TYPE=Debug -DZELMORA_SANITIZE=ON
	cmake --build $(SANBUILD) -j $(JOBS)
	cd $(SANBUILD) && ctest --output-on-failure -j $(JOBS)

# The fault campaign on the chip image at full size, for hours (docs/faults.md):
# a cut at every millisecond of the two sweeps, brownout.toml whole and the
# winter week (ZELMORA_PROOF_CHIP=1), then a one-day soak of the image.
proof-chip: deps $(BUILD)/Makefile target
	cmake --build $(BUILD) -j $(JOBS) --target test_chip zelmora-bench
	cd $(BUILD)/tests && ZELMORA_PROOF_CHIP=1 ./test_chip --gtest_filter='ChipFault.*-ChipFault.MinutesAtSeaPassTheSoaksChecks'
	./$(BUILD)/zelmora-bench --soak 1 --chip $(TARGETBUILD)/zelmora.elf

# Runs the commands shown in README.md and docs/ (blocks tagged console) and
# compares their output; checks the links too (tools/docs-check).
docs-check: tools
	python3 tools/docs-check

clean:
	rm -rf $(BUILD)
