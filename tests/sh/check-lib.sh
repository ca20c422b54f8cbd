# Sourced by the shell tests after their set-up. Gives:
#   check NAME COMMAND...  runs COMMAND; counts a pass, or prints "FAILED: NAME"
#   finish LABEL           prints "LABEL: P passed, F failed"; fails if F > 0
#   pane_shell TERM [VAR=VALUE]...
#                          the command of a tmux pane's shell: an interactive
#                          bash with job control, a clean environment, home
#                          in $t and no history file (a shell hung up at the
#                          end would write one into $t while it is removed)
#   stop_tmux SOCKET       ends the tmux server on SOCKET and waits (up to
#                          5 s) until the programs in its panes are gone, so
#                          none writes into $t while it is removed
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
pane_shell() {
  local term=$1; shift
  echo "env -i PATH=$PATH HOME=$t HISTFILE= TERM=$term $* PS1='$ ' bash --norc --noprofile -i"
}
stop_tmux() {
  local pids p
  pids=$(tmux -S "$1" list-panes -a -F '#{pane_pid}' 2>/dev/null) || true
  tmux -S "$1" kill-server 2>/dev/null || true
  for p in $pids; do
    for _ in $(seq 50); do kill -0 "$p" 2>/dev/null || break; sleep 0.1; done
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
