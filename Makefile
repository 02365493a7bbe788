# Every target does its own set-up: Debian packages (when root), the
# virtual environment in .venv, and the package itself.
VENV   := .venv
PYTHON := $(VENV)/bin/python
PIP    := $(PYTHON) -m pip
DEBIAN_PACKAGES := xvfb xauth xdotool libx11-6 libxext6 libgl1 libegl1 libgl1-mesa-dri

.PHONY: demo test bench docs install system-packages

demo: install
	$(PYTHON) -P -m tavik

test: install
	$(PYTHON) -m pytest tests

bench: install
	$(PIP) install --quiet pathfinding tcod
	$(PYTHON) bench/run.py

# The learners' site in site/: every program it shows is run headless first
# (tools/docsite.py), so a screenshot can never show what the code no longer does.
docs: install
	$(PIP) install --quiet -r tools/docs-requirements.txt
	$(PYTHON) tools/docsite.py shots
	NO_MKDOCS_2_WARNING=1 $(PYTHON) -P -m mkdocs build --strict

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
