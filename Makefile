# Two entry points for a fresh Debian machine: `make run` and `make test`.
BUILD ?= build
PORT ?=
DEPS := cmake g++ make libgtest-dev libgmock-dev

.PHONY: deps build run test clean bench bench-deps

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

# The flood benchmark against rsyslog and the line microbenchmarks; not part of `make test`.
BENCH_BUILD ?= build-bench
BENCH_DEPS := cmake g++ make rsyslog libbenchmark-dev
BENCH_ARGS ?=

bench-deps:
	@missing=""; for p in $(BENCH_DEPS); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  SUDO=$$( [ "$$(id -u)" = 0 ] || echo sudo ); \
	  $$SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get -o DPkg::Lock::Timeout=900 install -y -qq $$missing; \
	fi

bench: bench-deps
	cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release -DKESTRUNE_TESTS=OFF -DKESTRUNE_BENCH=ON
	cmake --build $(BENCH_BUILD) -j$$(nproc)
	$(BENCH_BUILD)/bench/kestrune_line_bench
	$(BENCH_BUILD)/bench/kestrune_flood --kestrune $(BENCH_BUILD)/kestrune \
	  --sender $(BENCH_BUILD)/bench/kestrune_sender $(BENCH_ARGS)
