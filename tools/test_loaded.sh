#!/bin/sh
# The whole suite RUNS times in a row on a busy machine: SPINNERS CPU-bound
# processes (default 2) run beside it all the while, as on a shared CI
# machine. Each spinner has a CPU-time limit, and only the spinners this
# script started are stopped at the end. Stops at the first failing run.
#
#   tools/test_loaded.sh [RUNS]        (PYTHON, PYTEST_ARGS and SPINNERS may be set)
set -eu
runs=${1:-1}
python=${PYTHON:-.venv/bin/python}
spinners=""

stop_spinners() {
    for pid in $spinners; do
        kill "$pid" 2>/dev/null || true
    done
}
trap stop_spinners EXIT INT TERM

count=0
while [ "$count" -lt "${SPINNERS:-2}" ]; do
    (ulimit -t 36000 && exec "$python" -c "while True: pass") &
    spinners="$spinners $!"
    count=$((count + 1))
done

run=1
while [ "$run" -le "$runs" ]; do
    started=$(date +%s)
    echo "run $run of $runs: load $(cut -d' ' -f1 /proc/loadavg)"
    # shellcheck disable=SC2086  # PYTEST_ARGS is a list of words
    if ! "$python" -m pytest -q -p no:cacheprovider ${PYTEST_ARGS:-tests}; then
        echo "run $run of $runs failed"
        exit 1
    fi
    echo "run $run of $runs passed in $(($(date +%s) - started)) s"
    run=$((run + 1))
done
