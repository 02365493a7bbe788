# Every target does its own set-up: Debian packages (when root), the
# virtual environment in .venv, and the package itself.
VENV   := .venv
PYTHON := $(VENV)/bin/python
PIP    := $(PYTHON) -m pip
DEBIAN_PACKAGES := xvfb xauth xdotool libx11-6 libxext6 libgl1 libegl1 libgl1-mesa-dri
# Only the tests need these: they open the grading report in a real headless browser.
TEST_DEBIAN_PACKAGES := chromium

.PHONY: demo test bench install system-packages test-packages

demo: install
	$(PYTHON) -P -m tavik

test: install test-packages
	$(PYTHON) -m pytest tests

bench: install
	$(PIP) install --quiet pathfinding tcod
	$(PYTHON) bench/run.py

install: system-packages $(PYTHON)
	$(PIP) install --quiet ".[test]"

$(PYTHON):
	python3 -m venv $(VENV)
	$(PIP) install --quiet --upgrade pip

# Debian packages, installed only when missing (and only when root).
define install-debian
	@missing=""; \
	for package in $(1); do \
		dpkg-query -W -f='$${Status}' $$package 2>/dev/null | grep -q "ok installed" || missing="$$missing $$package"; \
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
