# Sourced by the host scripts. retry DESCRIPTION COMMAND...: runs COMMAND up to
# five times, pausing longer after each failure, because a mirror in the middle
# of a sync answers with errors that a minute later are gone.
retry() {
    local what=$1 attempt
    shift
    for attempt in 1 2 3 4 5; do
        "$@" && return 0
        if (( attempt < 5 )); then
            echo "$what failed (attempt $attempt of 5); trying again in $((attempt * 15)) s" >&2
            sleep $((attempt * 15))
        fi
    done
    echo "$what failed five times" >&2
    return 1
}

# apt_install ROOT_COMMAND... -- PACKAGES: refreshes the package lists and
# installs PACKAGES. A list that cannot be refreshed is no failure by itself
# (an index of some other suite may be out of sync): only a package that
# cannot be had is, and the message names the packages.
apt_install() {
    local run=()
    while [[ $1 != -- ]]; do run+=("$1"); shift; done
    shift
    local opts=(-q -o DPkg::Lock::Timeout=900 -o Acquire::Retries=3)
    if ! "${run[@]}" apt-get "${opts[@]}" update >/dev/null 2>"${TMPDIR:-/tmp}/corvane-apt-update.$$"; then
        echo "apt-get update reported errors (going on with the lists it has):" >&2
        grep -E '^(E|W):' "${TMPDIR:-/tmp}/corvane-apt-update.$$" >&2 || true
    fi
    rm -f "${TMPDIR:-/tmp}/corvane-apt-update.$$"
    install_once() {
        "${run[@]}" env DEBIAN_FRONTEND=noninteractive \
            apt-get "${opts[@]}" install -y --no-install-recommends "$@" >/dev/null ||
            { "${run[@]}" apt-get "${opts[@]}" update >/dev/null 2>&1; return 1; }
    }
    retry "installing $*" install_once "$@" || { echo "cannot install: $*" >&2; return 1; }
}
