#!/bin/sh
# Runs a Windows program under Wine; the emulator of cross builds (see mingw-w64-x86_64.cmake).
#
#   wine-run.sh PREFIX WINE WINESERVER PROGRAM [ARGUMENT...]
#
# Wine keeps one server per prefix, and the first program to start one also boots the prefix's
# Windows services. Those services inherit that program's standard streams and hold them open
# until the server ends, so whoever reads the streams to their end (ctest, test discovery)
# would wait for the server instead of the program. And by default the server ends as soon as
# its last program has, so test programs that follow each other would boot it again and again.
# Hence the server is started here, to stay for a while after the last program, and booted with
# streams of its own; the lock keeps programs started side by side from booting it themselves.
set -e
WINEPREFIX=$1
wine=$2
wineserver=$3
shift 3
# Wine's own diagnostics stay off: a program's standard error holds only what it wrote.
WINEDEBUG=-all
export WINEPREFIX WINEDEBUG
mkdir -p "$WINEPREFIX"

(
  flock 9
  # Fails, harmlessly, when the server is running already. The server and the services must not
  # inherit the lock, or it would stay taken for as long as they run.
  if "$wineserver" --persistent=30 </dev/null >/dev/null 2>&1 9>&-; then
    # Should the prefix be new, the .NET and HTML engines are left out: their installers would
    # ask for a download.
    WINEDLLOVERRIDES="mscoree,mshtml=" "$wine" wineboot --init </dev/null >/dev/null 2>&1 9>&-
  fi
) 9>>"$WINEPREFIX/.wine-run.lock"

exec "$wine" "$@"
