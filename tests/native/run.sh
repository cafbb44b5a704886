#!/bin/sh
# Builds the native text kernel tests with AddressSanitizer and
# UndefinedBehaviorSanitizer, then runs them. Extra arguments go to the test
# program (the first is the number of random rounds).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
out=${PW_NATIVE_BUILD:-${TMPDIR:-/tmp}/packweaver-native}
mkdir -p "$out"
${CXX:-g++} -std=c++20 -O1 -g -fsanitize=address,undefined -fno-sanitize-recover=all \
    -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wno-sign-conversion -Werror -I"$root/src" \
    "$here/text_kernels_test.cpp" "$root/src/encoder/text.cpp" "$root/src/decoder/text.cpp" \
    -o "$out/text_kernels_test"
"$out/text_kernels_test" "$@"
