# Shared helpers of the CI scripts (scripts/ci-*.sh); source it from the repository root after
# `set -euo pipefail`.
#   kx_step NAME COMMAND...  runs COMMAND, then prints how long it took ("-- NAME: 83 s"); a
#                            failing command ends the script (set -e), with the time it ran
#                            printed as a failure
#   kx_fail MESSAGE...       prints MESSAGE to standard error and exits with status 1 (for a step
#                            that cannot run here: CI fails loudly rather than skipping it)

kx_step_name=""
kx_step_start=0

kx_step_report_failure() {
  local rc=$?
  if [ -n "$kx_step_name" ] && [ $rc -ne 0 ]; then
    echo "-- $kx_step_name: FAILED (exit status $rc) after $(($(date +%s) - kx_step_start)) s" >&2
  fi
}
trap kx_step_report_failure EXIT

kx_step() {
  kx_step_name=$1
  shift
  kx_step_start=$(date +%s)
  echo "== $kx_step_name"
  "$@"
  echo "-- $kx_step_name: $(($(date +%s) - kx_step_start)) s"
  kx_step_name=""
}

kx_fail() {
  echo "CI: $*" >&2
  exit 1
}
