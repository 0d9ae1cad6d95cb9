#!/bin/sh
# Start-up of the ornrender command: `--version`, an empty scene (a camera, options and a
# render statement, no output) with and without the progress display, and the same scene
# writing a PNG (which loads the image library), each run N times (default 11). Prints the
# median wall time, the median peak resident set and the number of shared libraries mapped.
#
#   bench/startup.sh [build/bin/ornrender [N]]
set -e
ornrender="${1:-build/bin/ornrender}"
runs="${2:-11}"
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
scene() { # $1: the camera's output statement, or nothing
    cat <<SCENE
camera "cam" $1 resolution 8 8 end camera
instance "cam_i" "cam" end instance
instgroup "root" "cam_i" end instgroup
options "opt" end options
render "root" "cam_i" "opt"
SCENE
}
scene "" > "$dir/empty.mi"
scene "output \"rgba\" \"png\" \"$dir/out.png\"" > "$dir/png.mi"

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

measure() { # label, then the arguments
    label="$1"
    shift
    : > "$dir/us"
    : > "$dir/kib"
    i=0
    while [ "$i" -lt "$runs" ]; do
        start=$(date +%s%N)
        /usr/bin/time -o "$dir/rss" -f %M "$ornrender" "$@" > /dev/null 2>&1
        end=$(date +%s%N)
        echo $(((end - start) / 1000)) >> "$dir/us"
        cat "$dir/rss" >> "$dir/kib"
        i=$((i + 1))
    done
    libs=$(LD_DEBUG=files "$ornrender" "$@" 2>&1 >/dev/null | sed -n 's/.*file=\([^ ]*\) .*/\1/p' | sed 's:.*/::' | sort -u | wc -l)
    printf '| %s | %.3f | %.1f | %s |\n' "$label" "$(median < "$dir/us" | awk '{ print $1 / 1e6 }')" \
        "$(median < "$dir/kib" | awk '{ print $1 / 1024 }')" "$libs"
}

echo "| run | wall s (median of $runs) | peak RSS MiB | libraries loaded |"
echo "|---|---|---|---|"
measure "--version" --version
measure "empty scene, -q" -q "$dir/empty.mi"
measure "empty scene, progress shown" "$dir/empty.mi"
measure "8 x 8 PNG output, -q" -q "$dir/png.mi"
