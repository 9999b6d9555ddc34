#!/bin/sh
# Builds the parser's libFuzzer target with the address and undefined-behaviour
# sanitizers straight from the JSON sources, then fuzzes it for a bounded time.
# usage: fuzz/run.sh [SECONDS]   (default 60); exits non-zero on a crash.
# The working corpus lives in build-fuzz/corpus, seeded from fuzz/seeds.
set -eu
seconds=${1:-60}
root=$(cd "$(dirname "$0")/.." && pwd)
out="$root/build-fuzz"
mkdir -p "$out/corpus"

clang++-14 -std=c++20 -O1 -g -Wall -Wextra -Werror \
    -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
    -I "$root/src" \
    "$root/fuzz/parser_fuzz.cpp" \
    "$root/src/json/value.cpp" "$root/src/json/writer.cpp" "$root/src/json/parser.cpp" \
    -o "$out/parser_fuzz"

cp "$root"/fuzz/seeds/* "$out/corpus/"
"$out/parser_fuzz" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$out/" "$out/corpus"
