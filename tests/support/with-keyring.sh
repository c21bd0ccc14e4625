#!/usr/bin/env bash
# Runs a command inside a private D-Bus session with its own gnome-keyring, whose default ("login")
# collection was made from the password "test" and is unlocked, so that tests can store and read
# credentials without touching the real user's keyring. Also a ctest WRAPPER.
#
#   tests/support/with-keyring.sh <command> [args...]
#
# HOME and the XDG directories point into a temporary directory; DISPLAY and XAUTHORITY pass
# through, so the wrapper nests inside an Xvfb wrapper. Works as root and without any session bus.
set -euo pipefail

wait_for_keyring() {
    # The bus cannot start the keyring by activation, and the login collection may come a moment
    # after the daemon: the default alias is asked for until it resolves, 200 times 50 ms at most.
    local reply
    for _ in $(seq 200); do
        if reply=$(dbus-send --session --print-reply --dest=org.freedesktop.secrets \
            /org/freedesktop/secrets org.freedesktop.Secret.Service.ReadAlias \
            string:default 2>/dev/null) && [[ "$reply" == *'/collection/login"'* ]]; then
            reply=$(dbus-send --session --print-reply --dest=org.freedesktop.secrets \
                /org/freedesktop/secrets/collection/login org.freedesktop.DBus.Properties.Get \
                string:org.freedesktop.Secret.Collection string:Locked)
            if [[ "$reply" == *'boolean false'* ]]; then
                return 0
            fi
            echo "with-keyring: the login collection is locked" >&2
            return 1
        fi
        sleep 0.05
    done
    echo "with-keyring: the keyring daemon did not come up" >&2
    return 1
}

if [[ "${RYVO_WITH_KEYRING_INNER:-}" != 1 ]]; then
    home=$(mktemp -d "${TMPDIR:-/tmp}/ryvo-keyring.XXXXXX")
    trap 'rm -rf "$home"' EXIT
    mkdir -m 700 "$home/run"
    # A session bus without service activation: nothing but the daemon started below can appear
    # on it, so a stray unlock prompt fails at once instead of opening a window on $DISPLAY and
    # waiting for an answer.
    cat >"$home/session.conf" <<EOF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:dir=$home/run</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
EOF
    status=0
    env -u DBUS_SESSION_BUS_ADDRESS -u GNOME_KEYRING_CONTROL -u SSH_AUTH_SOCK \
        HOME="$home" XDG_CONFIG_HOME="$home/.config" XDG_DATA_HOME="$home/.local/share" \
        XDG_CACHE_HOME="$home/.cache" XDG_RUNTIME_DIR="$home/run" RYVO_WITH_KEYRING_INNER=1 \
        dbus-run-session --config-file="$home/session.conf" -- "$0" "$@" || status=$?
    exit "$status"
fi

# Inside the private session. Tests that write to the keyring check RYVO_PRIVATE_KEYRING, so that
# they never run against a real user's keyring.
unset RYVO_WITH_KEYRING_INNER
export RYVO_PRIVATE_KEYRING=1
printf test |
    gnome-keyring-daemon --foreground --unlock --components=secrets >/dev/null 2>&1 &
daemon=$!
trap 'kill "$daemon" 2>/dev/null || true; wait "$daemon" 2>/dev/null || true' EXIT
wait_for_keyring
status=0
"$@" || status=$?
exit "$status"
