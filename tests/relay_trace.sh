#!/usr/bin/env bash
# What the launcher itself calls, read from Wine's relay trace of one launch: the common launch, a quoted full path as
# the shell writes it, in an install that no other launcher holds.
# - Before the start, its only file-system call is the create of the lock: no look at its own file, its path or the
#   lock path.
# - It takes the current directory out of the DLL search first. Windows passes that on to the application; Wine does
#   not, so the call itself is what can be seen here.
# - After the start: the hold, then the lock file marked for deletion through its own handle, then that handle closed,
#   and no delete by name, which could remove a file that another process made there after the close. ("No lock file
#   left" alone would pass under Wine without any mark: delete-on-close removes it.)
# usage: relay_trace.sh <launch test program> <row>   (in the environment that tools/wine.sh needs)
set -euo pipefail
log=$(mktemp)
trap '[ $? = 0 ] && rm -f "$log" || echo "trace kept: $log" >&2' EXIT
QV_WINEDEBUG=+relay "$(dirname "$0")/../tools/wine.sh" "$1" --gtest_filter="*/$2" >/dev/null 2>"$log"
# The launcher's thread is the one that starts bin\quorventine.exe; only its own calls count.
awk -v file_calls='^(CreateFileW|GetFileAttributesW|GetFileInformationByHandle|DeleteFileW)$' '
  match($0, /^[0-9a-f]+:(Call|Ret ) (KERNEL32|ntdll)\.[A-Za-z0-9]+\(/) {
    thread = substr($0, 1, index($0, ":") - 1)
    if (launcher && thread != launcher) next
    call = substr($0, index($0, ":") + 1, 4) == "Call"
    name = substr($0, index($0, ".") + 1); name = substr(name, 1, index(name, "(") - 1)
    kernel32 = $0 ~ /^[0-9a-f]+:(Call|Ret ) KERNEL32\./
    args = substr($0, index($0, "(") + 1)
    if (launcher) {  # after the start
      if (call && kernel32 && name == "Sleep" && args ~ /^00000bb8\)/) after = after "hold "
      marking = call && ((kernel32 && name == "SetFileInformationByHandle" && index(args, lock_handle ",00000004,") == 1) ||
                         (!kernel32 && name == "NtSetInformationFile" && index(args, lock_handle ",") == 1 && args ~ /,0000000d\)/))
      if (marking && after !~ /mark $/) after = after "mark "
      if (call && kernel32 && name == "CloseHandle" && index(args, lock_handle ")") == 1) after = after "close "
      if (call && kernel32 && name == "DeleteFileW" && args ~ /quorventine\.lock"/) after = after "delete-by-name "
      next
    }
    if (!kernel32) next
    retval = substr($0, index($0, "retval=") + 7, 8)
    if (!call) {
      if (name == "CreateFileW" && creating[thread]) handle[thread] = retval
      # A launch whose start succeeded: the check first starts each launcher before its application is there.
      if (name == "CreateProcessW" && starting[thread] && retval == "00000001") { launcher = thread; lock_handle = handle[thread] }
      creating[thread] = starting[thread] = 0
      next
    }
    # Its command line starts with the application'"'"'s path, quoted; the check starts probes with another.
    starting[thread] = name == "CreateProcessW" && $0 ~ /bin\\\\quorventine\.exe",[0-9a-f]+ L"\\"/
    calls[thread] = calls[thread] (name ~ file_calls ? name " " : "") (name == "SetDllDirectoryW" && $0 ~ /L""\)/ ? "cleared " : "")
    creating[thread] = name == "CreateFileW" && $0 ~ /quorventine\.lock"/
    lock[thread] = lock[thread] || creating[thread]
  }
  END {
    seen = calls[launcher]
    if (!launcher) { print "no start of the application in the trace" > "/dev/stderr"; exit 1 }
    if (seen !~ /cleared/) { print "no SetDllDirectoryW(\"\") before the start" > "/dev/stderr"; exit 1 }
    gsub(/cleared /, "", seen)
    if (seen != "CreateFileW " || !lock[launcher]) {
      printf "file-system calls before the start: %s(expected: the lock'"'"'s CreateFileW alone)\n", seen > "/dev/stderr"; exit 1 }
    if (after != "hold mark close ") {
      printf "after the start: %s(expected: hold mark close, on the lock'"'"'s handle %s)\n", after, lock_handle > "/dev/stderr"; exit 1 }
  }' "$log"
