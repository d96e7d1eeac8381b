# The two ways in: `make demo` and `make test`. Both install what is missing
# (Debian packages, when run as root), configure, build and run.
BUILD ?= build
CMAKE_FLAGS ?=
PACKAGES := cmake ninja-build g++ pkg-config libpcap-dev libgtest-dev libgmock-dev openjdk-17-jdk-headless junit5 iproute2 python3 tshark libbenchmark-dev valgrind unzip \
            build-essential debhelper dpkg-dev lintian default-jdk-headless

.PHONY: all deps configure build test demo javadoc package bench windows clean jar-all

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

# lcmp-host.jar with the native library of each platform it supports:
# linux-x86_64 from this build and windows-x86_64 (build-windows/jar/lcmp.dll,
# the DLL without its debugging information, which `make windows` builds when
# it is missing). Every build's jar carries
# the Linux library; this adds the Windows one.
jar-all: configure
	@[ -f build-windows/jar/lcmp.dll ] || $(MAKE) --no-print-directory windows
	@cmake -S . -B $(BUILD) -DLCMP_WINDOWS_DLL=$(CURDIR)/build-windows/jar/lcmp.dll >/dev/null
	@cmake --build $(BUILD) --target lcmp_host_natives
	@echo "$(BUILD)/java/lcmp-host.jar:"; unzip -l $(BUILD)/java/lcmp-host.jar | grep -E 'x86_64/'

# Benchmarks in a Release build of their own; writes BENCHMARKS.md. The
# adapter rows need root, the per-frame row valgrind.
bench: deps
	@bash bench/run_benchmarks.sh

# The Debian packages, built by dpkg-buildpackage from debian/ and checked by
# lintian, land in $(BUILD)/packages/.
package: deps
	@bash packaging/build_debs.sh $(BUILD)/packages

# Windows x86-64: lcmp.dll, the tools and a zip in build-windows/, cross-built
# with MinGW-w64; the tests there run under Wine.
WINDOWS_BUILD ?= build-windows
WINDOWS_PACKAGES := g++-mingw-w64-x86-64-posix wine wine64 cmake ninja-build libpcap-dev googletest openjdk-17-jdk-headless
windows:
	@$(MAKE) --no-print-directory deps PACKAGES="$(WINDOWS_PACKAGES)"
	@cmake -S . -B $(WINDOWS_BUILD) -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(WINDOWS_BUILD)

clean:
	rm -rf $(BUILD)
