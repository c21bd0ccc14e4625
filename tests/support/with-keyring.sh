#!/usr/bin/env bash
# with-keyring.sh <command> [args...]: runs the command (or ctest case) in a private D-Bus session
# with its own gnome-keyring, "login" collection unlocked with the password "test", and HOME and the
# XDG directories in a temporary directory. DISPLAY passes through to nest inside an Xvfb wrapper.
set -euo pipefail

wait_for_keyring() {
    # The login collection may come a moment after the daemon: 200 times 50 ms at most.
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

# Tests that write to the keyring check RYVO_PRIVATE_KEYRING, never to touch a user's keyring.
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
