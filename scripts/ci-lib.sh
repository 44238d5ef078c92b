# Shared helpers of the CI scripts (scripts/ci-*.sh); source it from the repository root after
# `set -euo pipefail`.
#   kx_step NAME COMMAND...  runs COMMAND, then prints how long it took ("-- NAME: 83 s"); a
#                            failing command ends the script (set -e), with the time it ran
#                            printed as a failure
#   find_interpreter X.Y     prints the path of a Python X.Y interpreter (pyenv's newest, else
#                            pythonX.Y on PATH); fails when there is none
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

find_interpreter() {
  local version=$1 dir candidate
  dir=$(pyenv root 2>/dev/null || echo "${PYENV_ROOT:-$HOME/.pyenv}")
  for candidate in $(ls -d "$dir/versions/$version".* 2>/dev/null | sort -V -r); do
    if [ -x "$candidate/bin/python3" ]; then
      echo "$candidate/bin/python3"
      return 0
    fi
  done
  command -v "python$version" 2>/dev/null && return 0
  return 1
}
