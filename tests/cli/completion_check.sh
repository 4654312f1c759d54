#!/usr/bin/env bash
# trovelctl's bash completion with the program itself: commands, options and parameter
# names come from its help, so a change of the help's layout shows here.
# Usage: completion_check.sh COMPLETION-SCRIPT TROVELCTL
set -euo pipefail
# shellcheck source=/dev/null
source "$1"
program=$2
failed=0
offers() { # expected words, then the words typed (the last one is being completed)
  local expected=$1
  shift
  COMP_WORDS=("$program" "$@")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMPREPLY=()
  _trovelctl
  if [ "${COMPREPLY[*]}" != "$expected" ]; then
    echo "FAILED: trovelctl $* <TAB> offers '${COMPREPLY[*]}', not '$expected'"
    failed=1
  fi
}
offers "scan" sc
offers "scan set switch switches stats" s
offers "speed" get sp
offers "diameter delay-time direction" --addr 2 set d
offers "left right auto stop" move ""
offers "on off all-on all-off" switch ""
offers "--device" --dev
offers "--wait" move --w
offers "--json" info --js
offers "--reply-mode --reply-timeout" --reply
offers "frame silence" --reply-mode ""
offers "speed" --reply-mode frame --retries 2 get sp
exit $failed
