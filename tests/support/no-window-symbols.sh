#!/usr/bin/env bash
# Fails when a logic library (given as archives) uses a symbol of the toolkit's window
# libraries (given as shared objects): below the pages nothing may open a window, so that
# programs without a display can be built on those libraries.
#
#   no-window-symbols.sh --windows LIB.so... --logic LIB.a...
set -euo pipefail
windows=() logic=() list=
for argument in "$@"; do
  case "$argument" in
    --windows | --logic) list=${argument#--} ;;
    *) if [[ $list == windows ]]; then windows+=("$argument"); else logic+=("$argument"); fi ;;
  esac
done
provided=$(nm -D --defined-only "${windows[@]}" | awk 'NF == 3 { sub(/@.*/, "", $3); print $3 }' | sort -u)
status=0
for archive in "${logic[@]}"; do
  used=$(nm --undefined-only "$archive" | awk 'NF == 2 { print $2 }' | sort -u)
  found=$(comm -12 <(echo "$provided") <(echo "$used"))
  if [[ -n $found ]]; then
    echo "$(basename "$archive") uses the window libraries:" >&2
    c++filt <<<"$found" | sed 's/^/  /' >&2
    status=1
  fi
done
exit $status
