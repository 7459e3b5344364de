#!/usr/bin/env bash
# Signing with a code-signing certificate, here a throwaway self-signed one made for the test:
# cpack makes the zip and the installer again, into a folder of the test's own, with the
# certificate in the environment (windows/sign.cmake), and osslsigncode verify finds the executable
# in the zip, the installer, and the executable and uninstaller that the installer puts in place
# (installed silently under Wine and uninstalled again) signed by it. The packages made without a
# certificate carry no signature, and the signed executable is the unsigned one with the signature
# attached, byte for byte.
#
# Usage: signing.sh BUILD WINEPREFIX UNSIGNED_ZIP UNSIGNED_INSTALLER
#   BUILD       the Windows build folder, packed already once
#   WINEPREFIX  the installer test's prefix, where nothing of this program is installed now
set -euo pipefail
BUILD=$(realpath "$1")
PREFIX=$(realpath -m "$2")
UNSIGNED_ZIP=$(realpath "$3")
UNSIGNED_INSTALLER=$(realpath "$4")
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
WAIT=${TRANSPORT_SETTINGS_TEST_WAIT:-60}

fail()
{
    echo "FAIL: $*" >&2
    exit 1
}
step()
{
    echo "--- [${SECONDS}s] $*"
}
run()
{
    bash "$HERE/wine.sh" --prefix "$PREFIX" "$@"
}
WORK=$(mktemp -d "${TMPDIR:-/tmp}/transport-settings-signing.XXXXXX")
trap 'rm -rf "$WORK"' EXIT

signed()
{
    osslsigncode verify -CAfile "$WORK/cert.pem" -in "$1" >"$WORK/verify.log" 2>&1
}

step "without a certificate nothing is signed"
mkdir "$WORK/unsigned"
(cd "$WORK/unsigned" && cmake -E tar xf "$UNSIGNED_ZIP")
UNSIGNED_EXE=$(ls "$WORK"/unsigned/transport-settings-*-win64/transport-settings.exe)
for file in "$UNSIGNED_INSTALLER" "$UNSIGNED_EXE"; do
    osslsigncode verify -in "$file" >"$WORK/verify.log" 2>&1 && fail "$file is signed"
    grep -q 'No signature found' "$WORK/verify.log" || { cat "$WORK/verify.log" >&2; fail "$file: no answer"; }
done

step "a throwaway certificate"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -keyout "$WORK/key.pem" -out "$WORK/cert.pem" \
    -subj "/CN=transport-settings test signing" -addext "keyUsage=digitalSignature" \
    -addext "extendedKeyUsage=codeSigning" 2>/dev/null
printf 'throwaway %s' "$RANDOM$RANDOM" >"$WORK/password"
openssl pkcs12 -export -inkey "$WORK/key.pem" -in "$WORK/cert.pem" -out "$WORK/cert.pfx" \
    -passout "file:$WORK/password"

step "signed packages"
(cd "$BUILD" && TRANSPORT_SETTINGS_SIGN_PFX=$WORK/cert.pfx TRANSPORT_SETTINGS_SIGN_PASSWORD_FILE=$WORK/password \
    cpack -G "ZIP;NSIS" -B "$WORK/packages") >"$WORK/cpack.log" 2>&1 || { cat "$WORK/cpack.log" >&2; fail "cpack"; }
ZIP=$(ls "$WORK"/packages/transport-settings-*-win64.zip)
INSTALLER=$(ls "$WORK"/packages/transport-settings-*-win64.exe)
signed "$INSTALLER" || { cat "$WORK/verify.log" >&2; fail "the installer is not signed"; }
(cd "$WORK" && cmake -E tar xf "$ZIP")
SIGNED_EXE=$(ls "$WORK"/transport-settings-*-win64/transport-settings.exe)
signed "$SIGNED_EXE" || { cat "$WORK/verify.log" >&2; fail "the zip's executable is not signed"; }

step "the signed executable is the unsigned one and its signature"
# As docs/reproducible.md has an administrator check a signed program against a build of their
# own: its signature, attached to the unsigned program, gives the signed one byte for byte.
# attached SIGNED UNSIGNED
attached()
{
    rm -f "$WORK/signature.p7"
    osslsigncode extract-signature -in "$1" -out "$WORK/signature.p7" >"$WORK/extract.log" 2>&1 \
        || { cat "$WORK/extract.log" >&2; fail "osslsigncode extract-signature -in $1"; }
    rm -f "$WORK/attached.exe"
    osslsigncode attach-signature -sigin "$WORK/signature.p7" -CAfile "$WORK/cert.pem" -in "$2" \
        -out "$WORK/attached.exe" >"$WORK/attach.log" 2>&1 || { cat "$WORK/attach.log" >&2; fail "osslsigncode attach-signature -in $2"; }
    cmp -s "$WORK/attached.exe" "$1"
}
attached "$SIGNED_EXE" "$UNSIGNED_EXE" || fail "the unsigned executable with the signature attached is not the signed one"

step "the signed installer's executable and uninstaller"
DIR=$PREFIX/drive_c/signed/transport-settings
[ ! -e "$DIR" ] || fail "$DIR exists already"
run "$INSTALLER" /S '/D=C:\signed\transport-settings' || fail "the signed installer ended with $?"
for file in transport-settings.exe Uninstall.exe; do
    signed "$DIR/$file" || { cat "$WORK/verify.log" >&2; fail "the installed $file is not signed"; }
done
# What it installs is the unsigned zip's files, the executable with a signature of its own: cpack
# signs it again for the installer.
(cd "$WORK"/unsigned/transport-settings-*-win64 && find . -type f ! -name transport-settings.exe -print0) \
    | while IFS= read -r -d '' file; do
        cmp -s "$(dirname "$UNSIGNED_EXE")/$file" "$DIR/$file" || fail "the signed installer installs another ${file#./}"
    done
attached "$DIR/transport-settings.exe" "$UNSIGNED_EXE" || fail "the signed installer installs another transport-settings.exe"
run "$DIR/Uninstall.exe" /S || fail "the uninstaller ended with $?"
deadline=$((SECONDS + WAIT))
while [ -e "$DIR/transport-settings.exe" ] || [ -e "$DIR/Uninstall.exe" ]; do
    [ $SECONDS -lt $deadline ] || fail "the program was still installed ${WAIT}s after uninstalling"
    sleep 0.2
done
WINEPREFIX=$PREFIX /usr/lib/wine/wineserver64 -w || true
rm -rf "$PREFIX/drive_c/signed"
echo "PASS: unsigned without a certificate; with one, the installer, the uninstaller and the executable signed"
