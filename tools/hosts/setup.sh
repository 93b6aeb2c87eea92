#!/usr/bin/env bash
# Makes the project-local Debian trees that hold the interpreters of
# tools/hosts/list, each a minimal tree of one suite and architecture made by
# debootstrap, with the build tools every tree gets and the packages its lines
# name; a tree that already has them is left as it is. A tree reads only its
# own suite's index, so no other suite's index (nor this machine's list of
# foreign architectures) can stop it. Needs root.
# Usage: tools/hosts/setup.sh [TREE...]   (no TREE: every tree of the list)
# (make_tree runs where a failure is handled, so set -e does not reach inside
# it: each step there says what a failure does.)
set -euo pipefail
here=$(cd -- "$(dirname -- "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd -- "$here/../.." && pwd)
source "$here/retry.sh"

# The compiler and build tools the module and its store tests are built with
# inside a tree, and the CPython that runs auditwheel on the wheels made there.
common=(g++ make cmake libgtest-dev python3 python3-venv)

# The archive this machine's apt uses, so that the trees come from the same
# place as everything else.
mirror() {
    local uri
    uri=$(grep -hoE '^(URIs:|deb)[[:space:]]+[^[:space:]]+/debian/?([[:space:]]|$)' \
            /etc/apt/sources.list /etc/apt/sources.list.d/*.sources /etc/apt/sources.list.d/*.list 2>/dev/null |
          awk '{print $2}' | head -n 1) || true
    echo "${uri:-http://deb.debian.org/debian}"
}

trees=("$@")
if (( ${#trees[@]} == 0 )); then
    mapfile -t trees < <(awk '!/^#/ && NF {print $1}' "$here/list" | awk '!seen[$0]++')
fi

need_debootstrap() {
    command -v debootstrap >/dev/null && return 0
    "$repo/tools/debian-packages.sh" debootstrap
}

make_tree() {
    local tree=$1 suite=${1%-*} arch=${1##*-}
    local root=$repo/.hosts/$tree stamp=$repo/.hosts/$tree/.corvane-packages
    local packages
    read -r -a packages < <(awk -v t="$tree" '!/^#/ && $1 == t {for (i = 3; i <= NF; i++) printf "%s ", $i} END {print ""}' "$here/list")
    packages+=("${common[@]}")
    local want
    want=$(printf '%s\n' "${packages[@]}" | sort -u)
    if [[ -f $stamp ]] && [[ -z $(comm -23 <(echo "$want") <(sort -u "$stamp")) ]]; then
        return 0
    fi
    if [[ ! -x $root/usr/bin/apt-get ]]; then
        need_debootstrap || return 1
        echo "host tree $tree: debootstrap $suite ($arch)"
        rm -rf "$root.new"
        # debootstrap cannot resume a half-made tree: each attempt starts anew.
        attempt() { rm -rf "$root.new"; debootstrap --variant=minbase --arch="$arch" "$suite" "$root.new" "$(mirror)" \
                        >"$repo/.hosts/$tree.log" 2>&1 || { tail -n 5 "$repo/.hosts/$tree.log" >&2; return 1; }; }
        retry "debootstrap of $tree" attempt || return 1
        rm -rf "$root"
        mv "$root.new" "$root" || return 1
        # The archive mirrored here is a snapshot whose release files may be past
        # their validity date: the index is still the suite's, so accept it.
        cat >"$root/etc/apt/apt.conf.d/90corvane" <<'CONF'
Acquire::Check-Valid-Until "false";
Acquire::Retries "3";
APT::Install-Recommends "false";
CONF
    fi
    echo "host tree $tree: installing ${packages[*]}"
    apt_install "$here/run.sh" "$tree" -- "${packages[@]}" || return 1
    echo "$want" >"$stamp"
}

# The trees are made side by side (the time goes to downloads and unpacking,
# not to the processor); each one's output goes to its log, shown if it fails.
mkdir -p "$repo/.hosts"
pids=()
for tree in "${trees[@]}"; do
    # One maker at a time per tree, whoever else runs this script meanwhile.
    (flock 9 && make_tree "$tree") 9>"$repo/.hosts/$tree.lock" >"$repo/.hosts/$tree.setup.log" 2>&1 &
    pids+=($!)
done
failed=()
for i in "${!trees[@]}"; do
    if wait "${pids[$i]}"; then
        grep -h '^host tree' "$repo/.hosts/${trees[$i]}.setup.log" || true
    else
        cat "$repo/.hosts/${trees[$i]}.setup.log" >&2
        failed+=("${trees[$i]}")
    fi
done
if (( ${#failed[@]} )); then
    echo "host trees not ready: ${failed[*]}" >&2
    exit 1
fi
