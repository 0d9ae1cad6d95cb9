#!/bin/sh
# The module exports only its shaders, their version/init/exit functions, the feather
# callback and miSetModuleHandle, and has no link-time dependency on the renderer.
set -e
module="$1"
decl="$2"
allowed=$(mktemp)
trap 'rm -f "$allowed"' EXIT
# a shader's name is the quoted word before the opening parenthesis of its parameter list
grep -E '"[A-Za-z_0-9]+"[[:space:]]*\($' "$decl" \
    | sed -E 's/.*"([A-Za-z_0-9]+)".*/\1/' | while read -r n; do
        printf '%s\n%s_version\n%s_init\n%s_exit\n' "$n" "$n" "$n" "$n"
    done > "$allowed"
printf 'geofeather_cb\nmiSetModuleHandle\n' >> "$allowed"
bad=$(nm -D --defined-only "$module" | awk '{print $3}' | grep -vxF -f "$allowed" || true)
if [ -n "$bad" ]; then
    echo "unexpected exports in $module:"; echo "$bad"; exit 1
fi
if readelf -d "$module" | grep NEEDED | grep -q ornrender; then
    echo "$module links against the renderer"; exit 1
fi
nm -D --defined-only "$module" | grep -q ' miSetModuleHandle$' || { echo "miSetModuleHandle not exported"; exit 1; }
echo "exports ok"
