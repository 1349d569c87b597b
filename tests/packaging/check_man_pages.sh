#!/usr/bin/env bash
# Every manual page renders as `man -l` shows it: no warnings from groff (a stray control
# character, an unknown font or escape), no raw font codes left in the text, and no words run
# together (a sentence inside one font-alternating macro such as .BR loses its spaces).
# Usage: check_man_pages.sh PAGE...
set -euo pipefail
status=0
for page in "$@"; do
  warnings=$(LC_ALL=C.UTF-8 groff -man -ww -z "$page" 2>&1)
  if [ -n "$warnings" ]; then
    echo "FAIL: $page: $warnings" >&2
    status=1
  fi
  text=$(LC_ALL=C.UTF-8 MANWIDTH=100 man -l -P cat "$page" 2>&1 | col -b)
  if stray=$(grep -nP '[\x00-\x08\x0b-\x1f]|\\f[BIRP]|(^|\s)[RBI]\[[A-Z\\]' <<<"$text"); then
    echo "FAIL: $page renders with font codes or control characters:" >&2
    echo "$stray" >&2
    status=1
  fi
  # A comma or semicolon with a letter right behind it, a sentence's end glued to the next one,
  # or a run of lower-case letters longer than any word.
  if joined=$(grep -nP '[[:alpha:]][,;][[:alpha:]]|[[:lower:]][.)]+[[:upper:]][[:lower:]]|(?<![[:alpha:]/._-])[[:lower:]]{25,}' <<<"$text"); then
    echo "FAIL: $page renders with words run together:" >&2
    echo "$joined" >&2
    status=1
  fi
  [ "$status" -ne 0 ] || echo "ok: $page"
done
exit $status
