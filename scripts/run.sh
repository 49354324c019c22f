#!/usr/bin/env bash
# Installs what is missing, builds Quillfix and runs it on the current
# user's Wine prefix ($WINEPREFIX, or ~/.wine), then quillfix-report on the
# same prefix, and ends with one line that says what happened; when that
# prefix holds no edition, the line names the Wine managers' prefixes that
# do (quillfix-report --list) and the command that patches each. Arguments
# are passed on to quillfix. Exit status: the report's (0 patched or
# nothing installed, 1 not patched, 2 no usable prefix).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh build
cmake --preset release >/dev/null
cmake --build --preset release -j2 >/dev/null

build/release/app/quillfix "$@"
status=0
report=$(build/release/app/quillfix-report) || status=$?
[ -n "$report" ] && printf '%s\n' "$report"

prefix="${WINEPREFIX:-${HOME:-}/.wine}"
# The other prefixes holding an edition, as commands that patch each.
elsewhere=""
if [ "$status" -eq 2 ] || ! grep -q ': installed,' <<<"$report"; then
  while IFS= read -r -d '' other; do
    elsewhere+="${elsewhere:+; }WINEPREFIX=$(printf '%q' "$other") scripts/run.sh"
  done < <(env -u WINEPREFIX build/release/app/quillfix-report --list -0 \
             2>/dev/null || true)
fi
if [ -n "$elsewhere" ]; then
  echo "No edition found in $prefix, but Varlo is in another Wine prefix;" \
       "to patch: $elsewhere"
  exit $status
fi
case $status in
  0)
    if grep -q ': installed,' <<<"$report"; then
      echo "Done: every installed edition in $prefix holds Preferences\\Quillfix = 01."
    else
      echo "Nothing to do: neither Varlo nor VarloPlus is installed in $prefix."
    fi ;;
  1)
    echo "Not patched: an installed edition lacks Quillfix = 01; if Wine runs for" \
         "$prefix, wait for it (WINEPREFIX=$prefix wineserver -w) and run again." ;;
  *)
    echo "No usable Wine prefix at $prefix: point WINEPREFIX at one" \
         "(WINEPREFIX=/path/to/prefix scripts/run.sh), or try scripts/demo.sh." ;;
esac
exit $status
