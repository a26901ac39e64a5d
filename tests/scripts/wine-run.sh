#!/bin/sh
# Runs a Windows program under Wine in the project's own prefix.
: "${WINEPREFIX:=${HOME}/.wine-zelwnqx}"
: "${WINEDEBUG:=-all}"
export WINEPREFIX WINEDEBUG
exec wine "$@"
