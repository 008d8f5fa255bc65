# X displays for the tests, sourced by ./run: a plain Xvfb, and the desk of
# the screen tests (two monitors under a window manager).
#   start_xvfb [WxH]        DISPLAY set to a private Xvfb (1280x800 unless told)
#   start_desk              DISPLAY set to the desk, DESK_NAME names it
#   stop_desk               the desk gone, the plain display kept
#   stop_displays           every display started here gone
# Each server picks a free display number itself and says which through
# -displayfd; one function waits for that.

HARNESS=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
XORG=/usr/lib/xorg/Xorg
DISPLAY_PIDS=()
DESK_DIR=

# await_display FILE: DISPLAY set from the number the server wrote to FILE
# (within 10 s); fails when it wrote none.
await_display() {
  local _
  for _ in $(seq 100); do
    if [ -s "$1" ]; then
      export DISPLAY=":$(head -n1 "$1")"
      return 0
    fi
    sleep 0.1
  done
  return 1
}

start_xvfb() {
  local fd_file
  fd_file=$(mktemp)
  Xvfb -displayfd 3 -screen 0 "${1:-1280x800}x24" -nolisten tcp 3>"$fd_file" </dev/null >/dev/null 2>&1 &
  DISPLAY_PIDS+=($!)
  await_display "$fd_file"
  rm -f "$fd_file"
}

# The desk: Wine takes two monitors from the dummy driver's two RandR outputs
# (1280x800 primary, 1024x768 to its left, so the virtual screen starts at a
# negative x), where Xvfb gives it one whatever its screens; openbox keeps
# stay-on-top windows above the others, as Windows does. Where the dummy
# server cannot start, the desk is an Xvfb with one monitor, and says so.
DESK_MARK=0
start_desk() {
  DESK_MARK=${#DISPLAY_PIDS[@]}
  DESK_DIR=$(mktemp -d)
  mkdir -p "$DESK_DIR/conf.d"
  DESK_NAME=
  if [ -x "$XORG" ]; then
    "$XORG" -displayfd 3 -config "$HARNESS/xorg-two-monitors.conf" -configdir "$DESK_DIR/conf.d" -noreset \
      -nolisten tcp -logfile "$DESK_DIR/xorg.log" -novtswitch -sharevts 3>"$DESK_DIR/display" </dev/null \
      >/dev/null 2>&1 &
    local pid=$!
    # Asking for the monitors also settles the new layout before Wine reads
    # it (without a query after the change Wine found only one).
    if await_display "$DESK_DIR/display" &&
       xrandr --output DUMMY0 --mode 1280x800 --primary >/dev/null 2>&1 &&
       xrandr --addmode DUMMY1 1024x768 >/dev/null 2>&1 &&
       xrandr --output DUMMY1 --mode 1024x768 --left-of DUMMY0 >/dev/null 2>&1 &&
       xrandr --listmonitors 2>/dev/null | grep -q '^Monitors: 2$'; then
      DESK_NAME=openbox-two-monitors
      DISPLAY_PIDS+=("$pid")
    else
      kill "$pid" 2>/dev/null || true
    fi
  fi
  if [ -z "$DESK_NAME" ]; then
    echo "(the dummy X server with two monitors did not start, see $DESK_DIR/xorg.log: the desk is Xvfb with one monitor)"
    start_xvfb
    DESK_NAME=openbox-one-monitor
  fi
  openbox --sm-disable </dev/null >"$DESK_DIR/openbox.log" 2>&1 &
  DISPLAY_PIDS+=($!)
  # The window manager has taken the display once it names itself on the root.
  local _
  for _ in $(seq 100); do
    xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && break
    sleep 0.1
  done
}

# stop_from N: the displays started after the first N gone.
stop_from() {
  local pid
  for pid in "${DISPLAY_PIDS[@]:$1}"; do kill "$pid" 2>/dev/null || true; done
  DISPLAY_PIDS=("${DISPLAY_PIDS[@]:0:$1}")
}
stop_desk() {
  stop_from "$DESK_MARK"
  [ -n "$DESK_DIR" ] && rm -rf "$DESK_DIR"
  DESK_DIR=
}
stop_displays() {
  stop_desk
  stop_from 0
}
