#!/usr/bin/env bash
# Tests corvane as a user gets it, on every interpreter present: builds the
# sdist and the repaired wheels into dist/ (tools/wheels.sh), installs each
# interpreter's wheel from dist/ into a new virtual environment and runs the
# Python suite there against the installed module, never the build tree.
# Ends with a summary of what was tested; fails if any interpreter failed.
# Usage: tools/test-installed.sh TOOLS_PYTHON [INTERPRETER...]   (none: every one
# tools/interpreters.sh finds)
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/hosts/host.sh
tools_python=$1
out=build/installed
rm -rf "$out"
mkdir -p "$out"
pip_flags=(-q --disable-pip-version-check)

if [ $# -gt 1 ]; then
    interpreters=("${@:2}")
    : >"$out/skipped.txt"
else
    mapfile -t interpreters < <(tools/interpreters.sh 2>"$out/skipped.txt")
    cat "$out/skipped.txt"
fi
tools/wheels.sh "$tools_python" "${interpreters[@]}"

summary=()
failed=0
for host in "${interpreters[@]}"; do
    name=$(host_name "$host")
    version=$(on_host "$host" "$(host_path "$host")" -c 'import platform; print(platform.python_version())')
    venv="$out/venv-$name"
    on_host "$host" "$(host_path "$host")" -m venv "$venv"
    # Only a wheel from dist/ will do: pip picks the one whose tags this
    # interpreter accepts, so a wrongly tagged wheel fails here.
    on_host "$host" "$venv/bin/python" -m pip install "${pip_flags[@]}" --no-index --find-links dist --only-binary corvane corvane
    on_host "$host" "$venv/bin/python" -m pip install "${pip_flags[@]}" -r tests/requirements.txt
    wheel=$(on_host "$host" "$venv/bin/python" -c 'import importlib.metadata as m; print(m.distribution("corvane").read_text("WHEEL"))' \
        | sed -n 's/^Tag: //p' | paste -sd, -)
    echo "== $name ($host, Python $version, wheel $wheel)"
    start=$SECONDS
    # From inside tests/, where nothing but the installed module can be
    # imported as corvane; the suite checks that it got the installed one.
    if (cd tests && on_host "$host" env CORVANE_INSTALLED=1 \
            CORVANE_WHEEL_POLICY="$(cat "../build/wheels/policy-$name")" "../$venv/bin/python" -m pytest -q -p no:cacheprovider .); then
        result=passed
    else
        result=FAILED
        failed=1
    fi
    summary+=("$(printf '%-6s %-24s %-8s %-34s %4ss  %s' "$result" "$name" "$version" "$wheel" $((SECONDS - start)) "$host")")
done

{
    echo "Installed wheels tested:"
    printf '  %s\n' "${summary[@]}"
    sed 's/^/  /' "$out/skipped.txt"
} >"$out/summary.txt"
echo
cat "$out/summary.txt"
exit $failed
