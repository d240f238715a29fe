#!/usr/bin/env bash
# Runs a Windows program under Wine as the tests need it: the build tree's own prefix, no debug output, no
# Mono or Gecko installers, and a UTF-8 locale for file names (C.UTF-8 gives code page 1252).
set -eu
: "${WINEPREFIX:?set WINEPREFIX to the prefix of the build tree}"
export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export LC_ALL="${LC_ALL:-C.UTF-8}"
exec wine "$@"
