# Shared by the pe checks: `check DESCRIPTION COMMAND...` runs the command and prints "ok" or
# "FAIL" with the description (after $check_prefix); a failure sets fail=1, the script's status.
# A few commands to check with follow.
fail=0
check_prefix=""
check() {
  local what=$1
  shift
  if "$@"; then echo "ok   $check_prefix$what"; else echo "FAIL $check_prefix$what"; fail=1; fi
}

lacks() { ! grep -qF -- "$1" <<<"$2"; }                      # lacks TEXT IN
verifies() { osslsigncode verify "$@" >/dev/null 2>&1; }     # verifies OSSLSIGNCODE-VERIFY-ARGS...
refused() { ! verifies "$@"; }
