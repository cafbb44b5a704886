#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/native (one per .cpp file) with clang,
# AddressSanitizer and UndefinedBehaviorSanitizer.
#
# The codecs are linked from every src/**/*.cpp that needs no Python: files
# under src/module/, files that include Python.h or a module header, and
# files whose includes reach src/module/ are left out. The list is found
# afresh on every build, so new or split source files join by themselves.
#
# Usage: fuzz/native/build.sh [target...]   (default: every target)
# Environment: PW_FUZZ_BUILD (output folder, default $TMPDIR/packweaver-fuzz),
# CXX_FUZZ (default: clang++-19 when installed, else clang++; clang 14 lacks
# the "f16c" feature test the binary16 codecs use), JOBS (default 2).
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"
out=${PW_FUZZ_BUILD:-${TMPDIR:-/tmp}/packweaver-fuzz}
if [ -n "${CXX_FUZZ:-}" ]; then
    cxx=$CXX_FUZZ
elif command -v clang++-19 >/dev/null; then
    cxx=clang++-19
else
    cxx=clang++
fi
jobs=${JOBS:-2}
mkdir -p "$out/obj"

common=(-std=c++20 -gline-tables-only -O1 -fno-omit-frame-pointer -fsanitize=address,undefined -fno-sanitize-recover=all -Isrc)

# Objects built with other flags or another compiler are thrown away.
stamp="$cxx ${common[*]}"
if [ "$(cat "$out/obj/.flags" 2>/dev/null)" != "$stamp" ]; then
    rm -f "$out"/obj/*.o
    echo "$stamp" >"$out/obj/.flags"
fi

# The Python-free sources.
sources=()
while IFS= read -r f; do
    if grep -Eq '^[[:space:]]*#[[:space:]]*include[[:space:]]*[<"](Python\.h|\.\./module/)' "$f"; then continue; fi
    # An include chain that reaches the module (or needs Python.h) rules the file out too.
    if ! deps=$("$cxx" -std=c++20 -Isrc -MM "$f" 2>/dev/null) || grep -q 'src/module/' <<<"$deps"; then
        echo "build.sh: leaving out $f (it needs the Python module)" >&2
        continue
    fi
    sources+=("$f")
done < <(find src -name '*.cpp' -not -path 'src/module/*' | sort)
[ ${#sources[@]} -gt 0 ] || { echo "build.sh: no sources found" >&2; exit 1; }

# Objects, rebuilt when the source or any header changed since (headers are
# few, so any newer header rebuilds everything).
newest_header=$(find src fuzz/native -name '*.hpp' -printf '%T@\n' | sort -n | tail -1)
compile() {
    local f=$1 o
    o="$out/obj/$(echo "$f" | tr '/' '_').o"
    if [ -f "$o" ] && [ "$o" -nt "$f" ] && awk -v a="$(stat -c %Y "$o")" -v b="$newest_header" 'BEGIN{exit !(a > b)}'; then
        return 0
    fi
    "$cxx" "${common[@]}" -fsanitize=fuzzer-no-link -c "$f" -o "$o"
}
export -f compile
export out cxx newest_header
export common_flags="${common[*]}"
printf '%s\n' "${sources[@]}" |
    xargs -P "$jobs" -I{} bash -c 'common=($common_flags); compile "$1"' _ {}
rm -f "$out/libpackweaver_codecs.a"
objs=()
for f in "${sources[@]}"; do objs+=("$out/obj/$(echo "$f" | tr '/' '_').o"); done
ar rcs "$out/libpackweaver_codecs.a" "${objs[@]}"

# Targets.
if [ $# -gt 0 ]; then
    targets=("$@")
else
    targets=()
    for f in fuzz/native/*.cpp; do targets+=("$(basename "$f" .cpp)"); done
fi
link() {
    local t=$1
    "$cxx" "${common[@]}" -fsanitize=fuzzer "fuzz/native/$t.cpp" "$out/libpackweaver_codecs.a" -o "$out/$t"
}
export -f link
printf '%s\n' "${targets[@]}" |
    xargs -P "$jobs" -I{} bash -c 'common=($common_flags); link "$1"' _ {}
echo "built ${#targets[@]} targets in $out from ${#sources[@]} sources"
