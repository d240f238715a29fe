#!/usr/bin/env bash
# Wine as this project uses it: the build tree's own prefix, no debug output (unless QV_WINEDEBUG asks for a
# trace), no Mono or Gecko installers, and a UTF-8 locale for file names (C.UTF-8 gives code page 1252;
# ja_JP.UTF-8 gives 932).
#   wine.sh start            makes the prefix on first use and keeps one Wine server running for everything that
#                            follows; where QV_SCRATCH names a folder (the demo's and the benchmark's prefix), maps
#                            drive Q: to it, emptied
#   wine.sh stop             ends that server
#   wine.sh program [args]   runs a Windows program
set -eu
: "${WINEPREFIX:?set WINEPREFIX to the prefix of the build tree}"
export WINEPREFIX WINEDEBUG="${QV_WINEDEBUG:--all}" WINEDLLOVERRIDES="mscoree,mshtml=" LC_ALL="${LC_ALL:-C.UTF-8}"

case "${1:-}" in
  start)
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      echo "creating the Wine prefix $WINEPREFIX (once per build tree)"
      wine wineboot --init </dev/null >/dev/null 2>&1
      wineserver --wait
    fi
    if [ -n "${QV_SCRATCH:-}" ]; then
      rm -rf "$QV_SCRATCH"
      mkdir -p "$QV_SCRATCH"
      ln -sfn "$QV_SCRATCH" "$WINEPREFIX/dosdevices/q:"
    fi
    # Detached from our output, or whoever reads it (CTest) would wait for the server to end.
    wineserver --persistent </dev/null >/dev/null 2>&1 || true  # fails only when one already runs
    # The first Wine program of a session starts the prefix's services, which inherit its output and live as
    # long as the server: let a silent one be that program.
    wine wineboot </dev/null >/dev/null 2>&1
    ;;
  stop)
    wineserver --kill || true
    ;;
  *)
    exec wine "$@"
    ;;
esac
