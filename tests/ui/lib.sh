# Helpers for tests that drive the real program under X with xdotool and
# look at the screen with ImageMagick.
set -u
# A failed check leaves no program ($pid) behind for the next test to find.
pid=""
trap '[ -n "$pid" ] && kill -9 "$pid" 2>/dev/null' EXIT

# Fails the test, keeping a screenshot in $out (when set) to look at.
fail() {
  echo "FAIL: $*" >&2
  [ -n "${out:-}" ] && import -silent -window root "$out/failure.png" 2>/dev/null
  exit 1
}

# The colour of screen pixel (x, y) as "r,g,b" (0..255).
pixel() {
  import -silent -window root -crop "1x1+$1+$2" +repage \
    -format '%[fx:int(255*r+.5)],%[fx:int(255*g+.5)],%[fx:int(255*b+.5)]\n' info: 2>/dev/null
}

# Whether two "r,g,b" colours differ by at most $3 in every channel.
near() {
  local IFS=,
  read -r r1 g1 b1 <<<"$1"
  read -r r2 g2 b2 <<<"$2"
  local d=${3:-8}
  (( ${r1#-} >= 0 )) || return 1
  (( (r1-r2)*(r1-r2) <= d*d && (g1-g2)*(g1-g2) <= d*d && (b1-b2)*(b1-b2) <= d*d ))
}

# Waits for a visible window with this exact name; prints its id.
wait_window() {
  local name=$1 id=""
  for _ in $(seq 200); do
    id=$(xdotool search --onlyvisible --name "^$name\$" 2>/dev/null | head -1)
    [ -n "$id" ] && { echo "$id"; return 0; }
    sleep 0.05
  done
  return 1
}

# x y w h of a window, in screen pixels.
geometry() {
  xwininfo -id "$1" | awk '/Absolute upper-left X/{x=$4} /Absolute upper-left Y/{y=$4}
    /Width:/{w=$2} /Height:/{h=$2} END{print x, y, w, h}'
}

# Waits up to $2 seconds for process $1, a child of this shell, to end and
# sets exit_code to its exit status; fails (returns 1) if it is still running.
wait_exit() {
  local pid=$1 limit=$2 ticks=0
  while kill -0 "$pid" 2>/dev/null; do
    # A zombie has ended; only wait can reap it.
    [ "$(ps -o stat= -p "$pid" 2>/dev/null | cut -c1)" = Z ] && break
    sleep 0.05
    ticks=$((ticks + 1))
    [ "$ticks" -ge $((limit * 20)) ] && return 1
  done
  wait "$pid"
  exit_code=$?
}

# The stand-in file manager's calls about files under $HOME since this test
# began: other tests, and earlier runs of this one, share its log.
fm_from=1
[ -n "${KINOVO_FILEMANAGER_LOG:-}" ] && fm_from=$(($(wc -l <"$KINOVO_FILEMANAGER_LOG") + 1))
fm_calls() {
  [ -n "${KINOVO_FILEMANAGER_LOG:-}" ] || return 0
  tail -n "+$fm_from" "$KINOVO_FILEMANAGER_LOG" | grep '^ShowItems' | grep -F "file://$HOME/"
}

# A finalized AVI, read by ffprobe and ffmpeg: indexed, decodable to the
# end, with or without sound, and as long as the recording ran.
check_avi() { # file, "sound"|"silent", expected seconds (or "")
  local f=$1 streams dur
  [ -s "$f" ] || fail "no video file $f"
  streams=$(ffprobe -v error -show_entries stream=codec_type,codec_name,width,height -of csv=p=0 "$f")
  echo "$streams" | grep -q video || fail "$f: no video stream ($streams)"
  if [ "$2" = sound ]; then
    echo "$streams" | grep -q audio || fail "$f: no sound stream"
  else
    echo "$streams" | grep -q audio && fail "$f: sound although \"Без звука\" was chosen"
  fi
  dur=$(ffprobe -v error -show_entries format=duration -of csv=p=0 "$f")
  [ -n "$dur" ] && [ "$dur" != N/A ] || fail "$f: no duration (not finalized)"
  ffmpeg -v error -xerror -i "$f" -f null - 2>"$out/decode.txt" || fail "$f: does not decode: $(head -3 "$out/decode.txt")"
  [ -s "$out/decode.txt" ] && fail "$f: decoding errors: $(head -3 "$out/decode.txt")"
  if [ -n "$3" ]; then
    awk -v d="$dur" -v e="$3" 'BEGIN { exit !(d > e - 1.0 && d < e + 1.0) }' \
      || fail "$f: lasts $dur s, the recording ran $3 s"
  fi
}

# A home of the test's own under $out whose XDG Videos and Pictures folders
# have names of their own, so that a test sees they are used rather than a
# fallback; sets videos and pictures.
user_folders() {
  export HOME="$out/home" XDG_CONFIG_HOME="$out/home/.config"
  rm -rf "$HOME"
  mkdir -p "$XDG_CONFIG_HOME" "$HOME/Clips" "$HOME/Shots"
  cat >"$XDG_CONFIG_HOME/user-dirs.dirs" <<DIRS
XDG_VIDEOS_DIR="\$HOME/Clips"
XDG_PICTURES_DIR="\$HOME/Shots"
DIRS
  videos="$HOME/Clips" pictures="$HOME/Shots"
}

# Width of the dark label box of the test picture ("NO CAMERA", "NO
# SIGNAL"), on its row $1 of the window at x y w h.
label_width() {
  import -silent -window root -crop "${w}x1+$x+$1" +repage -depth 8 txt:- 2>/dev/null |
    awk -F'[(),]' 'NR > 1 { if ($2 < 80 && $3 < 80 && $4 < 90) n++ } END { print n + 0 }'
}

# The dark boxes of the test picture's labels ("NO SIGNAL" and the line
# under it) within rows $1 .. $1 + $2 of the screen, across the window at
# x y w h, top down: one line "ROWS WIDEST" per box, a run of rows with 40
# or more dark pixels, WIDEST the most dark pixels of one of its rows.
dark_boxes() {
  import -silent -window root -crop "${w}x$2+$x+$1" +repage -depth 8 txt:- 2>/dev/null |
    awk -F'[(),: ]+' -v rows="$2" 'NR > 1 && $3 < 80 && $4 < 80 && $5 < 90 { n[$2]++ }
      END {
        for (r = 0; r < rows; r++) {
          d = n[r] + 0
          if (d >= 40) { run++; if (d > widest) widest = d }
          else if (run) { print run, widest; run = 0; widest = 0 }
        }
        if (run) print run, widest
      }'
}

# The "Attention" message must come up: screenshot $out/attention-NAME.png,
# then it is answered with Enter.
expect_attention() { # what it is about, screenshot name
  local mid
  mid=$(wait_window Attention) || fail "no \"Attention\" message: $1"
  import -silent -window root "$out/attention-$2.png"
  xdotool windowfocus --sync "$mid" key Return
  for _ in $(seq 40); do xdotool search --onlyvisible --name '^Attention$' >/dev/null 2>&1 || return 0; sleep 0.05; done
  fail "the \"Attention\" message did not close"
}

# Clicks at main-window coordinates (the window at x y w h), then waits $3 s.
click() { xdotool mousemove $((x + $1)) $((y + $2)) sleep 0.15 click 1; sleep "${3:-0.4}"; }
record_button() { click $((w - 74)) $((h - 40)) "$@"; }
photo_button() { click $((w - 126)) $((h - 40)) "$@"; }
# How many files a folder holds.
count() { ls "$1" 2>/dev/null | wc -l; }

# Starts the program ($bin) with the virtual cameras ($vcam) of a profile,
# waits for its window and its first frame; sets pid, wid and x y w h.
start_program() { # profile
  LD_PRELOAD="$vcam" KINOVO_VCAM_PROFILE="$1" KINOVO_VCAM_LOG="$out/vcam.log" ASAN_OPTIONS=verify_asan_link_order=0 \
    "$bin" >>"$out/kinovo.log" 2>&1 &
  pid=$!
  wid=$(wait_window Kinovo) || fail "no main window"
  read -r x y w h < <(geometry "$wid")
  # The first frame and the fade-in.
  sleep 1.5
}
