# The two ways in: `make demo` and `make test`. Both install what is missing
# (Debian packages, when run as root), configure, build and run.
BUILD ?= build
CMAKE_FLAGS ?=
PACKAGES := cmake ninja-build g++ pkg-config libpcap-dev libgtest-dev libgmock-dev openjdk-17-jdk-headless junit5 iproute2 python3 tshark libbenchmark-dev valgrind \
            build-essential debhelper dpkg-dev lintian default-jdk-headless

.PHONY: all deps configure build test demo javadoc package bench clean

all: build

deps:
	@missing=""; for p in $(PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    echo "Installing:$$missing"; \
	    (DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $$missing >/dev/null 2>&1 || \
	     (apt-get update >/dev/null && DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $$missing >/dev/null)) || \
	     { echo "apt-get could not install:$$missing"; exit 1; }; \
	  else \
	    echo "Missing Debian packages:$$missing"; \
	    echo "Install them with: sudo apt-get install$$missing"; exit 1; \
	  fi; \
	fi

configure: deps
	@cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD)

test: build
	@cd $(BUILD) && ctest --output-on-failure

demo: build
	@cmake --build $(BUILD) --target demo

# The javadoc of the Java host classes (also part of `make build`), in
# $(BUILD)/java/javadoc/index.html.
javadoc: configure
	@cmake --build $(BUILD) --target javadoc

# Benchmarks in a Release build of their own; writes BENCHMARKS.md. The
# adapter rows need root, the per-frame row valgrind.
bench: deps
	@bash bench/run_benchmarks.sh

# The Debian packages, built by dpkg-buildpackage from debian/ and checked by
# lintian, land in $(BUILD)/packages/.
package: deps
	@bash packaging/build_debs.sh $(BUILD)/packages

clean:
	rm -rf $(BUILD)
