#!/usr/bin/env bash
# A demonstration on a throwaway Wine prefix, in about a minute: makes the
# prefix (wineboot), installs the product's keys for Varlo only with
# `wine reg add`, shows quillfix-report, runs quillfix, shows the report
# and `wine reg query` of both editions again, and removes the prefix.
# Installs Wine and the build tools when missing. Leaves no prefix and no
# wineserver behind; the user's own prefix is never touched.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh demo
cmake --preset release >/dev/null
cmake --build --preset release -j2 >/dev/null

work=$(mktemp -d "${TMPDIR:-/tmp}/quillfix-demo-XXXXXX")
mkdir "$work/tmp"
# Wine keeps its server's directory under TMPDIR: inside the work folder,
# it goes with it.
export WINEPREFIX="$work/prefix" TMPDIR="$work/tmp" WINEDEBUG=-all
unset DISPLAY WAYLAND_DISPLAY  # no windows from wineboot
cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

VARLO='HKCU\Software\Corvane\Varlo 6.8'
VARLOPLUS='HKCU\Software\Corvane\VarloPlus 6.8'
report() { build/release/app/quillfix-report || true; }

echo "== Making a throwaway Wine prefix: $WINEPREFIX"
wineboot -i >/dev/null 2>&1
echo "== Installing the product's keys for Varlo only (wine reg add)"
wine reg add "$VARLO" /v Edition /t REG_SZ /d Standard /f >/dev/null
wineserver -w  # the server saves user.reg as it exits
echo "== quillfix-report before"
report
echo "== quillfix"
build/release/app/quillfix
echo "== quillfix-report after"
status=0
build/release/app/quillfix-report || status=$?
echo "== wine reg query of both editions"
wine reg query "$VARLO" /s 2>&1 | tr -d '\r' | sed '/^$/d' || true
wine reg query "$VARLOPLUS" /s 2>&1 | tr -d '\r' | sed '/^$/d' || true
if [ $status -eq 0 ]; then
  echo "Demo done: quillfix set Varlo's Preferences\\Quillfix to 01 and left" \
       "the absent VarloPlus alone; the throwaway prefix is removed."
else
  echo "Demo failed: the report says the patch is not in place (status $status)."
fi
exit $status
