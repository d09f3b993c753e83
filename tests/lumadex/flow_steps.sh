# shellcheck shell=bash disable=SC2154  # $bootstrap and $work come from the sourcing script
# Steps shared by the whole-flow scripts; sourced after they set $bootstrap
# (the program) and $work (a scratch folder holding sysctl.conf, the private
# settings file the installer may append to).

# step NAME EXPECTED_STATUS ARGS...: runs bootstrap ARGS, keeps its output in
# $work/NAME.out and .err, and fails the test on another exit status ("any"
# takes every status).
step() {
  local name=$1 expected=$2 status=0
  shift 2
  # shellcheck disable=SC2016  # expanded by the inner shell
  unshare -m sh -c 'mount --bind "$0" /etc/sysctl.conf && exec "$@"' \
    "$work/sysctl.conf" "$bootstrap" "$@" >"$work/$name.out" 2>"$work/$name.err" || status=$?
  echo "--- bootstrap $* (exit $status, ${SECONDS}s)"
  cat "$work/$name.out" "$work/$name.err"
  if [[ $expected != any && $status != "$expected" ]]; then
    echo "FAIL: bootstrap $* exited with $status, not $expected"
    exit 1
  fi
}

# fail WHAT: ends the test; a script may redefine it to show more first.
fail() { echo "FAIL: $*"; exit 1; }

# check DESCRIPTION COMMAND...: fails the test when COMMAND fails.
check() {
  local what=$1
  shift
  "$@" || fail "$what"
}
