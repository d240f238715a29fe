#!/usr/bin/env bash
# The check as a standard user runs it: not root, so that Wine holds to a folder's access list as its Unix
# permissions (the rows of an install folder that the user cannot create files in run), in a Wine prefix of that
# user's own, whose %TEMP% lies in a user folder named with a blank and a letter that the code page lacks. A run
# killed from outside comes first, in the middle of its lock cases, once an install folder of its own denies
# creating files: the next run must remove what it left.
# usage: run_check_as_user.sh <quorventine-check.zip> <locale> <the user folder's name>   (as root)
set -euo pipefail
zip=$(readlink -f "$1") locale=$2 user_folder=$3
uid=$(id -u nobody) gid=$(id -g nobody)
home=$(mktemp -d)
chmod 755 "$home"
chown "$uid:$gid" "$home"
export HOME=$home WINEPREFIX=$home/prefix QV_RUN_AS="setpriv --reuid=$uid --regid=$gid --clear-groups"
as_user() {
  $QV_RUN_AS env -i PATH="$PATH" HOME="$HOME" WINEPREFIX="$WINEPREFIX" WINEDEBUG=-all \
    WINEDLLOVERRIDES="mscoree,mshtml=" LC_ALL="$locale" "$@"
}
trap 'as_user wineserver -k 2>/dev/null || true; rm -rf "$home"' EXIT
as_user wineboot --init </dev/null >/dev/null 2>&1
temp="C:\\users\\$user_folder\\Temp"
mkdir -p "$WINEPREFIX/drive_c/users/$user_folder/Temp"
chown -R "$uid:$gid" "$WINEPREFIX/drive_c/users/$user_folder"
for variable in TEMP TMP; do
  as_user wine reg add 'HKCU\Environment' /v "$variable" /d "$temp" /f </dev/null >/dev/null 2>&1
done
as_user wineserver -w

unix_temp=$WINEPREFIX/drive_c/users/$user_folder/Temp
"$(dirname "$0")/run_check.sh" "$zip" "$locale" 1 --gtest_filter=Lock.Spaced/no_create >/dev/null 2>&1 &
for _ in $(seq 600); do
  denied=$(find "$unix_temp" -path '*/lock/no create' -type d ! -perm -u+w 2>/dev/null | head -n 1)
  [ -z "$denied" ] || break
  sleep 0.1
done
[ -n "$denied" ] || { echo "run_check_as_user: the run to be killed never denied its folder" >&2; exit 1; }
killed=${denied%/lock/no create}
pkill -KILL -u "$uid" -f 'quorventine-check\.exe' || true
wait || true
[ -d "$killed" ] || { echo "run_check_as_user: the killed run left nothing to remove" >&2; exit 1; }

output=$("$(dirname "$0")/run_check.sh" "$zip" "$locale" 0 \
  --must-run=no_create,failed_start_no_create,unquoted_path,x64_unquoted_path_with_blanks) || { echo "$output"; exit 1; }
echo "$output"
grep -qF "removed C:\\users\\$user_folder\\Temp\\${killed##*/}, left by a run that was killed" <<<"$output" &&
  [ ! -e "$killed" ] || { echo "run_check_as_user: the killed run's folder was not removed: $killed" >&2; exit 1; }
