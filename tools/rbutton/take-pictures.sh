#!/bin/sh
# Takes the README's picture of the right-click tool under Xvfb: the button plain and armed, side
# by side at its size on a 1024 x 768 screen of 15 inches (85 dpi), written to OUT (default
# docs/rbutton.png beside tools/). Needs Xvfb, Tcl/Tk, xdotool, xwd and ImageMagick's convert.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
out=${1:-$here/../../docs/rbutton.png}
tmp=$(mktemp -d)
trap 'kill $tool $xvfb 2>/dev/null || true; rm -rf "$tmp"' EXIT
mkdir -p "$tmp/root/dev" "$tmp/root/tmp"
mkfifo "$tmp/root/dev/qvcmdin" "$tmp/in"
Xvfb :97 -nolisten tcp -dpi 85 -screen 0 1024x768x24 >/dev/null 2>&1 & xvfb=$!
export DISPLAY=:97
for i in $(seq 50); do xdotool getdisplaygeometry >/dev/null 2>&1 && break; sleep 0.1; done
cat "$tmp/root/dev/qvcmdin" >/dev/null &            # the daemon's end of the command FIFO
QUILMOD_ROOT=$tmp/root tclsh "$here/rbutton.tcl" "$here/lbutton.gif" "$here/rbutton.gif" $$ 1 0 \
    < "$tmp/in" & tool=$!
exec 3> "$tmp/in"
for i in $(seq 50); do w=$(xdotool search --onlyvisible --name '^rbutton$' 2>/dev/null) && break; sleep 0.1; done
sleep 0.3
# The button, with a margin of a desktop's colour around it.
shot() {
    eval "$(xdotool getwindowgeometry --shell "$w")"
    xwd -silent -root | convert xwd:- -crop "${WIDTH}x${HEIGHT}+$X+$Y" +repage \
        -bordercolor '#3c5a78' -border 12 "$1"
}
shot "$tmp/plain.png"
xdotool mousemove --window "$w" 10 10 click 1 mousemove 0 0
sleep 0.3
shot "$tmp/armed.png"
convert "$tmp/plain.png" "$tmp/armed.png" +append "$out"
echo "wrote $out"
