#!/usr/bin/env bash
# The real program with microphones of a sound server of the test's own: one
# that gives only silence, one that goes away during the recording, one that
# hands over nothing, and the server itself going away. Each recording's stop
# says so under "Attention", and the file keeps its picture and its length.
# The microphone list follows the server.
#   main_window_sound.sh KINOVO VCAM_LIBRARY PROFILE_DIR OUTDIR
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"
bin=$1 vcam=$2 profiles=$3 out=$4
mkdir -p "$out"
: >"$out/kinovo.log"

user_folders
newest() { ls -t "$1" 2>/dev/null | head -1; }

# A sound server whose only microphone is silent; gone with the test.
run=$out/pulse
rm -rf "$run" && mkdir -p "$run" && chmod 700 "$run"
export PULSE_SERVER="unix:$run/native"
# Off the session bus, whose PulseAudio name the shared server holds.
DBUS_SESSION_BUS_ADDRESS=disabled: pulseaudio -n --daemonize=no --exit-idle-time=-1 --disallow-exit --use-pid-file=no --disable-shm=yes \
  -L "module-native-protocol-unix socket=$run/native auth-anonymous=1" \
  -L "module-null-source source_name=quiet rate=48000 channels=1 description=Quiet" \
  -L "module-always-sink" >"$out/pulse.log" 2>&1 &
pulse=$!
trap '[ -n "$pid" ] && kill -9 "$pid" 2>/dev/null; kill "$pulse" 2>/dev/null' EXIT
for _ in $(seq 100); do pactl info >/dev/null 2>&1 && break; sleep 0.05; done
pactl info >/dev/null 2>&1 || fail "the test's sound server did not start: $(cat "$out/pulse.log")"

no_attention() {
  sleep 1
  xdotool search --onlyvisible --name '^Attention$' >/dev/null 2>&1 && fail "an \"Attention\" message: $1"
  return 0
}

start_program "$profiles/use.ini"
# The share of red in the square left of the recording clock, where the
# microphone shows its "no sound" look (a red stroke) while recording.
silent_look() {
  xdotool mousemove $((x + w / 2 + RANDOM % 20)) $((y + h / 3)); sleep 0.5
  import -silent -window root -crop "32x32+$((x + w - 322))+$((y + h - 54))" +repage png:- 2>/dev/null |
    convert - -fx 'r > 0.6 && g < 0.4 && b < 0.4' -format '%[fx:mean]\n' info:
}

# ---- a silent microphone: the "no sound" look after 3 s, the remark at the stop
record_button 0
t0=$(date +%s.%N)
sleep 1
share=$(silent_look)
seen=$(echo "$(date +%s.%N) - $t0" | bc)
import -silent -window root "$out/early-recording.png"
# Only a look taken well before 3 s tells (a busy machine can be late).
awk -v s="$share" -v t="$seen" 'BEGIN { exit !(s == 0 || t > 2.5) }' \
  || fail "the \"no sound\" look after $seen s of silence ($share)"
sleep 2.5
# From 3.5 s on it must come; the screen is read until it has.
for _ in $(seq 10); do
  share=$(silent_look)
  awk -v s="$share" 'BEGIN { exit !(s > 0.03) }' && break
done
import -silent -window root "$out/silent-recording.png"
echo "red in the microphone square after $(echo "$(date +%s.%N) - $t0" | bc) s: $share"
awk -v s="$share" 'BEGIN { exit !(s > 0.03) }' || fail "no \"no sound\" look after 3.5 s of silence ($share)"
record_button 0
t1=$(date +%s.%N)
expect_attention "a recording that was silent" silent
grep -q "microphone Quiet gave only silence" "$out/kinovo.log" || fail "the silence was not logged: $(tail -3 "$out/kinovo.log")"
check_avi "$videos/$(newest "$videos")" sound "$(echo "$t1 - $t0" | bc)"

# ---- the microphone goes away 2 s into the recording: logged at once,
# told with the time at the stop, and the file as long as the recording.
# A second microphone comes first: the list follows, the choice stays.
pactl load-module module-null-source source_name=second rate=48000 channels=1 description=Second >/dev/null \
  || fail "load-module"
sleep 0.5
record_button 0
t0=$(date +%s.%N)
sleep 2
pactl unload-module "$(pactl list short modules | awk '$2 == "module-null-source" && $3 == "source_name=quiet" { print $1 }')" \
  || fail "unload-module"
sleep 0.5
grep -q "microphone quiet : pa_stream_get_state failed" "$out/kinovo.log" \
  || fail "the stop was not logged at once: $(tail -3 "$out/kinovo.log")"
sleep 1.5
record_button 0
t1=$(date +%s.%N)
expect_attention "a microphone that stopped" stopped
grep -q "microphone Quiet stopped after" "$out/kinovo.log" || fail "the stop was not told: $(tail -3 "$out/kinovo.log")"
# The list followed the server: the microphone is gone from it.
grep -q "microphone Quiet (quiet) is gone; after this recording" "$out/kinovo.log" \
  || fail "the list did not follow: $(tail -3 "$out/kinovo.log")"
check_avi "$videos/$(newest "$videos")" sound "$(echo "$t1 - $t0" | bc)"
no_attention "after the messages were answered"

# ---- the second microphone, chosen in the list that followed the server,
# hands over nothing for more than 3 s (suspended): the same as gone
xdotool mousemove $((x + w / 2 + 5)) $((y + h / 3)); sleep 0.3
click $((w - 194)) $((h - 38)) 0.8          # Microphone button: "Без звука" and "Second"
click $((w - 194 + 60)) $((h - 22 - 2 * 40 - 60 + 6 + 60)) 0.6   # the second row
record_button 0
t0=$(date +%s.%N)
sleep 1.5
pactl suspend-source second 1 || fail "suspend-source"
for _ in $(seq 100); do
  grep -q "microphone second : pa_stream read (no sound for 3 s) failed" "$out/kinovo.log" && break
  sleep 0.1
done
grep -q "microphone second : pa_stream read (no sound for 3 s) failed" "$out/kinovo.log" \
  || fail "a microphone that gave nothing was not logged: $(tail -3 "$out/kinovo.log")"
pactl suspend-source second 0
record_button 0
t1=$(date +%s.%N)
expect_attention "a microphone that gave nothing" no-data
grep -q "microphone Second stopped after" "$out/kinovo.log" || fail "the stop was not told: $(tail -3 "$out/kinovo.log")"
check_avi "$videos/$(newest "$videos")" sound "$(echo "$t1 - $t0" | bc)"

# ---- the sound server goes away during a recording of the same microphone
record_button 0
t0=$(date +%s.%N)
sleep 2
kill "$pulse"
wait "$pulse" 2>/dev/null
sleep 1
grep -q "microphone second : pa_context_get_state failed" "$out/kinovo.log" \
  || fail "the server's end was not logged at once: $(tail -3 "$out/kinovo.log")"
record_button 0
t1=$(date +%s.%N)
expect_attention "a sound server that went away" server-gone
[ "$(grep -c "microphone Second stopped after" "$out/kinovo.log")" = 2 ] \
  || fail "the stop was not told: $(tail -3 "$out/kinovo.log")"
check_avi "$videos/$(newest "$videos")" sound "$(echo "$t1 - $t0" | bc)"

xdotool key Escape
wait_exit "$pid" 10 || fail "the program did not end"
pid=""
echo OK
