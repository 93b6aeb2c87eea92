#!/usr/bin/env bash
# Prepares everything the 32-bit x86 leg of corvane needs on a Debian x86-64
# machine, and does nothing (quickly) when that is already in place:
#
#   * the i386 dpkg architecture and the i386 shared libraries that Debian's
#     i386 PyPy links against, qemu-user to run it, g++-multilib to build for
#     it, and libgtest-dev:i386 for the 32-bit C++ unit tests;
#   * Debian's pypy3/pypy3-lib (i386) plus the matching pypy3-dev headers,
#     unpacked into .hosts/i386/root without touching the system's x86-64 PyPy;
#   * .hosts/i386/bin/pypy3, a wrapper that runs that interpreter.
#
# Usage: tools/i386/setup.sh [--force]     (from any directory)
set -euo pipefail

repo=$(cd -- "$(dirname -- "${BASH_SOURCE[0]}")/../.." && pwd)
host=$repo/.hosts/i386
root=$host/root
stamp=$host/.ready
# Bump when the layout of .hosts/i386 changes, so old trees get rebuilt.
layout=1

say() { printf 'i386 setup: %s\n' "$*" >&2; }

host_pkgs=(qemu-user g++-multilib)
# What Debian's pypy3:i386 and pypy3-lib:i386 depend on, plus the 32-bit
# GoogleTest. libgtest-dev is Multi-Arch: same, so it sits beside the x86-64 one.
i386_pkgs=(libc6 libgcc-s1 libffi8 libexpat1 zlib1g libbz2-1.0 liblzma5 libssl3
           libsqlite3-0 libncursesw6 libtinfo6 libgdbm6 libgtest-dev)

force=0
[[ ${1:-} == --force ]] && force=1

# Pre-compiled stdlib bytecode is written by whichever PyPy compiled it;
# only reuse it when the x86-64 PyPy has the same bytecode magic number.
magic_of() { "$@" -c 'import importlib.util as u; print(u.MAGIC_NUMBER.hex())' 2>/dev/null; }

missing_packages() {
  local want=("${host_pkgs[@]}") p
  for p in "${i386_pkgs[@]}"; do want+=("$p:i386"); done
  # One dpkg-query call keeps the already-done path fast.
  local have
  have=$(dpkg-query -W -f='${Package}:${Architecture} ${db:Status-Status}\n' \
           "${want[@]}" 2>/dev/null | awk '$2 == "installed" {print $1}') || true
  for p in "${want[@]}"; do
    case $p in
      *:i386) grep -qx -- "$p" <<<"$have" || echo "$p" ;;
      *) grep -q -- "^$p:" <<<"$have" || echo "$p" ;;
    esac
  done
}

have_arch() { dpkg --print-foreign-architectures | grep -qx i386; }

if [[ $force == 0 && -f $stamp && $(cat "$stamp") == "$layout "* ]] &&
   have_arch && [[ -z $(missing_packages) ]] &&
   [[ -x $root/usr/bin/pypy3.9 && -x $host/bin/pypy3 && -f $root/usr/include/pypy3.9/Python.h ]]; then
  exit 0
fi

apt_opts=(-y -q -o DPkg::Lock::Timeout=900 -o APT::Sandbox::User=root)
updated=0
apt_update() {
  if [[ $updated == 0 ]]; then
    say "apt-get update"
    apt-get "${apt_opts[@]}" update >&2
    updated=1
  fi
}

if ! have_arch; then
  say "adding the i386 dpkg architecture"
  dpkg --add-architecture i386
  apt_update
fi

