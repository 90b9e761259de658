# Window lookups by exact title on the X display, sourced by the window tests.
#
# xdotool gives up on the whole search (Xlib's "BadWindow", status 1) when any window goes
# away while it walks the window tree, which GTK's and Wine's short-lived windows do while a
# dialog opens. A lookup that fails that way is asked again, never taken for an answer.

# Prints the id of the first visible window titled exactly $1. Status 0 when there is one,
# 1 when there is none, 2 when xdotool failed otherwise (an X error, no display).
xwindow_lookup() {
  local errors ids status=0
  errors=$(mktemp)
  ids=$(xdotool search --onlyvisible --name "^$1\$" 2>"$errors") || status=$?
  if [[ -n $ids ]]; then
    status=0
    head -n 1 <<<"$ids"
  elif [[ -s $errors ]] || ((status > 1)); then
    status=2
  elif ((status == 0)); then
    status=1
  fi
  rm -f "$errors"
  return "$status"
}

# Prints the id of the visible window titled exactly $1, waiting up to $2 seconds; prints
# nothing when none came.
find_window() {
  local deadline=$((SECONDS + $2)) id
  while :; do
    if id=$(xwindow_lookup "$1"); then
      echo "$id"
      return 0
    fi
    ((SECONDS < deadline)) || return 0
    sleep 0.2
  done
}

# True while a visible window titled exactly $1 exists. An answer that stays an X error is
# taken as "shown", so that a test expecting the window gone fails rather than passes.
window_shown() {
  local status
  for _ in 1 2 3 4 5 6 7 8 9 10; do
    status=0
    xwindow_lookup "$1" >/dev/null || status=$?
    ((status == 2)) || return "$status"
    sleep 0.1
  done
  return 0
}

# Names the command that ended a `set -e` script, which would otherwise end it without a word,
# in the script's functions too. (A failure inside a command substitution whose status is not
# checked is named as well, though the script goes on.)
set -E
trap 'echo "  FAIL: line $LINENO: \"$BASH_COMMAND\" ended with status $?" >&2' ERR
