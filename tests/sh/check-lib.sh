# Sourced by the shell tests after their set-up. Gives:
#   check NAME COMMAND...  runs COMMAND; counts a pass, or prints "FAILED: NAME"
#   finish LABEL           prints "LABEL: P passed, F failed"; fails if F > 0
#   $t                     a temporary folder, removed at exit after the
#                          test's own cleanup function (if it defines one) ran
fails=0 passes=0
check() {
  local name=$1; shift
  if "$@"; then passes=$((passes + 1)); else echo "FAILED: $name"; fails=$((fails + 1)); fi
}
finish() {
  echo "$1: $passes passed, $fails failed"
  [ "$fails" = 0 ]
}
t=$(mktemp -d)
trap 'if declare -F cleanup >/dev/null; then cleanup; fi; rm -rf "$t"' EXIT
