#!/usr/bin/env bash
# Tests corvane as a user gets it: builds one sdist, builds a wheel from that
# sdist for each host, installs the wheel into a new virtual environment and
# runs the Python suite there against the installed module, never the build
# tree. Usage: tools/test-installed.sh TOOLS_PYTHON HOST_PYTHON...
set -euo pipefail
cd "$(dirname "$0")/.."
tools_python=$1
shift
out=build/installed
rm -rf "$out"
mkdir -p "$out/dist"
pip_flags=(-q --disable-pip-version-check)

"$tools_python" -m build --sdist --outdir "$out/dist" . >"$out/sdist.log" 2>&1 || { cat "$out/sdist.log"; exit 1; }
sdist=$(echo "$out"/dist/corvane-*.tar.gz)
echo "sdist: $sdist"

for host in "$@"; do
    name=$(basename "$host")
    venv="$out/venv-$name"
    "$host" -m venv "$venv"
    # Built in pip's isolated build environment, from the sdist alone, with
    # warnings as errors as in every other build of ours.
    SKBUILD_CMAKE_DEFINE=CORVANE_WERROR=ON "$venv/bin/python" -m pip wheel "${pip_flags[@]}" --no-deps -w "$out/wheels-$name" "$sdist" \
        >"$out/wheel-$name.log" 2>&1 || { cat "$out/wheel-$name.log"; exit 1; }
    wheel=$(echo "$out/wheels-$name"/corvane-*.whl)
    echo "$name: $(basename "$wheel")"
    "$venv/bin/python" -m pip install "${pip_flags[@]}" "$wheel" -r tests/requirements.txt
    # From inside tests/, where nothing but the installed module can be
    # imported as corvane; the suite checks that it got the installed one.
    (cd tests && CORVANE_INSTALLED=1 "../$venv/bin/python" -m pytest -q -p no:cacheprovider .)
done
