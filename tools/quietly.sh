# Sourced by the project's scripts. quietly CMD...: runs CMD with its output held back; when
# it fails, shows the command, its exit code and its whole output, and returns that code (a
# script under set -e stops there).
quietly() {
  local log rc=0
  log=$(mktemp /tmp/relay-step.XXXXXX)
  "$@" >"$log" 2>&1 || rc=$?
  if [ $rc -ne 0 ]; then
    echo "${0##*/}: failed (exit code $rc): $*" >&2
    cat "$log" >&2
  fi
  rm -f "$log"
  return $rc
}
