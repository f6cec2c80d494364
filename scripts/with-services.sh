#!/usr/bin/env bash
# Runs a command with a private X display (Xvfb, openbox, a compositing manager),
# a second desktop like it ($KINOVO_SECOND_DESKTOP), a bare display
# ($KINOVO_SECOND_DISPLAY), a Wayland desktop (weston on a display of its own:
# $KINOVO_WAYLAND_DISPLAY for WAYLAND_DISPLAY, $KINOVO_WAYLAND_XDISPLAY for
# xdotool and screenshots),
# a private PulseAudio daemon holding a sine-wave microphone, and a private D-Bus
# session bus on which a stand-in file manager owns org.freedesktop.FileManager1
# and logs its calls to $KINOVO_FILEMANAGER_LOG; tears all of it down
# afterwards, whatever the command's outcome.
#   scripts/with-services.sh [--no-compositor] COMMAND [ARGS...]
# The file manager is tests/tools/fake-filemanager of the build tree (build/,
# else another build*/ tree), or $KINOVO_FAKE_FILEMANAGER.
set -u
compositor=1
if [ "${1:-}" = "--no-compositor" ]; then compositor=0; shift; fi

work=$(mktemp -d /tmp/kinovo-services.XXXXXX)
pids=()
cleanup() {
  for ((i=${#pids[@]}-1; i>=0; i--)); do kill "${pids[i]}" 2>/dev/null; done
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT INT TERM
root=$(cd "$(dirname "$0")/.." && pwd)

# Private session bus: no service activation, so nothing of the host's
# desktop can answer on it.
cat >"$work/bus.conf" <<EOF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path=$work/bus</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
EOF
dbus-daemon --config-file="$work/bus.conf" --nofork --nopidfile >"$work/dbus.log" 2>&1 &
pids+=($!)
export DBUS_SESSION_BUS_ADDRESS="unix:path=$work/bus"
bus_call() {
  dbus-send --session --print-reply --dest=org.freedesktop.DBus / "org.freedesktop.DBus.$1" "${@:2}" 2>/dev/null
}
for _ in $(seq 100); do bus_call GetId >/dev/null && break; sleep 0.05; done
bus_call GetId >/dev/null || { echo "dbus-daemon did not start" >&2; cat "$work/dbus.log" >&2; }

# Starts Xvfb on a free display number and waits for it; sets
# started_display. Xvfb picks the number itself (-displayfd) and takes its
# lock atomically, so services started side by side never share a display.
# -noreset: by default the server resets when its last client leaves, and a
# client connecting during the reset (openbox right after the check below)
# is refused. Extra arguments go to Xvfb.
start_xvfb() { # log name, Xvfb options...
  local log=$work/$1.log number=$work/$1.display
  shift
  Xvfb -displayfd 3 -noreset -screen 0 1920x1080x24 -nolisten tcp "$@" 3>"$number" >"$log" 2>&1 &
  pids+=($!)
  for _ in $(seq 200); do [ -s "$number" ] && break; sleep 0.05; done
  started_display=":$(head -1 "$number" 2>/dev/null)"
  if [ "$started_display" = ":" ] || ! DISPLAY=$started_display xdpyinfo >/dev/null 2>&1; then
    echo "Xvfb did not start" >&2; cat "$log" >&2; exit 1
  fi
}

# A desktop: openbox on a display, the known desktop colour, and the
# compositing manager unless --no-compositor.
start_desktop() { # display, name for the logs
  local wm tries
  # Tests close windows through the window manager: wait for it, however
  # busy the machine, and start it again should it fail to connect.
  for tries in 1 2 3; do
    DISPLAY=$1 openbox --sm-disable >>"$work/openbox-$2.log" 2>&1 &
    wm=$!
    for _ in $(seq 400); do
      DISPLAY=$1 xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && break 2
      kill -0 "$wm" 2>/dev/null || break
      sleep 0.05
    done
    kill "$wm" 2>/dev/null
    wait "$wm" 2>/dev/null
    echo "openbox did not start on $1 (attempt $tries)" >&2
    cat "$work/openbox-$2.log" >&2
    [ "$tries" = 3 ] && exit 1
  done
  pids+=("$wm")
  # A known desktop colour, so that what shows through a window can be told.
  DISPLAY=$1 xsetroot -solid '#305080' 2>/dev/null
  if [ "$compositor" = 1 ]; then
    DISPLAY=$1 xcompmgr >"$work/xcompmgr-$2.log" 2>&1 &
    pids+=($!)
  fi
}

start_xvfb xvfb +extension Composite +extension SHAPE
export DISPLAY=$started_display
start_desktop "$DISPLAY" first
# A second desktop of the same kind, so that the tests that drive and read
# a desktop form two queues (tests/tools/on-second-desktop.sh).
start_xvfb xvfb-desktop2 +extension Composite +extension SHAPE
export KINOVO_SECOND_DESKTOP=$started_display
start_desktop "$KINOVO_SECOND_DESKTOP" second
# A display without a window manager for the capture tests: they show
# windows of their own and look only at those.
start_xvfb xvfb2 +extension SHAPE
export KINOVO_SECOND_DISPLAY=$started_display
# The compositing managers take the _NET_WM_CM_S0 selection at once; give
# them a moment to do so.
[ "$compositor" = 1 ] && sleep 0.3

# Private PulseAudio with a microphone that hears a 440 Hz tone: the tone is
# played into a null sink at a low latency and heard through a remap of that
# sink's monitor, so the source delivers small blocks as a sound card does
# (module-sine-source hands out two seconds at a time). The tone clicks at
# every multiple of KINOVO_SYNC_PERIOD_MS on CLOCK_MONOTONIC; a virtual
# camera whose profile asks for it flashes at the same instants.
export XDG_RUNTIME_DIR="$work/run" HOME="$work/home" PULSE_RUNTIME_PATH="$work/run/pulse"
mkdir -p "$XDG_RUNTIME_DIR/pulse" "$HOME" && chmod 700 "$XDG_RUNTIME_DIR"
export PULSE_SERVER="unix:$work/run/pulse/native"
pulseaudio -n --daemonize=no --exit-idle-time=-1 --disallow-exit --use-pid-file=no \
  --disable-shm=yes \
  -L "module-native-protocol-unix socket=$work/run/pulse/native auth-anonymous=1" \
  -L "module-null-sink sink_name=speakers rate=48000 sink_properties=device.description=Speakers" \
  -L "module-remap-source master=speakers.monitor source_name=sine channels=1 channel_map=mono master_channel_map=front-left remix=no source_properties='device.description=\"Sine source at 440 Hz\"'" \
  -L "module-always-sink" >"$work/pulse.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do pactl info >/dev/null 2>&1 && break; sleep 0.05; done
pactl info >/dev/null 2>&1 || { echo "PulseAudio did not start" >&2; cat "$work/pulse.log" >&2; }
export KINOVO_SYNC_PERIOD_MS="${KINOVO_SYNC_PERIOD_MS:-1000}"
python3 "$(dirname "$0")/test_tone.py" speakers "$work/tone.ready" >"$work/tone.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -e "$work/tone.ready" ] && break; sleep 0.05; done
[ -e "$work/tone.ready" ] || { echo "The test tone did not start" >&2; cat "$work/tone.log" >&2; }
# A source's first recording after the daemon started reports a latency
# that settles only after a while; one short recording gets that over with.
timeout 1 parec --device=sine --latency-msec=20 >/dev/null 2>&1

export KINOVO_SERVICES_DIR="$work"

# A Wayland desktop: weston in an Xvfb of its own, its output window covering
# that X screen exactly, so that X screen coordinates are weston's: xdotool
# drives weston's pointer and keys there and `import -window root` shows what
# weston composes. No panel, no animations, no idle fade or lock, no
# Xwayland: a client under test is alone on the known desktop colour.
start_wayland_desktop() {
  local xdisplay sock=kinovo-wayland-${work##*.} log=$work/weston.log wpid ok=0 geom deadline
  unset KINOVO_WAYLAND_DISPLAY KINOVO_WAYLAND_XDISPLAY
  if ! command -v weston >/dev/null; then
    echo "with-services: weston is not installed; no Wayland desktop" >&2
    return
  fi
  start_xvfb xvfb-wayland
  xdisplay=$started_display
  cat >"$work/weston.ini" <<EOF
[core]
idle-time=0
xwayland=false
# A repaint window as long as the x11 output's 16.7 ms frame: a client's
# commit to an idle output is composed at once instead of about 10 ms
# later (the default 7 ms window waits for the next frame's deadline).
repaint-window=16

[shell]
background-color=0xff305080
panel-position=none
locking=false
animation=none
close-animation=none
startup-animation=none
focus-animation=none

[input-method]
path=
EOF
  # The pointer away in a corner: weston draws the cursor into its output,
  # and the desktop shell's background is checked beside it.
  DISPLAY=$xdisplay xdotool mousemove 1919 1079 2>/dev/null
  DISPLAY=$xdisplay weston --backend=x11-backend.so --use-pixman --width=1920 --height=1080 \
    --idle-time=0 --socket="$sock" --config="$work/weston.ini" --log="$log" >"$work/weston.out" 2>&1 &
  wpid=$!
  pids+=("$wpid")
  # Ready: its socket takes a client, and the desktop shell has drawn the
  # background in the output window.
  deadline=$((SECONDS + 30))
  while [ "$SECONDS" -lt "$deadline" ]; do
    kill -0 "$wpid" 2>/dev/null || break
    if [ -S "$XDG_RUNTIME_DIR/$sock" ] &&
      WAYLAND_DISPLAY=$sock timeout 5 weston-info 2>/dev/null | grep -q xdg_wm_base &&
      [ "$(DISPLAY=$xdisplay import -silent -window root -crop 1x1+960+540 -depth 8 txt:- 2>/dev/null |
        grep -o '#[0-9A-F]\{6\}' | head -1)" = "#305080" ]; then
      ok=1
      break
    fi
    sleep 0.1
  done
  if [ "$ok" = 1 ]; then
    geom=$(DISPLAY=$xdisplay xwininfo -root -tree 2>/dev/null | grep -m1 '"Weston Compositor' | grep -o '[0-9]*x[0-9]*+[0-9-]*+[0-9-]*' | head -1)
    if [ "$geom" != "1920x1080+0+0" ]; then
      echo "with-services: weston's output window is $geom on $xdisplay, not 1920x1080+0+0" >&2
      ok=0
    fi
  fi
  if [ "$ok" = 1 ]; then
    export KINOVO_WAYLAND_DISPLAY=$sock KINOVO_WAYLAND_XDISPLAY=$xdisplay
  else
    if kill -0 "$wpid" 2>/dev/null; then
      echo "with-services: weston did not become ready in 30 s on $xdisplay (socket $XDG_RUNTIME_DIR/$sock)" >&2
      kill "$wpid"
    else
      wait "$wpid"
      echo "with-services: weston ended with status $? on $xdisplay" >&2
    fi
    cat "$work/weston.out" "$log" >&2 2>/dev/null
  fi
}
start_wayland_desktop

# The file manager that RevealFile reaches.
export KINOVO_FILEMANAGER_LOG="$work/filemanager.log"
: >"$KINOVO_FILEMANAGER_LOG"
fm=${KINOVO_FAKE_FILEMANAGER:-}
if [ -z "$fm" ]; then
  for f in "$root/build/tests/tools/fake-filemanager" "$root"/build*/tests/tools/fake-filemanager; do
    [ -x "$f" ] && { fm=$f; break; }
  done
fi
if [ -n "$fm" ] && [ -x "$fm" ]; then
  export KINOVO_FAKE_FILEMANAGER="$fm"
  "$fm" "$KINOVO_FILEMANAGER_LOG" >"$work/filemanager.out" 2>&1 &
  pids+=($!)
  for _ in $(seq 200); do
    bus_call NameHasOwner string:org.freedesktop.FileManager1 | grep -q 'boolean true' && break
    sleep 0.05
  done
  bus_call NameHasOwner string:org.freedesktop.FileManager1 | grep -q 'boolean true' \
    || { echo "the fake file manager did not take its name" >&2; cat "$work/filemanager.out" >&2; }
else
  echo "with-services: no fake file manager built (cmake --build build --target fake-filemanager);" \
    "nothing owns org.freedesktop.FileManager1" >&2
fi

"$@"
rc=$?
exit $rc
