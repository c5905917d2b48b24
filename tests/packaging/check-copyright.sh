#!/bin/sh
# check-copyright.sh COPYRIGHT_FILE
# In the machine-readable copyright format the last stanza whose Files
# pattern matches a file decides its licence. The program's own stanza must
# therefore be the only one that names a pattern, so that no other stanza
# (a library's) silently takes the program's files over.
set -eu
file=$1
fail() { echo "FAIL: $*"; exit 1; }

head -n1 "$file" | grep -q '^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/$' \
  || fail "not in the machine-readable copyright format"

# One line per Files stanza: its patterns, then its Copyright and License.
stanzas=$(awk '
  /^$/ { if (files != "") print files "|" copyright "|" license; files = copyright = license = ""; next }
  /^Files:/ { sub(/^Files: */, ""); files = $0; next }
  /^Copyright:/ { sub(/^Copyright: */, ""); copyright = $0; next }
  /^License:/ { sub(/^License: */, ""); license = $0; next }
  END { if (files != "") print files "|" copyright "|" license }
' "$file")
echo "$stanzas"

patterns=$(echo "$stanzas" | cut -d'|' -f1 | tr ' ' '\n' | sed '/^$/d')
repeated=$(echo "$patterns" | sort | uniq -d)
[ -z "$repeated" ] || fail "patterns in more than one Files stanza: $repeated"

whole=$(echo "$stanzas" | awk -F'|' '{ n = split($1, p, " "); for (i = 1; i <= n; i++) if (p[i] == "*") print }')
[ -n "$whole" ] || fail "no stanza covers all files (Files: *)"
echo "$whole" | grep -q '|2026 Korvant|proprietary$' \
  || fail "the stanza for all files is not the program's own: $whole"
echo "copyright checks passed"
