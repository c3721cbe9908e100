# Two commands set everything up on a fresh Debian 12 machine:
#   make run    install what is missing, build, run the main job
#   make test   the same set-up, then every test
MAKEFLAGS += --no-print-directory
# Let ccache share results between clones of the repository (CI builds a
# fresh clone each run).
export CCACHE_BASEDIR := $(CURDIR)
export CCACHE_NOHASHDIR := 1
JOBS      ?= 2
BUILD     ?= build
CMAKE_ARGS ?=
# The main job: the desktop application (PipeWire when a sound server
# answers, else the simulated machine, with a note saying so). Without a
# display it says so and exits with status 2.
RUN_CMD   ?= $(BUILD)/app/choralink

.PHONY: all setup configure build run test asan tsan format-check bench package clean

all: build

setup:
	@bash scripts/setup.sh

configure: setup
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_ARGS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j$(JOBS)

run: build
	@$(RUN_CMD)

test: build
	@cd $(BUILD) && ctest -j$(JOBS) --output-on-failure $(CTEST_ARGS)

# Sanitizer passes: ASan+UBSan over every suite, TSan over the concurrent layers.
asan: setup
	@cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DCHORALINK_SANITIZE=address -DCHORALINK_BUILD_BENCH=OFF >/dev/null
	@cmake --build build-asan -j$(JOBS)
	@cd build-asan && ctest -j$(JOBS) --output-on-failure $(ASAN_CTEST_ARGS)

TSAN_LABELS ?= render|support|net|hal|engine|pipewire
# The Qt application's own process (started by these two) is left to the
# ASan pass: Qt itself is not built for ThreadSanitizer, which then reports
# its internals; the engine's threads under it are covered by the rest.
TSAN_EXCLUDE ?= AppOnPipeWire|UpdateEndToEnd
tsan: setup
	@cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCHORALINK_SANITIZE=thread -DCHORALINK_BUILD_BENCH=OFF >/dev/null
	@cmake --build build-tsan -j$(JOBS)
	@cd build-tsan && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" ctest -j$(JOBS) --output-on-failure -L '$(TSAN_LABELS)' -E '$(TSAN_EXCLUDE)'

format-check: configure
	@cmake --build $(BUILD) --target format-check

bench: build
	@for b in $(BUILD)/bench/*_bench; do $$b --benchmark_min_time=0.2; done

# The relocatable tarball the updater installs, built with the public key of
# UPDATE_KEY (a secret key file from choralink-update-key generate) and signed
# with it: $(BUILD)/Choralink-<version>-Linux.tar.gz and, beside it, the
# enclosure attributes for the feed (.enclosure). See README, "Updates".
package: configure
	@test -n "$(UPDATE_KEY)" || { echo "usage: make package UPDATE_KEY=<secret key file>" >&2; exit 2; }
	@cmake --build $(BUILD) -j$(JOBS) --target choralink-update-key
	@key=$$($(BUILD)/app/update/choralink-update-key public "$(UPDATE_KEY)") && \
	  cmake -S . -B $(BUILD) -DCHORALINK_UPDATE_PUBLIC_KEY="$$key" >/dev/null
	@cmake --build $(BUILD) -j$(JOBS)
	@cd $(BUILD) && cpack -G TGZ >/dev/null
	@for t in $(BUILD)/Choralink-*-Linux.tar.gz; do \
	  $(BUILD)/app/update/choralink-update-key sign "$(UPDATE_KEY)" "$$t" > "$$t.enclosure" && \
	  echo "$$t: $$(cat "$$t.enclosure")"; done

clean:
	rm -rf $(BUILD) build-asan build-tsan out
