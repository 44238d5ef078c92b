#!/usr/bin/env bash
# The soak's short run (benchmarks/bench_soak.py --ci): the whole device stack on loopback for
# three minutes under the seeded fault schedule; fails on a lost report, an ERROR record no
# fault explains, a node that exited, a fault not recovered from, or growth beyond the bounds
# the benchmark states. Uses the .venv that scripts/test.sh made (the package installed there).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/ci-lib.sh
py=.venv/bin/python
[ -x "$py" ] || kx_fail "no .venv: run scripts/test.sh first"
"$py" -c "import kestrix_sdk.redis.vault, aiohttp" || kx_fail "the package (with its view extra) is not installed in .venv"
out=build/soak-ci   # its CSV files, for a look after a failure
rm -rf "$out"
kx_step "soak --ci (3 minutes)" nice -n 10 "$py" benchmarks/bench_soak.py --ci --seed "${KX_SOAK_SEED:-1}" --csv "$out"
