# Two entry points for a fresh Debian machine: `make run` and `make test`.
BUILD ?= build
PORT ?=
DEPS := cmake g++ make libgtest-dev libgmock-dev
# Linux desktop: Qt Widgets, and an X server with a notification area for its tests.
DEPS += qt6-base-dev qt6-qpa-plugins xvfb trayer xdotool x11-utils python3 fonts-dejavu-core
# Windows: cross-built with mingw-w64, tested under Wine on a virtual display.
WIN_BUILD ?= build-win
WIN_DEPS := g++-mingw-w64-x86-64 googletest wine wine64 xvfb xauth xdotool

# Sanitizer and fuzzing builds.
DEPS += googletest clang libclang-rt-14-dev

.PHONY: deps build run test clean sanitize asan tsan fuzz bench bench-deps

deps:
	@missing=""; for p in $(DEPS); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  SUDO=$$( [ "$$(id -u)" = 0 ] || echo sudo ); \
	  $$SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq $$missing; \
	fi

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j$$(nproc)

run: build
	$(BUILD)/kestrune $(PORT)

test: build
	cd $(BUILD) && ctest --output-on-failure -j$$(nproc)
	$(MAKE) --no-print-directory sanitize fuzz

# The unit and capture tests again, built with sanitizers; any report fails the run.
SAN_TESTS := logger_tests net_tests app_tests capture_tests
SAN_JOBS ?= 2
sanitize: asan tsan

asan: deps
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRUNE_SANITIZE=address,undefined -DKESTRUNE_QT=OFF
	cmake --build build-asan -j$(SAN_JOBS) --target $(SAN_TESTS)
	for t in $(SAN_TESTS); do \
	  ASAN_OPTIONS=halt_on_error=1:abort_on_error=1:detect_leaks=1:strict_string_checks=1 \
	  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 build-asan/tests/$$t --gtest_brief=1 || exit 1; \
	done

tsan: deps
	cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRUNE_SANITIZE=thread -DKESTRUNE_QT=OFF
	cmake --build build-tsan -j$(SAN_JOBS) --target $(SAN_TESTS)
	for t in $(SAN_TESTS); do \
	  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 build-tsan/tests/$$t --gtest_brief=1 || exit 1; \
	done

# Each libFuzzer target for a bounded time; new inputs go to the build folder, not the seeds.
FUZZ_TARGETS := writer_fuzz port_fuzz
FUZZ_SECONDS ?= 60
fuzz: deps
	cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
	  -DKESTRUNE_SANITIZE=address,undefined -DKESTRUNE_FUZZ=ON -DKESTRUNE_TESTS=OFF -DKESTRUNE_QT=OFF
	cmake --build build-fuzz -j$(SAN_JOBS) --target $(FUZZ_TARGETS)
	for t in $(FUZZ_TARGETS); do \
	  mkdir -p build-fuzz/corpus/$$t && \
	  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 build-fuzz/fuzz/$$t \
	    -max_total_time=$(FUZZ_SECONDS) -timeout=20 -rss_limit_mb=2048 -print_final_stats=1 \
	    -artifact_prefix=build-fuzz/$$t- build-fuzz/corpus/$$t fuzz/corpus/$$t \
	    > build-fuzz/$$t.log 2>&1 || { tail -80 build-fuzz/$$t.log; exit 1; }; \
	  echo "$$t: $$(grep -E '^Done' build-fuzz/$$t.log)"; \
	done

clean:
	rm -rf $(BUILD) build-asan build-tsan build-fuzz

# kestrune.exe and its tests; the Wine prefix lives in the build folder.
.PHONY: deps-win build-win test-win clean-win
deps-win:
	@$(MAKE) --no-print-directory deps DEPS="$(WIN_DEPS)"

build-win: deps deps-win
	cmake -S . -B $(WIN_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(WIN_BUILD) -j$$(nproc)

test-win: build-win
	@export WINEPREFIX="$(abspath $(WIN_BUILD))/wineprefix" WINEDEBUG=-all \
	  WINEDLLOVERRIDES="mscoree,mshtml="; \
	if [ ! -f "$$WINEPREFIX/system.reg" ]; then \
	  echo "creating the Wine prefix (once)"; wineboot -i >/dev/null 2>&1; wineserver -w; \
	fi
	cd $(WIN_BUILD) && xvfb-run -a -s "-screen 0 1024x768x24" \
	  ctest --output-on-failure -j$$(nproc)

test: test-win

clean-win:
	rm -rf $(WIN_BUILD)
clean: clean-win
