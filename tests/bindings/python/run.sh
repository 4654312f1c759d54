#!/usr/bin/env bash
# Installs the package offline into a fresh virtual environment made with Debian's
# interpreter (so its setuptools and pytest are visible), then runs the package's tests there.
#   run.sh PYTHON PACKAGE_DIR LIBRARY TROVEL_SIM
set -euo pipefail
python=$1 package=$2 library=$3 sim=$4
tests=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# pip builds in the source folder; a copy keeps the checkout clean and runs side by side.
cp -r "$package" "$work/source"
"$python" -m venv --system-site-packages "$work/venv"
"$work/venv/bin/python" -m pip install --quiet --no-build-isolation --no-index "$work/source"

cd "$work"
export TROVELSDK_LIBRARY=$library TROVEL_SIM=$sim PYTHONDONTWRITEBYTECODE=1
exec "$work/venv/bin/python" -m pytest -q -p no:cacheprovider "$tests"
