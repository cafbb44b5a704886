#!/bin/sh
# Builds the native text kernel tests with AddressSanitizer and
# UndefinedBehaviorSanitizer, then runs them: the kernel harness (extra
# arguments go to it, the first is the number of random rounds), then the
# text sweep at its larger size.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
out=${PW_NATIVE_BUILD:-${TMPDIR:-/tmp}/packweaver-native}
mkdir -p "$out"
# Links every unit of src/common, src/decoder and src/encoder that stands
# apart from the interpreter.
build() {
    program=$1
    set --
    for f in "$root"/src/common/*.cpp "$root"/src/decoder/*.cpp "$root"/src/encoder/*.cpp; do
        if [ -f "$f" ] && ! grep -q -e 'Python\.h' -e '"\.\./module/' "$f"; then set -- "$@" "$f"; fi
    done
    ${CXX:-g++} -std=c++20 -O1 -g -fsanitize=address,undefined -fno-sanitize-recover=all \
        -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wno-sign-conversion -Werror -I"$root/src" \
        "$here/$program.cpp" "$@" -o "$out/$program"
}
build text_kernels_test
build text_sweep_test
"$out/text_kernels_test" "$@"
"$out/text_sweep_test" 160 crossed
