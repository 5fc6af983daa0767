# Two entry points for a fresh Debian machine: `make run` and `make test`.
BUILD ?= build
PORT ?=
DEPS := cmake g++ make libgtest-dev libgmock-dev
# Linux desktop: Qt Widgets, and an X server with a notification area for its tests.
DEPS += qt6-base-dev qt6-qpa-plugins xvfb trayer xdotool x11-utils python3 fonts-dejavu-core

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
