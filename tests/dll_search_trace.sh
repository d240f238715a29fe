#!/usr/bin/env bash
# The launcher takes the current directory out of the DLL search before it starts the application. Windows passes
# that on to the application; Wine does not, so under Wine the call itself is what can be seen: in the relay
# trace of the launcher's calls, SetDllDirectoryW with an empty string must come before the start of
# bin\quorventine.exe.
# usage: dll_search_trace.sh <launcher> <application>   (in the environment that tools/wine.sh needs)
set -euo pipefail
install=$QV_SCRATCH/trace
mkdir -p "$install/bin"
cp "$1" "$install/start.exe"
cp "$2" "$install/bin/quorventine.exe"
QV_WINEDEBUG=+relay "$(dirname "$0")/../tools/wine.sh" 'Q:\trace\start.exe' x 2>"$install/relay.log"
awk '/Call [A-Za-z0-9]+\.SetDllDirectoryW\([0-9a-f]+ L""\)/ && !cleared { cleared = NR }
     /Call [A-Za-z0-9]+\.CreateProcessW\(.*quorventine\.exe/ && !started { started = NR }
     END { if (!cleared || !started || cleared > started) {
             printf "SetDllDirectoryW(\"\") at line %d, the start at line %d of the trace\n", cleared, started > "/dev/stderr"
             exit 1 } }' "$install/relay.log"
