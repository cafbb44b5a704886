#!/bin/sh
# Builds the native test programs against the core library with
# AddressSanitizer and UndefinedBehaviorSanitizer, then runs each: the text
# kernel harness (extra arguments go to it, the first is the number of random
# rounds), the text sweep at its larger size, and the others as they are.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
out=${PW_NATIVE_BUILD:-$root/tests/native/build}  # inside the checkout: never a cache of another tree
flags="-O1 -g -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer -Werror"
generator=
command -v ninja >/dev/null 2>&1 && generator="-G Ninja"
# shellcheck disable=SC2086
cmake -S "$root" -B "$out" $generator -DCMAKE_BUILD_TYPE=Debug -DPACKWEAVER_MODULE=OFF \
    -DPACKWEAVER_NATIVE_TESTS=ON -DCMAKE_CXX_FLAGS="$flags" >/dev/null
cmake --build "$out" --target native_tests --parallel 2
for program in "$here"/*_test.cpp; do
    name=$(basename "$program" .cpp)
    echo "== $name"
    case $name in
        text_kernels_test) "$out/$name" "$@" ;;
        text_sweep_test) "$out/$name" 160 crossed ;;
        *) "$out/$name" ;;
    esac
done
