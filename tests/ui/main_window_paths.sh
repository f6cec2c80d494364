#!/usr/bin/env bash
# Where the real program puts its files, checked by the bytes of their
# names: a home folder whose name is no UTF-8, Videos and Pictures folders
# set in user-dirs.dirs that do not exist yet, and the fallbacks of a user
# without such settings. Each case records, takes a photo and ends.
#   main_window_paths.sh KINOVO VCAM_LIBRARY PROFILE_DIR OUTDIR
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"
bin=$1 vcam=$2 profiles=$3 out=$4
mkdir -p "$out"
: >"$out/kinovo.log"

# The address the file manager is given for a path: its bytes, each one
# outside the unreserved set percent-encoded.
file_url() {
  local LC_ALL=C s=$1 url="" c i
  for ((i = 0; i < ${#s}; i++)); do
    c=${s:i:1}
    case $c in
      [A-Za-z0-9/._~-]) url+=$c ;;
      *) url+=$(printf '%%%02X' "'$c") ;;
    esac
  done
  echo "file://$url"
}

# Latin-1, not UTF-8: "h\xff\xfeome" and "Vid\xe9os".
home=$out/$'h\xff\xfeome'
vids=$'Vid\xe9os'

# case | user-dirs.dirs lines | folders made beforehand | expected videos | expected pictures
cases=(
  "set-missing|XDG_VIDEOS_DIR=\"\$HOME/$vids\"@XDG_PICTURES_DIR=\"\$HOME/Pics\"||$vids|Pics"
  "quoted|XDG_VIDEOS_DIR=\"\$HOME/My \\\"Clips\\\"\"@XDG_PICTURES_DIR=\"$home/abs\"||My \"Clips\"|abs"
  "unset|||Videos|Pictures"
  "disabled-desktop|XDG_VIDEOS_DIR=\"\$HOME/\"@XDG_DESKTOP_DIR=\"\$HOME/Desk\"|Desk|Desk|Desk"
)

unset XDG_CONFIG_HOME
for row in "${cases[@]}"; do
  IFS='|' read -r name lines made want_videos want_pictures <<<"$row"
  rm -rf "$out"/h*ome "$out"/h$'\xef\xbf\xbd'*
  export HOME=$home
  mkdir -p "$HOME/.config"
  [ -n "$lines" ] && tr '@' '\n' <<<"$lines" >"$HOME/.config/user-dirs.dirs"
  [ -n "$made" ] && mkdir -p "$HOME/$made"

  start_program "$profiles/one-camera.ini"
  record_button 2
  record_button 1
  photo_button 1.5
  xdotool windowfocus --sync "$wid" key Escape
  wait_exit "$pid" 15 || { kill -9 "$pid"; fail "$name: Escape did not end the program"; }
  pid=""
  [ "$exit_code" = 0 ] || fail "$name: exit code $exit_code"

  videos=$HOME/$want_videos pictures=$HOME/$want_pictures
  video=$(find "$videos" -maxdepth 1 -name 'video_*.avi' 2>/dev/null | head -1)
  photo=$(find "$pictures" -maxdepth 1 -name 'img_*.jpg' 2>/dev/null | head -1)
  [ -n "$video" ] || fail "$name: no recording in $(printf %q "$videos"): $(find "$out" -name 'video_*' | od -c | head)"
  [ -n "$photo" ] || fail "$name: no photo in $(printf %q "$pictures"): $(find "$out" -name 'img_*' | od -c | head)"
  check_avi "$video" sound ""
  identify "$photo" >/dev/null || fail "$name: the photo is not a picture"
  # Nothing went anywhere else, nor to a folder whose name lost its bytes.
  others=$(find "$out" \( -name 'video_*' -o -name 'img_*' \) ! -path "$video" ! -path "$photo")
  [ -z "$others" ] || fail "$name: files elsewhere: $(od -c <<<"$others" | head)"
  [ -z "$(find "$out" -maxdepth 1 -name $'h\xef\xbf\xbd*')" ] || fail "$name: a folder with U+FFFD in its name was made"
  if [ -n "${KINOVO_FILEMANAGER_LOG:-}" ]; then
    url=$(file_url "$video")
    tail -n "+$fm_from" "$KINOVO_FILEMANAGER_LOG" | grep -qF "$url" \
      || fail "$name: the file manager was not given $url: $(tail -2 "$KINOVO_FILEMANAGER_LOG")"
  fi
  echo "$name: $(printf %q "$video") $(printf %q "$photo")"
done
echo "main window paths: ok"
