#!/usr/bin/env bash
# Runs bench/run.py on every PyPy named, one after the other (they share the
# machine, so running them at once would skew each other's numbers), each
# into OUT/pypy-RELEASE.json (pypy-RELEASE-i386.json for a 32-bit build). A
# host is an interpreter of this machine (PATH) or one inside a project-local
# Debian tree (TREE:PATH, see tools/hosts/run.sh). Each is built in release
# mode in a build tree of its own, BUILD/bench-pypy-RELEASE[-i386] (BUILD:
# build unless --build says otherwise), from inside its host, so the module is
# compiled against that PyPy's headers and C library.
#
# Usage: bench/hosts.sh [--build BUILD] OUT HOST... [-- RUN.PY-ARG...]
# OUT and BUILD are relative to the checkout, or inside it: a tree sees
# nothing else.
set -euo pipefail
repo=$(cd -- "$(dirname -- "${BASH_SOURCE[0]}")/.." && pwd)
cd "$repo"
build=build
if [[ ${1-} == --build ]]; then
    build=$2
    shift 2
fi
out=$1
shift
hosts=()
while (( $# )) && [[ $1 != -- ]]; do
    hosts+=("$1")
    shift
done
(( $# )) && shift

source tools/hosts/host.sh

# The commit measured, read here: a tree may have no git.
commit=$(git rev-parse --short HEAD 2>/dev/null || echo unknown)

# A file left by a host no longer listed would show up in the report as if
# measured now.
mkdir -p "$out"
rm -f "$out"/pypy-*.json
declare -A seen=()
for host in "${hosts[@]}"; do
    python=${host#*:}
    # CMake's path to the interpreter must be absolute; a venv's is kept as
    # written (resolving its link would leave the venv).
    [[ $host == *:* || $python == /* ]] || python=$repo/$python
    # The release, and -i386 for a 32-bit build of it (as bench/run.py names
    # the run): two builds of one release must not share a tree or a file.
    release=$(on_host "$host" "$python" -c 'import struct, sys
print(".".join(map(str, sys.pypy_version_info[:3])) + ("-i386" if struct.calcsize("P") == 4 else ""))')
    if [[ -n ${seen[$release]-} ]]; then
        echo "bench/hosts.sh: $host and ${seen[$release]} are both PyPy $release" >&2
        exit 1
    fi
    seen[$release]=$host
    tree=$build/bench-pypy-$release
    echo "== PyPy $release ($host), built in $tree" >&2
    on_host "$host" cmake -S . -B "$tree" -DCORVANE_WERROR=ON -DCMAKE_BUILD_TYPE=Release \
        -DCORVANE_PYTHON="$python" >/dev/null
    on_host "$host" cmake --build "$tree" -j "$(nproc)" --target corvane corvane_floor >/dev/null
    on_host "$host" env PYTHONPATH="$tree:$tree/bench" "$python" bench/run.py --out "$out/pypy-$release.json" \
        --commit "$commit" "$@"
done
