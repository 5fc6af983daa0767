# Two entry points for a fresh Debian machine: `make run` and `make test`.
BUILD ?= build
PORT ?=
DEPS := cmake g++ make libgtest-dev libgmock-dev
# Linux desktop: Qt Widgets, and an X server with a notification area for its tests.
DEPS += qt6-base-dev qt6-qpa-plugins xvfb trayer xdotool x11-utils python3 fonts-dejavu-core
# Windows: cross-built with mingw-w64, tested under Wine on a virtual display.
WIN_BUILD ?= build-win
WIN_DEPS := g++-mingw-w64-x86-64 googletest wine wine64 xvfb xauth xdotool

.PHONY: deps build run test clean

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

clean:
	rm -rf $(BUILD)

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
