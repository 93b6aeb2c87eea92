#!/usr/bin/env bash
# Runs a command inside a host tree (.hosts/TREE), in the current directory.
# The checkout is mounted inside the tree at its own path, so the same paths
# name the same files inside and out; /proc and a fresh /dev/shm are mounted
# too. Every mount lives in a mount namespace of the command's own and ends
# with it, so nothing stays mounted inside the tree afterwards.
# Usage: tools/hosts/run.sh TREE COMMAND [ARG...]   (needs root)
set -euo pipefail
here=$(cd -- "$(dirname -- "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd -- "$here/../.." && pwd)
tree=$1
shift
root=$repo/.hosts/$tree
[[ -x $root/bin/sh ]] || { echo "no host tree $tree: run tools/hosts/setup.sh $tree" >&2; exit 1; }
# A 32-bit tree runs as a 32-bit system would: uname reports i686, so
# build tools and pip choose the i686 platform and not this kernel's x86_64.
personality=()
[[ $tree == *-i386 ]] && personality=(setarch i686)
cp -L /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true
# The tree reaches the network as this machine does: through the certificate
# authorities this machine trusts (a proxy may sign for them). A copy of its
# own, beside the tree's bundle, which the tree's packages keep rewriting.
host_bundle=/etc/corvane-host-ca.crt
if [[ -f /etc/ssl/certs/ca-certificates.crt ]]; then
    cp -L /etc/ssl/certs/ca-certificates.crt "$root$host_bundle"
else
    rm -f "$root$host_bundle"
fi
mkdir -p "$root$repo" "$root/proc" "$root/dev/shm"
exec "${personality[@]}" unshare --mount --propagation private -- /bin/bash -c '
    set -e
    root=$1 repo=$2 dir=$3
    shift 3
    mount --bind "$repo" "$root$repo"
    mount -t proc proc "$root/proc"
    mount -t tmpfs -o mode=1777 tmpfs "$root/dev/shm"
    ca=()
    if [ -f "$root/etc/corvane-host-ca.crt" ]; then
        for name in PIP_CERT SSL_CERT_FILE REQUESTS_CA_BUNDLE CURL_CA_BUNDLE; do
            ca+=("$name=/etc/corvane-host-ca.crt")
        done
    fi
    exec chroot "$root" /usr/bin/env -u PYTHONPATH -u VIRTUAL_ENV -u PIP_FIND_LINKS HOME=/root "${ca[@]}" \
        PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin /bin/sh -c "cd \"\$0\" && exec \"\$@\"" "$dir" "$@"
' corvane-host "$root" "$repo" "$PWD" "$@"
