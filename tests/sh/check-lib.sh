# Sourced by the shell tests after their set-up. Gives:
#   check NAME COMMAND...  runs COMMAND; counts a pass, or prints "FAILED: NAME"
#   finish LABEL           prints "LABEL: P passed, F failed"; fails if F > 0
#   pane_shell TERM [VAR=VALUE]...
#                          the command of a tmux pane's shell: an interactive
#                          bash with job control, a clean environment, home
#                          in $t and no history file (a shell hung up at the
#                          end would write one into $t while it is removed)
#   stop_tmux SOCKET       ends the tmux server on SOCKET and waits (up to
#                          5 s times $slow) until the programs in its panes are gone, so
#                          none writes into $t while it is removed
#   $slow                  the tests' one slow-machine factor
#                          (tests/slow-factor.sh): every wait on a program is
#                          its quiet-machine time times $slow
#   wait_until WHAT SECONDS COMMAND...
#                          runs COMMAND every 0.1 s until it succeeds, for at
#                          most SECONDS times $slow; on time-out prints what it
#                          waited for, how long, and the factor and the load
#   waited_too_long WHAT SECONDS
#                          prints that message, for a test's own wait loop
#   $t                     a temporary folder, removed at exit after the
#                          test's own cleanup function (if it defines one) ran
fails=0 passes=0
slow=$(bash "$TARN_SRC/tests/slow-factor.sh")
waited_too_long() {
  echo "timed out after $(( $2 * slow )) s ($2 s x $slow) waiting for $1; $(bash "$TARN_SRC/tests/slow-factor.sh" -v)"
}
wait_until() {
  local what=$1 secs=$2; shift 2
  local end=$(( SECONDS + secs * slow ))
  until "$@"; do
    if [ $SECONDS -ge $end ]; then waited_too_long "$what" "$secs"; return 1; fi
    sleep 0.1
  done
}
check() {
  local name=$1; shift
  if "$@"; then passes=$((passes + 1)); else echo "FAILED: $name"; fails=$((fails + 1)); fi
}
finish() {
  echo "$1: $passes passed, $fails failed"
  [ "$fails" = 0 ]
}
pane_shell() {
  local term=$1; shift
  echo "env -i PATH=$PATH HOME=$t HISTFILE= TERM=$term $* PS1='$ ' bash --norc --noprofile -i"
}
stop_tmux() {
  local pids p
  pids=$(tmux -S "$1" list-panes -a -F '#{pane_pid}' 2>/dev/null) || true
  tmux -S "$1" kill-server 2>/dev/null || true
  for p in $pids; do
    for _ in $(seq $((50 * slow))); do kill -0 "$p" 2>/dev/null || break; sleep 0.1; done
  done
}
t=$(mktemp -d)
# A program the test ended may still be writing its last file into $t as it
# goes: the removal is tried again once, after a moment, and said so.
remove_t() {
  rm -rf "$t" 2>/dev/null && return 0
  echo "note: $t was still being written at exit; removing it again"
  sleep 0.5
  rm -rf "$t"
}
trap 'if declare -F cleanup >/dev/null; then cleanup; fi; remove_t' EXIT
