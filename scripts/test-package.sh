#!/usr/bin/env bash
# Checks a Debian package of ryvo-obs the way a user meets it: its files and their modes, and then
# the installed files at work. The real OBS of this system loads the module from the package's
# paths (the module-load tests, one of which also sees the "Ryvo Delayed Stream" service selected),
# and the package's ryvo-send sends clips to the development server (the ryvo-send tests).
#
# usage: scripts/test-package.sh BUILD_DIR PACKAGE.deb [--install]
#   BUILD_DIR  a configured build tree of this source (its ctest registrations run the tests)
#   --install  install with dpkg -i, test, remove with dpkg -r and purge, and check that the
#              user's configuration is left alone (needs root; meant for a throw-away root such as
#              the OBS 32 one of scripts/test-obs32.sh). Without it the package is unpacked with
#              dpkg -x into a temporary folder that OBS is pointed at.
# lintian, when installed, runs first; an error fails the test.
set -euo pipefail

fail() {
    echo "test-package: $*" >&2
    exit 1
}
say() { echo "test-package: $*"; }

[[ $# -ge 2 ]] || fail "usage: $0 BUILD_DIR PACKAGE.deb [--install]"
build_dir=$(cd "$1" && pwd)
deb=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
install=false
[[ ${3:-} == --install ]] && install=true
[[ -f $deb ]] || fail "no package at $deb"

if command -v lintian >/dev/null; then
    say "lintian $(basename "$deb")"
    lintian --fail-on error --tag-display-limit 0 "$deb" || fail "lintian reported errors"
fi

# Nothing installed may be writable by anyone but root, or belong to anyone else.
listing=$(dpkg-deb --contents "$deb")
writable=$(awk 'substr($1, 6, 1) == "w" || substr($1, 9, 1) == "w" || $2 != "root/root"' \
    <<<"$listing")
[[ -z $writable ]] || fail "files writable by others or not owned by root:"$'\n'"$writable"
for path in usr/lib/x86_64-linux-gnu/obs-plugins/ryvo-obs.so usr/bin/ryvo-send \
    usr/share/man/man1/ryvo-send.1.gz usr/share/doc/ryvo-obs/copyright \
    usr/share/obs/obs-plugins/ryvo-obs/locale/en-US.ini; do
    grep -q " \./$path\$" <<<"$listing" || fail "the package lacks /$path"
done
# Maintainer scripts are what could touch a user's files on removal; the package has none.
dpkg-deb --ctrl-tarfile "$deb" | tar -t | grep -E 'preinst|postinst|prerm|postrm' &&
    fail "the package carries maintainer scripts"

work=$(mktemp -d "${TMPDIR:-/tmp}/ryvo-package-XXXXXX")
trap 'rm -rf "$work"' EXIT
run_tests() { # run_tests <root the package's files are under>
    RYVO_PACKAGE_ROOT=$1 RYVO_SEND_BINARY=$1/usr/bin/ryvo-send \
        ctest --test-dir "$build_dir" --output-on-failure -R '^(obs_module_load|ryvo_send_tests)$'
}

if ! $install; then
    [[ -e /usr/lib/x86_64-linux-gnu/obs-plugins/ryvo-obs.so ]] &&
        fail "a ryvo-obs module is installed system-wide; OBS would load that one as well"
    dpkg-deb -x "$deb" "$work/root"
    run_tests "$work/root"
    say "passed: $(basename "$deb") unpacked"
    exit 0
fi

[[ $(id -u) -eq 0 ]] || fail "--install needs root"
# Whatever happens, the root is left without the package for the runs that come after.
trap 'dpkg --purge ryvo-obs >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
config=$HOME/.config/Ryvo/obs-plugin.json
mkdir -p "$(dirname "$config")"
echo '{"enabled": false}' >"$config"
dpkg -i "$deb"
run_tests /
dpkg -r ryvo-obs
[[ ! -e /usr/lib/x86_64-linux-gnu/obs-plugins/ryvo-obs.so ]] || fail "dpkg -r left the module"
dpkg --purge ryvo-obs
[[ $(cat "$config") == '{"enabled": false}' ]] || fail "removing the package changed $config"
rm -rf "$HOME/.config/Ryvo"
say "passed: $(basename "$deb") installed and removed"
