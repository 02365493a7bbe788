#!/usr/bin/env bash
# Runs the whole test suite on another CPython of this machine
# (`make test-3.12`, `make test-3.13`).
#
# Usage: tools/test_on_python.sh VERSION
#
# The interpreter is the first of: `pythonVERSION` on PATH when it runs,
# pyenv's installed versions of it, the usual system places. Each version
# has its own virtual environment (.venv-VERSION) and, through the build
# folder named after the wheel tag, its own incremental build.
#
# Environment: TAVIK_WERROR=1 (warnings are errors, as in CI), PYTEST_ARGS
# (passed to pytest instead of "tests").
set -euo pipefail

VERSION=${1:?usage: $0 VERSION (e.g. 3.12)}
CHECKOUT=$(cd "$(dirname "$0")/.." && pwd)
VENV="$CHECKOUT/.venv-$VERSION"

say() { echo "test-$VERSION: $*"; }

runs() { "$1" -c 'import sys; sys.exit(sys.version_info[:2] != tuple(map(int, sys.argv[1].split("."))))' "$VERSION" \
    2>/dev/null; }

find_python() {
    local candidate
    if candidate=$(command -v "python$VERSION") && runs "$candidate"; then
        echo "$candidate"
        return
    fi
    local pyenv_root=${PYENV_ROOT:-$HOME/.pyenv}
    for candidate in "$pyenv_root"/versions/"$VERSION"*/bin/"python$VERSION" \
                     /usr/local/bin/"python$VERSION" /usr/bin/"python$VERSION"; do
        if [ -x "$candidate" ] && runs "$candidate"; then
            echo "$candidate"
            return
        fi
    done
    return 1
}

python=$(find_python) || { echo "test-$VERSION: no CPython $VERSION on this machine" >&2; exit 1; }
say "$python ($("$python" --version))"

if ! runs "$VENV/bin/python"; then
    rm -rf "$VENV"
    "$python" -m venv "$VENV"
    "$VENV/bin/python" -m pip install --quiet --upgrade pip
fi
case "${TAVIK_WERROR:-}" in
    1|ON|on|yes|true) export SKBUILD_CMAKE_DEFINE=TAVIK_WERROR=ON ;;
esac
say "pip install \".[test]\""
(cd "$CHECKOUT" && "$VENV/bin/python" -m pip install --quiet ".[test]")
say "running the suite"
cd "$CHECKOUT"
# shellcheck disable=SC2086
exec "$VENV/bin/python" -m pytest ${PYTEST_ARGS:-tests} -q -p no:cacheprovider