mapfile -t need < <(missing_packages)
if (( ${#need[@]} )); then
  apt_update
  say "installing ${need[*]}"
  # Installing the i386 copy of a Multi-Arch: same library also moves the
  # x86-64 copy to the same version; apt does that in the same transaction.
  DEBIAN_FRONTEND=noninteractive apt-get "${apt_opts[@]}" install --no-install-recommends "${need[@]}" >&2
fi

if [[ $force == 1 || ! -f $stamp || $(cat "$stamp") != "$layout "* ||
      ! -x $root/usr/bin/pypy3.9 || ! -f $root/usr/include/pypy3.9/Python.h ]]; then
  dl=$host/dl
  rm -rf "$dl" "$host/root.new"
  mkdir -p "$dl"
  # pypy3-dev is Architecture: all and carries the hand-written headers; the
  # generated ones (pypy_decl.h, pypy_macros.h: sizes, long long signatures)
  # come with pypy3-lib and differ between x86-64 and i386, so the headers
  # for 32-bit builds must be this pair, never the host's /usr/include/pypy3.9.
  fetch() { (cd "$dl" && apt-get "${apt_opts[@]}" download pypy3:i386 pypy3-lib:i386 pypy3-dev >&2); }
  if ! fetch; then
    # Stale package lists point at versions the archive no longer has.
    updated=0; apt_update; fetch
  fi
  vers=$(for d in "$dl"/*.deb; do dpkg-deb -f "$d" Version; done | sort -u)
  if [[ $(wc -l <<<"$vers") != 1 ]]; then
    say "pypy3 packages disagree on the version: $vers"; exit 1
  fi
  say "unpacking pypy3 $vers (i386)"
  for d in "$dl"/*.deb; do dpkg-deb -x "$d" "$host/root.new"; done
  echo "$vers" > "$host/root.new/.version"
  rm -rf "$dl"

  # The wrapper lives inside the unpacked tree: PyPy finds its stdlib by
  # walking up from the real path of argv[0], and the wrapper hands its own
  # path over as argv[0] so sys.executable is something a subprocess can run.
  cat > "$host/root.new/usr/bin/pypy3-run" <<'EOF'
#!/usr/bin/env bash
# Runs the unpacked i386 PyPy. Written by tools/i386/setup.sh.
# CORVANE_I386_RUNNER=qemu (default) runs it under qemu-i386; =native execs it
# directly, which works only where the kernel runs 32-bit x86 programs.
self=$0
[[ $self == /* ]] || self=$PWD/$self
real=$(readlink -f -- "$0")
root=${real%/usr/bin/*}
libs=$root/usr/lib/i386-linux-gnu${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}
case ${CORVANE_I386_RUNNER:-qemu} in
  qemu) exec qemu-i386 -E "LD_LIBRARY_PATH=$libs" -0 "$self" "$root/usr/bin/pypy3.9" "$@" ;;
  native) LD_LIBRARY_PATH=$libs exec -a "$self" "$root/usr/bin/pypy3.9" "$@" ;;
  *) echo "CORVANE_I386_RUNNER must be qemu or native" >&2; exit 2 ;;
esac
EOF
  chmod +x "$host/root.new/usr/bin/pypy3-run"

  rm -rf "$root" "$host/bin"
  mv "$host/root.new" "$root"
  mkdir -p "$host/bin"
  ln -s ../root/usr/bin/pypy3-run "$host/bin/pypy3"

  # Without bytecode every first import compiles under emulation (seconds per
  # run). Bytecode is the same on every architecture, so the x86-64 PyPy does
  # it far faster when it is the same PyPy release.
  say "compiling the stdlib to bytecode"
  if command -v pypy3 >/dev/null && [[ $(magic_of pypy3) == "$(magic_of "$host/bin/pypy3")" ]]; then
    pypy3 -m compileall -q -j0 "$root/usr/lib/pypy3.9" >/dev/null || true
  else
    "$host/bin/pypy3" -m compileall -q "$root/usr/lib/pypy3.9" >/dev/null || true
  fi
fi

# Prove the result before declaring it ready: the interpreter is 32-bit, loads
# its cffi modules and reports the i386 suffix, and the headers agree with the
# 32-bit compiler about the sizes they hard-code.
say "checking the interpreter and headers"
"$host/bin/pypy3" - <<'EOF'
import struct, sys, sysconfig, ctypes, sqlite3, ssl, lzma, bz2, zlib, decimal, json
assert struct.calcsize('P') == 4, struct.calcsize('P')
assert ctypes.sizeof(ctypes.c_void_p) == 4
assert sys.maxsize == 2**31 - 1
suffix = sysconfig.get_config_var('EXT_SUFFIX')
assert suffix == '.pypy39-pp73-i386-linux-gnu.so', suffix
assert sys.prefix.endswith('/.hosts/i386/root/usr'), sys.prefix
EOF
probe=$(mktemp -d)
trap 'rm -rf "$probe"' EXIT
cat > "$probe/h.cc" <<'EOF'
#include <Python.h>
#include <ctime>
static_assert(SIZEOF_VOID_P == sizeof(void *), "SIZEOF_VOID_P");
static_assert(SIZEOF_SIZE_T == sizeof(size_t), "SIZEOF_SIZE_T");
static_assert(SIZEOF_LONG == sizeof(long), "SIZEOF_LONG");
static_assert(SIZEOF_TIME_T == sizeof(time_t), "SIZEOF_TIME_T");
static_assert(sizeof(Py_ssize_t) == 4 && sizeof(Py_hash_t) == 4, "ssize_t");
static_assert(_PyHASH_BITS == 31, "hash bits");
static_assert(sizeof(PyLong_AsLongLong(nullptr)) == 8, "long long API");
EOF
g++ -m32 -msse2 -mfpmath=sse -fsyntax-only -I"$root/usr/include/pypy3.9" "$probe/h.cc"

echo "$layout $(cat "$root/.version")" > "$stamp"
say "ready: $host/bin/pypy3"
