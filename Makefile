# Every target does its own set-up: Debian packages (when root), the
# virtual environment in .venv, and the package itself.
VENV   := .venv
PYTHON := $(VENV)/bin/python
PIP    := $(PYTHON) -m pip
DEBIAN_PACKAGES := xvfb xauth xdotool libx11-6 libxext6 libgl1 libegl1 libgl1-mesa-dri

.PHONY: demo test bench fuzz install system-packages

demo: install
	$(PYTHON) -P -m tavik

test: install
	$(PYTHON) -m pytest tests

bench: install
	$(PIP) install --quiet pathfinding tcod
	$(PYTHON) bench/run.py

# Hostile-input fuzzing under AddressSanitizer and UBSan, in a venv of its
# own (the sanitizer build of the extension), for FUZZ_SECONDS seconds.
# Reports and reproducers go to build/fuzz-findings; FUZZ_ARGS passes more
# options, e.g. FUZZ_ARGS="--seed 7 --skip known".
ASAN_VENV    := .venv-asan
FUZZ_SECONDS ?= 300
FUZZ_ARGS    ?=

fuzz: system-packages $(ASAN_VENV)/bin/python
	$(ASAN_VENV)/bin/python -m pip install --quiet -C cmake.define.TAVIK_SANITIZE=ON -C cmake.build-type=RelWithDebInfo \
		-C "build-dir=build/asan-{wheel_tag}" .
	LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libubsan.so)" \
	ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
		$(ASAN_VENV)/bin/python tools/fuzz.py --seconds $(FUZZ_SECONDS) $(FUZZ_ARGS)

$(ASAN_VENV)/bin/python:
	python3 -m venv $(ASAN_VENV)
	$(ASAN_VENV)/bin/python -m pip install --quiet --upgrade pip

install: system-packages $(PYTHON)
	$(PIP) install --quiet ".[test]"

$(PYTHON):
	python3 -m venv $(VENV)
	$(PIP) install --quiet --upgrade pip

# Xvfb and Mesa's software OpenGL, installed only when missing.
system-packages:
	@missing=""; \
	for package in $(DEBIAN_PACKAGES); do \
		dpkg-query -W -f='$${Status}' $$package 2>/dev/null | grep -q "ok installed" || missing="$$missing $$package"; \
	done; \
	if [ -n "$$missing" ]; then \
		if [ "$$(id -u)" = 0 ]; then \
			apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing >/dev/null; \
		else \
			echo "Please install:$$missing (needs root)"; \
		fi; \
	fi
