#!/usr/bin/env bash
# Runs clang-tidy over the project's own sources, with the compile commands
# that CMake wrote for a module build (usage: tools/clang-tidy.sh BUILD_DIR).
#
# Debian's clang-tidy is clang 16, two versions behind the g++ 12 we build
# with, so the commands are adjusted for it: it spells C++23 as c++2b, it does
# not turn on sized deallocation by default, and libstdc++ 12 hides
# std::expected unless __cpp_concepts claims the C++20 value that clang 16
# does not yet announce.
set -euo pipefail
build=${1:?usage: tools/clang-tidy.sh BUILD_DIR}
tidy=${CLANG_TIDY:-clang-tidy-16}
cd "$(dirname "$0")/.."
database=$(mktemp -d)
trap 'rm -rf "$database"' EXIT
# The store's sources are listed twice (the second time built with fault
# injection for the unit tests); checking them once is enough.
python3 - "$build/compile_commands.json" "$database/compile_commands.json" <<'PY'
import json, sys
seen, kept = set(), []
for entry in json.load(open(sys.argv[1])):
    if entry["file"] not in seen:
        seen.add(entry["file"])
        entry["command"] = entry["command"].replace("-std=c++23", "-std=c++2b")
        kept.append(entry)
json.dump(kept, open(sys.argv[2], "w"), indent=1)
PY
# Only what this build compiles: sources of other builds (the fault-injection
# hooks, say) would be checked with guessed flags.
compiled=$(python3 -c 'import json,sys; print("\n".join(e["file"] for e in json.load(open(sys.argv[1]))))' \
    "$database/compile_commands.json")
# Findings go to standard output; the per-file count of suppressed warnings
# from system headers, on standard error, is only noise.
git ls-files --full-name 'src/*.cpp' | while read -r f; do grep -qxF "$PWD/$f" <<<"$compiled" && echo "$f"; done |
    xargs -P "$(nproc)" -n 1 "$tidy" --quiet -p "$database" \
    --extra-arg=-fsized-deallocation --extra-arg=-U__cpp_concepts --extra-arg=-D__cpp_concepts=202002L \
    2> >(sed '/^[0-9]* warnings\{0,1\} generated\.$/d' >&2)
