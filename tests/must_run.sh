#!/usr/bin/env bash
# The rows that each hosted runner must run and pass: one list per runner, in the workflow (--must-run), shown as it
# stands in the README's table, and each name a row of the check, as the check lists them.
# usage: must_run.sh <source directory> <quorventine-check.exe>   (WINEPREFIX: a prefix whose server runs)
set -euo pipefail
source_dir=$1
rows=$("$source_dir/tools/wine.sh" "$2" --gtest_list_tests | awk '/^  [A-Za-z]/ { sub(/.*\//, "", $1); print $1 }')
lists=$(awk '$1 == "-" && $2 == "runner:" { runner = $3 } $1 == "must_run:" { print runner, $2 }' \
  "$source_dir/.github/workflows/windows.yml")
[ -n "$rows" ] && [ -n "$lists" ] || { echo "must_run: no rows listed by the check, or no runner's rows" >&2; exit 1; }
status=0
while read -r runner list; do
  grep -qF "| \`$runner\` | \`$list\` |" "$source_dir/README.md" ||
    { echo "must_run: the README's table does not give $runner the rows $list" >&2; status=1; }
  for row in ${list//,/ }; do
    grep -qx "$row" <<<"$rows" || { echo "must_run: $runner's $row is no row of the check" >&2; status=1; }
  done
done <<<"$lists"
[ "$status" != 0 ] || echo "must_run: $(wc -l <<<"$lists") runners' rows agree"
exit $status
