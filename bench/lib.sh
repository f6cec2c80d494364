# What the benchmarks that start Kinovo and ffplay on a display share.
# Sourced after `build` is set.

# Ends the benchmark unless each file exists, saying which targets build them.
need_built() { # "TARGETS", FILE...
  local targets=$1 f
  shift
  for f in "$@"; do
    if [ ! -e "$f" ]; then
      echo "missing $f: cmake --build $build --target $targets" >&2
      exit 1
    fi
  done
}

# ffplay is there, and the screen has the size the probes' places assume.
need_ffplay_and_screen() {
  command -v ffplay >/dev/null || { echo "ffplay is missing (Debian package ffmpeg)" >&2; exit 1; }
  local screen
  screen=$(xdpyinfo | awk '/dimensions:/{print $2}')
  [ "$screen" = 1920x1080 ] || echo "warning: the screen is $screen, not 1920x1080; the probe may miss" >&2
}

# ffplay showing the virtual 1080p camera where Kinovo's 1080p window shows
# its picture: 1536x864 at (222,138). The X11 placement options are ignored
# on Wayland, where the compositor places the window.
ffplay_at_picture=(ffplay -hide_banner -loglevel error -an -noborder -left 222 -top 138 -x 1536 -y 864
  -f v4l2 -input_format mjpeg -video_size 1920x1080 -framerate 30 -i /dev/video0)
