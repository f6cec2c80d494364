#!/usr/bin/env bash
# The real program at the edges of its files: a disk with less than 100 MB
# free, free space running out during a recording and no new start until
# space is freed, a folder that cannot be written, a photo of an
# 854-pixel-wide mode, a photo taken during a recording, and a photo on a
# full disk. The folders are small tmpfs mounts
# in a mount namespace of the test's own, which nothing outside it sees.
#   main_window_edges.sh KINOVO VCAM_LIBRARY PROFILE_DIR OUTDIR
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"
if [ -z "${KINOVO_EDGES_NS:-}" ]; then
  if ! unshare -m --propagation private mount -t tmpfs -o size=1m tmpfs /mnt 2>/dev/null; then
    echo "SKIP: no private mount namespace with tmpfs here (needs root or CAP_SYS_ADMIN)"
    exit 77
  fi
  KINOVO_EDGES_NS=1 exec unshare -m --propagation private "$0" "$@"
fi
bin=$1 vcam=$2 profiles=$3 out=$4
mkdir -p "$out"
: >"$out/kinovo.log"

user_folders
mib=1048576

start_program "$profiles/wide.ini"
free_bytes() { stat -f -c '%a %S' "$1" | awk '{ printf "%.0f\n", $1 * $2 }'; }

# ---- less than 100 MB free: the recording does not start
mount -t tmpfs -o size=99m tmpfs "$videos" || fail "mount tmpfs"
record_button 0
expect_attention "a recording with 99 MB free" low-space
[ "$(count "$videos")" = 0 ] || fail "a file was made with 99 MB free: $(ls "$videos")"
kill -0 "$pid" || fail "the program ended"

# ---- free space falls below 100 MB during a recording: stopped, playable
mount -o remount,size=400m "$videos" || fail "remount tmpfs"
record_button 0
sleep 2
[ "$(count "$videos")" = 1 ] || fail "no recording with 400 MB free"
video=$videos/$(ls "$videos")
# Another program takes the space, leaving just under 100 MB: less than
# what the recording keeps aside for the end of its file.
fallocate -l $(( $(free_bytes "$videos") - 100 * mib + 128 * 1024 )) "$videos/filler" || fail "fallocate"
expect_attention "free space running out during a recording" space-ran-out
grep -q "stopped: .* bytes free, fewer than 104857600" "$out/kinovo.log" \
  || fail "the stop for space was not logged: $(tail -3 "$out/kinovo.log")"
# What the recording kept aside for its end came back at the stop; a new
# start is refused all the same until space is freed.
sleep 0.5
echo "free after the stop for space: $(free_bytes "$videos")"
record_button 0
expect_attention "a new start after the stop for space" low-space-again
[ "$(ls "$videos" | grep -c '^video_')" = 1 ] || fail "a recording started after the stop for space: $(ls -l "$videos")"
[ "$(grep -c 'recording not started: .* bytes free' "$out/kinovo.log")" = 2 ] \
  || fail "the refused start was not logged: $(tail -3 "$out/kinovo.log")"
rm -f "$videos/filler"
sleep 0.5
check_avi "$video" sound ""
fm_calls | grep -q "$(basename "$video")" || [ -z "${KINOVO_FILEMANAGER_LOG:-}" ] \
  || fail "the stopped recording was not shown in the file manager"

# ---- a folder that cannot be written: said, no file
mount -o remount,ro "$videos" || fail "remount read-only"
record_button 0
expect_attention "a read-only Videos folder" read-only
mount -o remount,rw "$videos"
[ "$(count "$videos")" = 1 ] || fail "files after the read-only attempt: $(ls "$videos")"

# ---- a photo during a recording is shown in the file manager after it,
# just before the video; photos are 854 x 480 and decode cleanly
record_button 0
sleep 1
photo_button 1.5
photo=$pictures/$(ls "$pictures" | head -1)
[ -f "$photo" ] || fail "no photo during the recording"
fm_calls | grep -q "$(basename "$photo")" && fail "the photo was shown while the recording ran"
record_button 1
video=$videos/$(ls -t "$videos" | head -1)
check_avi "$video" sound ""
if [ -n "${KINOVO_FILEMANAGER_LOG:-}" ]; then
  last_two=$(fm_calls | tail -2)
  echo "$last_two" | head -1 | grep -q "$(basename "$photo")" || fail "photo not shown first: $last_two"
  echo "$last_two" | tail -1 | grep -q "$(basename "$video")" || fail "video not shown last: $last_two"
fi
photo_button 1.5
[ "$(count "$pictures")" = 2 ] || fail "two photos expected: $(ls "$pictures")"
for p in "$pictures"/*.jpg; do
  [ "$(identify -format '%w x %h' "$p")" = "854 x 480" ] || fail "$p is $(identify -format '%w x %h' "$p")"
  ffmpeg -v error -i "$p" -f null - 2>"$out/decode.txt" && [ ! -s "$out/decode.txt" ] \
    || fail "$p does not decode cleanly: $(head -3 "$out/decode.txt")"
done
cp "$photo" "$out/photo-854.jpg"
fm_calls | grep -q "_0002.jpg" && fail "the second photo opened the file manager again"

# ---- a photo that cannot be written (its disk is full): said, nothing left
mount -t tmpfs -o size=256k tmpfs "$pictures" || fail "mount tmpfs on Pictures"
dd if=/dev/zero of="$pictures/filler" bs=4k 2>/dev/null
photo_button 0
expect_attention "a photo on a full disk" photo-full
ls "$pictures" | grep -q '^img_' && fail "a broken photo was left: $(ls -l "$pictures")"
umount "$pictures"

xdotool windowfocus --sync "$wid" key Escape
wait_exit "$pid" 15 || { kill -9 "$pid"; fail "Escape did not end the program"; }
[ "$exit_code" = 0 ] || fail "exit code $exit_code"
echo "main window at the edges: ok"
