#!/usr/bin/env bash
# The interpreters corvane is built and tested for, one a line: Debian's PyPy
# and CPython of this machine always, then each optional CPython from pyenv
# that is present (the newest patch release of each minor version;
# free-threaded and other variant builds are not ours), then every
# interpreter of the host trees as TREE:PATH (tools/hosts/list; setup.sh
# makes the trees). A missing optional one is a line on stderr, not an error.
set -euo pipefail
here=$(dirname -- "${BASH_SOURCE[0]}")
echo /usr/bin/pypy3
echo /usr/bin/python3
versions=${PYENV_ROOT:-$HOME/.pyenv}/versions
for minor in 3.9 3.10 3.12 3.13; do
    found=""
    while read -r dir; do
        python=$dir/bin/python$minor
        if [[ $(basename "$dir") =~ ^${minor//./\\.}\.[0-9]+$ ]] && [ -x "$python" ] \
            && [ "$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null)" = "$minor" ]; then
            found=$python
        fi
    done < <(compgen -G "$versions/$minor.*" | sort -V)
    if [ -n "$found" ]; then
        echo "$found"
    else
        echo "skipped: CPython $minor not found (looked in $versions/$minor.*)" >&2
    fi
done
awk '!/^#/ && NF {print $1 ":" $2}' "$here/hosts/list"
