#!/bin/sh
# The Debian package of this build: exactly the files a system should get, owned by root,
# its dependencies and maintainer scripts, and that the installed layout works: kwflash and
# the window on the PATH find their helper and the library the alternatives link names.
#   deb.sh BUILD_DIR VERSION EXAMPLES_DIR
set -eu
BUILD=$(cd "$1" && pwd)
VERSION=$2
EXAMPLES=$3
SCRATCH=$(mktemp -d)
trap 'rm -rf "$SCRATCH"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

(cd "$BUILD" && cpack -G DEB -B "$SCRATCH/out") >"$SCRATCH/cpack.log" 2>&1 ||
    { cat "$SCRATCH/cpack.log"; fail "cpack"; }
deb=$SCRATCH/out/kaliwire_${VERSION}_$(dpkg --print-architecture).deb
[ -f "$deb" ] || fail "no $(basename "$deb"), only: $(ls "$SCRATCH/out")"

# Every file and link, with its owner and mode; folders aside.
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {
        sub(/^\./, "", $6); line = $1 " " $2 " " $6; if ($7 == "->") line = line " -> " $8
        print line }' |
    sort >"$SCRATCH/files"
cat >"$SCRATCH/expected" <<'LIST'
-rw-r--r-- root/root /usr/lib/kaliwire/standin/TOLVANEX.dll
-rw-r--r-- root/root /usr/lib/kaliwire/stlink/TOLVANEX.dll
-rw-r--r-- root/root /usr/lib/udev/rules.d/60-kaliwire-stlink.rules
-rw-r--r-- root/root /usr/share/applications/kaliwire.desktop
-rw-r--r-- root/root /usr/share/bash-completion/completions/kwflash
-rw-r--r-- root/root /usr/share/doc/kaliwire/changelog.gz
-rw-r--r-- root/root /usr/share/doc/kaliwire/copyright
-rw-r--r-- root/root /usr/share/icons/hicolor/scalable/apps/kaliwire.svg
-rw-r--r-- root/root /usr/share/man/man1/kaliwire.1.gz
-rw-r--r-- root/root /usr/share/man/man1/kwflash.1.gz
-rw-r--r-- root/root /usr/share/mime/packages/kaliwire.xml
-rwxr-xr-x root/root /usr/lib/kaliwire/kaliwire
-rwxr-xr-x root/root /usr/lib/kaliwire/kaliwire-programmer
-rwxr-xr-x root/root /usr/lib/kaliwire/kwflash
lrwxrwxrwx root/root /usr/bin/kaliwire -> ../lib/kaliwire/kaliwire
lrwxrwxrwx root/root /usr/bin/kwflash -> ../lib/kaliwire/kwflash
LIST
sort -o "$SCRATCH/expected" "$SCRATCH/expected"
diff "$SCRATCH/expected" "$SCRATCH/files" || fail "the package's files differ (< expected, > packaged)"

# Dependencies: the linked libraries from dpkg-shlibdeps and the Qt plugins the window loads.
depends=$(dpkg-deb -f "$deb" Depends)
for package in libc6 libstdc++6 libqt6widgets6 libusb-1.0-0 qt6-qpa-plugins libqt6svg6; do
    case ", $depends," in
    *", $package,"* | *", $package ("*) ;;
    *) fail "Depends lacks $package: $depends" ;;
    esac
done
[ "$(dpkg-deb -f "$deb" Version)" = "$VERSION" ] || fail "version $(dpkg-deb -f "$deb" Version)"
zcat "$BUILD/packaging/doc/changelog.gz" | head -1 | grep -q "^kaliwire ($VERSION)" ||
    fail "the changelog does not start at $VERSION"

# The maintainer scripts register both libraries with the ST-LINK one preferred, remove them
# again, and purge removes the settings a root user's window left.
dpkg-deb -e "$deb" "$SCRATCH/control"
for script in postinst prerm postrm; do
    [ -x "$SCRATCH/control/$script" ] || fail "$script missing or not executable"
    sh -n "$SCRATCH/control/$script" || fail "$script does not parse"
done
grep -q "stlink/TOLVANEX.dll 50" "$SCRATCH/control/postinst" || fail "postinst: no ST-LINK default"
grep -q "standin/TOLVANEX.dll 10" "$SCRATCH/control/postinst" || fail "postinst: no stand-in"
[ "$(grep -c 'update-alternatives --remove' "$SCRATCH/control/prerm")" = 2 ] || fail "prerm"
grep -q "rm -f /usr/lib/kaliwire/TOLVANEX.INI" "$SCRATCH/control/postrm" || fail "postrm"

root=$SCRATCH/root
dpkg-deb -x "$deb" "$root"
desktop-file-validate "$root/usr/share/applications/kaliwire.desktop"
grep -q '^Exec=kaliwire %f$' "$root/usr/share/applications/kaliwire.desktop" || fail "Exec line"
grep -q '^MimeType=.*text/x-hex' "$root/usr/share/applications/kaliwire.desktop" || fail "MimeType"

# What postinst's alternative leaves, with the stand-in chosen: kwflash through its link on the
# PATH writes and verifies an image.
ln -s standin/TOLVANEX.dll "$root/usr/lib/kaliwire/TOLVANEX.dll"
export XDG_STATE_HOME="$SCRATCH/state" TOLVANEX_STANDIN=delay=0
[ "$("$root/usr/bin/kwflash" --version)" = "kwflash $VERSION" ] || fail "kwflash --version"
"$root/usr/bin/kwflash" write "$EXAMPLES/blink.bin" --quiet || fail "packaged kwflash write"
"$root/usr/bin/kwflash" verify "$EXAMPLES/blink.bin" --quiet || fail "packaged kwflash verify"
# The window starts from its link and stays up until it is closed.
QT_QPA_PLATFORM=offscreen "$root/usr/bin/kaliwire" &
pid=$!
sleep 1.5
kill -0 $pid 2>/dev/null || fail "the packaged window ended by itself"
kill -TERM $pid
wait $pid || fail "the packaged window exited with status $?"
echo "package ok: $(basename "$deb"), $(wc -l <"$SCRATCH/files") files"
