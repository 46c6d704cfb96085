#!/usr/bin/env bash
# Builds the control-channel request fuzzer with clang (libFuzzer, ASan,
# UBSan) and runs it for a number of seconds on a small seed corpus.
#
#   fuzz/run.sh [SECONDS] [extra libFuzzer flags...]
#
# SECONDS defaults to 60. The compiler is $CXX if set, else the newest
# clang++ found; it must be clang 16 or later. Work files go to build/fuzz/ (corpus/ grows as the fuzzer
# finds new inputs; crash-* files land there too). Not part of the tests.
set -euo pipefail

seconds="${1:-60}"
shift || true

root="$(cd "$(dirname "$0")/.." && pwd)"
out="$root/build/fuzz"
mkdir -p "$out/corpus"

cxx="${CXX:-}"
if [[ -z "$cxx" ]]; then
  for candidate in clang++-21 clang++-20 clang++-19 clang++-18 clang++-17 clang++-16 clang++; do
    if command -v "$candidate" >/dev/null; then cxx="$candidate"; break; fi
  done
fi
[[ -n "$cxx" ]] || { echo "no clang++ found" >&2; exit 1; }

flags=(-std=c++2b -O1 -g -fno-omit-frame-pointer -fsanitize=fuzzer,address,undefined
       -fno-sanitize-recover=undefined -I "$root/src/core")

# libstdc++ 12 offers <expected> only when __cpp_concepts is 202002L, which
# clang announces from version 19 on; clang 16 to 18 implement what it needs
# but announce 201907L.
probe='#include <expected>
std::expected<int, int> e = 1;'
major="$("$cxx" -dM -E -x c++ /dev/null | sed -n 's/^#define __clang_major__ //p')"
if [[ -z "$major" || "$major" -lt 16 ]]; then
  echo "$cxx is not clang 16 or later, which the C++23 sources need" >&2
  exit 1
fi
if ! echo "$probe" | "$cxx" -std=c++2b -fsyntax-only -x c++ - 2>/dev/null; then
  if echo "$probe" | "$cxx" -std=c++2b -U__cpp_concepts -D__cpp_concepts=202002L -fsyntax-only -x c++ - 2>/dev/null; then
    flags+=(-U__cpp_concepts -D__cpp_concepts=202002L)
  else
    echo "$cxx cannot compile C++23 <expected> with this standard library" >&2
    exit 1
  fi
fi

sources=(
  "$root/fuzz/ipc_request_fuzzer.cc"
  "$root/src/core/ipc/protocol.cc"
  "$root/src/core/json/reader.cc"
  "$root/src/core/json/value.cc"
  "$root/src/core/json/writer.cc"
  "$root/src/core/utf8.cc"
)
echo "building with $("$cxx" --version | head -1)"
"$cxx" "${flags[@]}" "${sources[@]}" -o "$out/ipc_request_fuzzer"

# Seeds: one valid line per variant and a few shapes the parser must handle.
seeds=(
  '{"cmd":"status","name":"nightly"}'
  '{"cmd":"list"}'
  '{"cmd":"history","name":"a","limit":5}'
  '{"cmd":"history","name":"a","limit":null}'
  '{"limit":18446744073709551615,"name":"a","cmd":"history"}'
  '{"cmd":"shutdown"}'
  '{"cmd":"compact"}'
  '{"cmd":"doctor"}'
  '{"cmd":"runtime_status"}'
  '{"cmd":"auth","token":"s3cret","inner":{"cmd":"list"}}'
  '{"inner":{"name":"x","cmd":"status"},"token":"t","cmd":"auth"}'
  '{"cmd":"auth","token":"a","inner":{"cmd":"auth","token":"b","inner":{"cmd":"doctor","x":[1,{"y":null}]}}}'
  '{"cmd":"status","name":"a\"b\u00e9\n","x":1,"x":2}'
)
i=0
for seed in "${seeds[@]}"; do
  printf '%s\n' "$seed" > "$out/corpus/seed-$i"
  i=$((i + 1))
done

cd "$out"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
exec ./ipc_request_fuzzer -max_total_time="$seconds" -dict="$root/fuzz/ipc_request.dict" \
  -max_len=4096 -print_final_stats=1 "$@" corpus
