# Sourced by the scripts that build and test on every interpreter. An
# interpreter is named by its path on this machine, or by TREE:PATH for one
# inside a host tree (tools/hosts/list); the checkout has the same path inside
# a tree as outside, so every other path means the same on both sides.

corvane_hosts_dir=$(cd -- "$(dirname -- "${BASH_SOURCE[0]}")" && pwd)

# on_host SPEC COMMAND...: runs COMMAND where the interpreter SPEC lives.
on_host() {
    local spec=$1
    shift
    if [[ $spec == *:* ]]; then
        "$corvane_hosts_dir/run.sh" "${spec%%:*}" "$@"
    else
        "$@"
    fi
}

# host_path SPEC: the interpreter's path where it lives.
host_path() { echo "${1#*:}"; }

# host_name SPEC: a short name for the interpreter, unique among ours, for
# file names and summaries: implementation, Python version, the PyPy release
# where it is one, and the architecture where it is not x86-64
# (pypy3.11-7.3.19-i386, cpython3.14).
host_name() {
    on_host "$1" "$(host_path "$1")" -c '
import platform, struct, sys
name = platform.python_implementation().lower() + "%d.%d" % sys.version_info[:2]
if hasattr(sys, "pypy_version_info"):
    name += "-%d.%d.%d" % sys.pypy_version_info[:3]
if struct.calcsize("P") == 4:
    name += "-i386"
print(name)'
}
