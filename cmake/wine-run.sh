#!/bin/sh
# Runs a Windows program under Wine in the prefix the caller chose; never ~/.wine.
: "${WINEPREFIX:?WINEPREFIX must be set}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml,winemenubuilder.exe=d}"
export WINEDEBUG="${WINEDEBUG:--all}"
exec wine "$@"
