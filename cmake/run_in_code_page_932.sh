#!/bin/sh
# Runs a program in a Japanese locale, so that its ANSI code page is 932:
# makes the ja_JP.UTF-8 locale in the build directory (glibc's localedef,
# from the locales package's sources) when the system lacks it, then runs a
# program of the Windows build under Wine (wine_emulator.sh), or a Linux
# one as it is (whose Wine helpers inherit the locale).
#
#   run_in_code_page_932.sh BUILD_DIR PROGRAM[.exe] ARGS...
set -eu
build=$1
shift
locales="$build/locale"
if ! locale -a 2>/dev/null | grep -qi '^ja_JP\.utf-\?8$'; then
  if [ ! -d "$locales/ja_JP.UTF-8" ]; then
    mkdir -p "$locales"
    localedef -i ja_JP -f UTF-8 "$locales/ja_JP.UTF-8"
  fi
  export LOCPATH="$locales"
fi
export LC_ALL=ja_JP.UTF-8
case "$1" in
  *.exe) exec "$(dirname "$0")/wine_emulator.sh" "$@" ;;
  *) exec "$@" ;;
esac
