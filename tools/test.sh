#!/usr/bin/env bash
# Installs vestrel with its test dependencies into the active Python and runs
# the test suite. Extra pip arguments may come in VESTREL_PIP_ARGS.
set -euo pipefail
cd "$(dirname "$0")/.."
python -m pip install -q --upgrade pip
# shellcheck disable=SC2086
python -m pip install -q ".[test]" ${VESTREL_PIP_ARGS:-}
# Run from tests/ so the installed package, not src/, is imported.
cd tests && python -X dev -W error -m pytest -q -p no:cacheprovider python
