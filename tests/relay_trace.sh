#!/usr/bin/env bash
# What the launcher itself calls before it starts the application, read from Wine's relay trace of one launch: the
# common launch, a quoted full path as the shell writes it, in an install that no other launcher holds.
# - Its only file-system call is the create of the lock: no look at its own file, its path or the lock path.
# - It takes the current directory out of the DLL search first. Windows passes that on to the application; Wine does
#   not, so the call itself is what can be seen here.
# usage: relay_trace.sh <launch test program> <row>   (in the environment that tools/wine.sh needs)
set -euo pipefail
log=$(mktemp)
trap '[ $? = 0 ] && rm -f "$log" || echo "trace kept: $log" >&2' EXIT
QV_WINEDEBUG=+relay "$(dirname "$0")/../tools/wine.sh" "$1" --gtest_filter="*/$2" >/dev/null 2>"$log"
# The launcher's thread is the one that starts bin\quorventine.exe; only its own calls into KERNEL32 count.
awk -v file_calls='^(CreateFileW|GetFileAttributesW|GetFileInformationByHandle|DeleteFileW)$' '
  match($0, /^[0-9a-f]+:Call KERNEL32\.[A-Za-z0-9]+\(/) {
    thread = substr($0, 1, index($0, ":") - 1)
    name = substr($0, index($0, ".") + 1); name = substr(name, 1, index(name, "(") - 1)
    # Its command line starts with the application'"'"'s path, quoted; the check starts probes with another.
    if (name == "CreateProcessW" && $0 ~ /bin\\\\quorventine\.exe",[0-9a-f]+ L"\\"/ && !launcher) { launcher = thread; exit }
    calls[thread] = calls[thread] (name ~ file_calls ? name " " : "") (name == "SetDllDirectoryW" && $0 ~ /L""\)/ ? "cleared " : "")
    lock[thread] = lock[thread] || (name == "CreateFileW" && $0 ~ /quorventine\.lock"/)
  }
  END {
    seen = calls[launcher]
    if (!launcher) { print "no start of the application in the trace" > "/dev/stderr"; exit 1 }
    if (seen !~ /cleared/) { print "no SetDllDirectoryW(\"\") before the start" > "/dev/stderr"; exit 1 }
    gsub(/cleared /, "", seen)
    if (seen != "CreateFileW " || !lock[launcher]) {
      printf "file-system calls before the start: %s(expected: the lock'"'"'s CreateFileW alone)\n", seen > "/dev/stderr"; exit 1 }
  }' "$log"
