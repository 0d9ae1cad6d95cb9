#!/bin/sh
# The image library (and the few hundred libraries behind it) is loaded only by a frame that
# reads or writes an image: start-up and an empty scene never load it, a PNG output does. The
# live view's HTTP library is loaded only by --view.
set -e
ornrender="$1"
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
scene() { # $1: camera output statement or nothing
    cat <<SCENE
camera "cam" $1 resolution 2 2 end camera
instance "cam_i" "cam" end instance
instgroup "root" "cam_i" end instgroup
options "opt" end options
render "root" "cam_i" "opt"
SCENE
}
scene "" > "$dir/empty.mi"
scene 'output "rgb" "png" "e.png"' > "$dir/png.mi"
loads() {
    LD_DEBUG=files "$ornrender" -q -o "$dir" "$@" > "$dir/log" 2>&1
    grep -q 'file=libOpenImageIO' "$dir/log"
}
if loads --version; then echo "--version loads OpenImageIO"; exit 1; fi
# Nor is the live view's HTTP library, unless --view asks for it.
if LD_DEBUG=files "$ornrender" -q "$dir/empty.mi" 2>&1 | grep -q 'file=libcpp-httplib'; then
    echo "a render without --view loads the HTTP library"; exit 1
fi
if loads "$dir/empty.mi"; then echo "an empty scene loads OpenImageIO"; exit 1; fi
if ! loads "$dir/png.mi"; then echo "a PNG output did not load OpenImageIO"; exit 1; fi
[ -s "$dir/e.png" ] || { echo "no PNG written"; exit 1; }
echo "image library loaded on demand"
