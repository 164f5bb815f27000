#!/bin/bash
# Builds the Debian package from a configured and built tree, checks what it
# holds and declares, unpacks it into a temporary root and runs both programs
# from there as an ordinary user (nobody) with a fresh home folder.
#   package_test.sh BUILD_DIR VERSION
# With RASTEL_SCREENSHOT=FILE.png the window program's screen is saved there.
# Exit 77 (skipped) when not root or a tool is missing.
set -euo pipefail
build=$(cd "$1" && pwd)
version=$2
source_dir=$(cd "$(dirname "$0")/../.." && pwd)

fail() {
    echo "FAIL: $*" >&2
    exit 1
}
if [ "$(id -u)" != 0 ]; then
    echo "skipped: switching to an ordinary user needs root" >&2
    exit 77
fi
for tool in cpack dpkg-deb desktop-file-validate appstreamcli setpriv Xvfb xdotool xprop; do
    command -v "$tool" >/dev/null || { echo "skipped: $tool is missing (scripts/install-deps)" >&2; exit 77; }
done

work=$(mktemp -d /tmp/rastel-package.XXXXXX)
xvfb=
app=
cleanup() {
    local status=$?
    if [ -n "$app" ]; then kill "$app" 2>/dev/null; wait "$app" 2>/dev/null || true; fi
    if [ -n "$xvfb" ]; then kill "$xvfb" 2>/dev/null; wait "$xvfb" 2>/dev/null || true; fi
    rm -rf "$work"
    exit "$status"
}
trap cleanup EXIT
chmod 755 "$work"

# The package and its control fields.
cpack -G DEB -B "$work/out" --config "$build/CPackConfig.cmake" >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log"; fail "cpack"; }
deb=$(echo "$work"/out/rastel_*.deb)
[ -f "$deb" ] || fail "no rastel_*.deb in $(ls "$work/out")"
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Version)" = "$version" ] || fail "Version $(field Version), expected $version"
depends=$(field Depends)
for dep in libc6 libstdc++6 libqt6widgets6 libqt6core6 libtiff6 libjpeg62-turbo libpng16-16 qt6-qpa-plugins libqt6svg6; do
    [[ ", $depends," == *", $dep "* || ", $depends," == *", $dep,"* ]] || fail "Depends lacks $dep: $depends"
done
[[ "$depends" != *-dev* && "$depends" != *libasan* ]] || fail "Depends names a build-only library: $depends"
[[ "$(field Recommends)" == *ghostscript* ]] || fail "Recommends lacks ghostscript"

# Every file it installs, and nothing outside the places a desktop program uses.
required=(
    usr/bin/rastel usr/bin/rastel-batch
    usr/share/applications/rastel.desktop
    usr/share/icons/hicolor/scalable/apps/rastel.svg
    usr/share/man/man1/rastel.1.gz usr/share/man/man1/rastel-batch.1.gz
    usr/share/doc/rastel/README.md
)
files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sed 's|^\./||')
for f in "${required[@]}"; do
    grep -qx "$f" <<<"$files" || fail "package lacks $f"
done
grep -qx 'usr/share/metainfo/[^/]*\.metainfo\.xml' <<<"$files" || fail "package lacks the metainfo"
unexpected=$(grep -v -x -e 'usr/bin/rastel' -e 'usr/bin/rastel-batch' -e 'usr/share/applications/rastel\.desktop' \
    -e 'usr/share/icons/hicolor/scalable/apps/rastel\.svg' -e 'usr/share/metainfo/[^/]*\.metainfo\.xml' \
    -e 'usr/share/man/man1/rastel\(-batch\)\?\.1\.gz' -e 'usr/share/doc/rastel/.*\.md' <<<"$files" || true)
[ -z "$unexpected" ] || fail "unexpected files in the package: $unexpected"

root=$work/root
dpkg-deb -x "$deb" "$root"
desktop-file-validate "$root/usr/share/applications/rastel.desktop" || fail "desktop-file-validate"
metainfo=$(echo "$root"/usr/share/metainfo/*.metainfo.xml)
appstreamcli validate --no-net "$metainfo" >"$work/appstream.log" 2>&1 ||
    { cat "$work/appstream.log"; fail "appstreamcli validate"; }
grep -q "<release version=\"$version\"" "$metainfo" || fail "metainfo release is not $version"
for program in rastel rastel-batch; do
    first=$(env -u DISPLAY "$root/usr/bin/$program" --version | head -n 1)
    [ "$first" = "$program (Rastel) $version" ] || fail "$program --version says \"$first\""
    env -u DISPLAY "$root/usr/bin/$program" --help | grep -q "^Usage: $program" || fail "$program --help"
done

# An ordinary user with a fresh home and no settings file anywhere.
home=$work/home
mkdir -p "$home/run"
cp "$source_dir/samples/photo.jpg" "$home/"
chown -R 65534:65534 "$home"
chmod 700 "$home/run"
as_user() {
    env -i HOME="$home" PATH=/usr/bin:/bin LANG=C.UTF-8 XDG_RUNTIME_DIR="$home/run" \
        setpriv --reuid=65534 --regid=65534 --clear-groups "$@"
}
as_user "$root/usr/bin/rastel-batch" "$home/photo.jpg" || fail "rastel-batch as an ordinary user exited with $?"
[ -s "$home/photo.bmp" ] || fail "rastel-batch wrote no $home/photo.bmp"
[ -s "$home/.config/rastel/Rastel.ini" ] || fail "rastel-batch left no settings in $home/.config/rastel/"

# The window program shows its main window (a normal window, not a message box).
Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp 3>"$work/display" 2>/dev/null &
xvfb=$!
for _ in $(seq 100); do
    [ -s "$work/display" ] && break
    sleep 0.1
done
[ -s "$work/display" ] || fail "Xvfb did not start"
export DISPLAY=:$(cat "$work/display")
as_user env DISPLAY="$DISPLAY" "$root/usr/bin/rastel" &
app=$!
kinds=
for _ in $(seq 150); do
    kinds=$(for w in $(xdotool search --onlyvisible --name '^Rastel$' 2>/dev/null); do
        xprop -id "$w" _NET_WM_WINDOW_TYPE; done)
    [[ "$kinds" == *_NET_WM_WINDOW_TYPE_NORMAL* || "$kinds" == *_NET_WM_WINDOW_TYPE_DIALOG* ]] && break
    kill -0 "$app" 2>/dev/null || fail "rastel ended before showing its window"
    sleep 0.2
done
sleep 0.5
if [ -n "${RASTEL_SCREENSHOT:-}" ]; then import -window root "$RASTEL_SCREENSHOT"; fi
[[ "$kinds" != *_NET_WM_WINDOW_TYPE_DIALOG* ]] || fail "rastel shows a message box instead of its window"
[[ "$kinds" == *_NET_WM_WINDOW_TYPE_NORMAL* ]] || fail "rastel showed no window"

[ "$(ls "$root/usr/bin")" = "$(printf 'rastel\nrastel-batch')" ] || fail "something was written beside the programs"
echo "package $(basename "$deb"): contents, fields, validators and an ordinary user's runs are fine"
