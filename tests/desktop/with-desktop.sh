#!/usr/bin/env bash
# Runs one command on a real X server (Xvfb) with a window manager (openbox), so that focus,
# activation and event order are those of a desktop, not of the offscreen platform.
#   tests/desktop/with-desktop.sh COMMAND [ARGS...]
# The command sees DISPLAY and QT_QPA_PLATFORM=xcb; the server and the window manager are
# ended when it returns, and its exit status is returned.
set -u
for tool in Xvfb openbox; do
  command -v "$tool" >/dev/null || { echo "with-desktop: $tool is not installed" >&2; exit 1; }
done
fdfile=$(mktemp)
# -displayfd picks a free display number and writes it once the server is ready.
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$fdfile" 2>/dev/null &
xvfb=$!
for _ in $(seq 100); do
  [ -s "$fdfile" ] && break
  sleep 0.05
done
display=$(head -n1 "$fdfile")
rm -f "$fdfile"
if [ -z "$display" ]; then
  echo "with-desktop: Xvfb did not start" >&2
  kill "$xvfb" 2>/dev/null
  exit 1
fi
export DISPLAY=":$display"
openbox --sm-disable >/dev/null 2>&1 &
wm=$!
# The window manager is ready once it has claimed the root window's _NET_SUPPORTING_WM_CHECK.
for _ in $(seq 100); do
  if command -v xprop >/dev/null; then
    xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && break
  fi
  sleep 0.05
done
export QT_QPA_PLATFORM=xcb
"$@"
status=$?
kill "$wm" "$xvfb" 2>/dev/null
wait "$wm" "$xvfb" 2>/dev/null
exit $status
