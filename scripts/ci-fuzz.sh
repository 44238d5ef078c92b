#!/usr/bin/env bash
# Coverage-guided fuzzing, about a minute per target (KESTRIX_FUZZ_SECONDS, default 60):
#   - the core's base64 coder with libFuzzer (clang-14, with ASan and UBSan), against a plain
#     rendering of binascii's rules and by round trip; then every input the run kept is decoded
#     by Python's base64.b64decode as well and must give the same bytes or error text;
#   - the MQTT message dispatch with atheris (instrumented Python, the built package of .venv),
#     against a model of the dispatch.
# The seeds are in fuzz/corpus/; what a run adds stays in build/fuzz. A crash or a mismatch fails
# the step, and the input is saved in build/fuzz/artifacts (the path is printed).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
. scripts/ci-lib.sh
. scripts/setup-env.sh

seconds=${KESTRIX_FUZZ_SECONDS:-60}
out=$root/build/fuzz
artifacts=$out/artifacts

prepare() {
  kx_system_packages build fuzz
  command -v clang++-14 >/dev/null 2>&1 || kx_fail "clang++-14 is missing: the fuzzing step cannot run"
  kx_venv_install "[test]" --if-changed
  # (a machine without a wheel for its Python builds atheris with the clang installed above)
  "$kx_python" -c 'import atheris' 2>/dev/null || CLANG_BIN=clang-14 "$kx_python" -m pip install -q "atheris>=2.3"
  mkdir -p "$artifacts"
}

# Runs a fuzzer; on failure names the saved inputs.
run_fuzzer() {
  local name=$1 rc=0
  shift
  "$@" >"$out/$name.log" 2>&1 || rc=$?
  tail -n 3 "$out/$name.log"
  if [ $rc -ne 0 ]; then
    tail -n 60 "$out/$name.log" >&2
    ls -1 "$artifacts"/"$name"-* 2>/dev/null | sed 's/^/saved input: /' >&2 || true
    kx_fail "the $name fuzzer failed (exit status $rc, log $out/$name.log)"
  fi
}

fuzz_base64() {
  local flags=(-std=c++17 -O1 -g -Icpp/core/include fuzz/base64_fuzzer.cpp cpp/core/src/base64.cpp)
  clang++-14 "${flags[@]}" -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
    -o "$out/base64_fuzzer"
  clang++-14 "${flags[@]}" -DKX_BASE64_REPLAY -o "$out/base64_replay"
  rm -rf "$out/base64-corpus"
  mkdir -p "$out/base64-corpus"
  run_fuzzer base64 "$out/base64_fuzzer" -max_total_time="$seconds" -max_len=512 \
    -artifact_prefix="$artifacts/base64-" "$out/base64-corpus" fuzz/corpus/base64
  "$kx_python" fuzz/base64_replay.py "$out/base64_replay" "$out/base64-corpus" fuzz/corpus/base64
}

fuzz_dispatch() {
  rm -rf "$out/dispatch-corpus"
  mkdir -p "$out/dispatch-corpus"
  # From the tests directory, so that the installed package is the one imported.
  run_fuzzer dispatch bash -c "cd '$root/tests' && exec '$kx_python' '$root/fuzz/dispatch_fuzzer.py' \
    -max_total_time=$seconds -max_len=512 -artifact_prefix='$artifacts/dispatch-' \
    '$out/dispatch-corpus' '$root/fuzz/corpus/dispatch'"
}

kx_step "fuzz: set-up" prepare
kx_step "fuzz: base64 decoder (libFuzzer, ${seconds} s)" fuzz_base64
kx_step "fuzz: message dispatch (atheris, ${seconds} s)" fuzz_dispatch
