# Set-up, build, test, demo and benchmark entry points. Installs what is missing:
# the system FFT library and pkg-config (apt-get), and a virtual environment in .venv.

PYTHON ?= python3
VENV   ?= .venv
BUILD  ?= build/py
PY     := $(VENV)/bin/python
PIP    := $(PY) -m pip --disable-pip-version-check -q
SUDO   := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: all sysdeps grdeps benchdeps venv build test sanitize demo bench clean

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

# Build and test tools, the runtime dependencies of the ostrel command (sigmf, tqdm) and the
# extras its tests exercise ([plot] matplotlib, [dask]); re-run when pyproject.toml changes.
$(VENV)/.ready: pyproject.toml
	$(PYTHON) -m venv $(VENV)
	$(PIP) install "scikit-build-core>=0.9" "numpy>=2.0" cmake ninja "pytest>=7" "hypothesis>=6" "scipy>=1.10" \
	  "sigmf>=1.2" "tqdm>=4.60" "matplotlib>=3.5" "dask[distributed]>=2023.1"
	touch $@

venv: $(VENV)/.ready

# Incremental: the CMake build directory is kept between runs.
build: sysdeps venv
	$(PIP) install --no-build-isolation --no-deps -C build-dir=$(BUILD) .

test: build grdeps
	$(VENV)/bin/pytest -p no:cacheprovider tests

# The whole suite again against a build instrumented with AddressSanitizer and
# UndefinedBehaviorSanitizer (own virtual environment and build directory).
ASAN_VENV := .venv-asan
SAN_FLAGS := -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined
sanitize: sysdeps
	$(MAKE) --no-print-directory VENV=$(ASAN_VENV) venv
	$(ASAN_VENV)/bin/python -m pip --disable-pip-version-check -q install --no-build-isolation --no-deps \
	  -C build-dir=build/asan -C cmake.build-type=RelWithDebInfo \
	  -C "cmake.define.CMAKE_CXX_FLAGS=$(SAN_FLAGS)" \
	  -C "cmake.define.CMAKE_MODULE_LINKER_FLAGS=-fsanitize=address,undefined" .
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	  ASAN_OPTIONS=detect_leaks=0:halt_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  $(ASAN_VENV)/bin/pytest -p no:cacheprovider tests

demo: build
	$(PY) -P -m ostrel.demo

bench: build benchdeps
	$(PIP) install "pyfftw>=0.13" 2>/dev/null || echo "pyfftw unavailable: skipped in the FFT benchmark"
	$(PY) -P bench/run.py --json bench/results.json $(BENCH_ARGS)

clean:
	rm -rf build $(VENV) $(ASAN_VENV)
