#!/usr/bin/python3
"""The module in real OBS: its report of a missing and of a disabled configuration at load, and
a portal-linked install streaming: load summary, clean unload, the dock docked and visible (its
screenshot kept as <build>/artifacts/dock.png), an owner-only support bundle free of secrets."""

import os
import re
import socket
import stat
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path
from urllib.parse import urlsplit

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "support"))
from dev_server import DevServer  # noqa: E402
from obs_harness import STARTUP_COMPLETE, ObsTestCase, exit_on_sigterm, poll  # noqa: E402
from ryvo_configs import QUICK_DELIVERY, portal_config  # noqa: E402
from secrets_audit import assert_no_secrets  # noqa: E402

TIMESTAMP = re.compile(r"^\d\d:\d\d:\d\d\.\d{3}: ")
CONFIG_LINE = re.compile(r"runtime config|loaded config|Ryvo will reconcile|starts disabled")
LOAD_REPORTS = [
    (None, ["[ryvo-obs] no runtime config loaded from {path} (config file not found: {path})"]),
    ({"enabled": False, "runtime_mode": "runtime_only", "capture_mode": "recording",
      "auth_mode": "manual"}, [
        "[ryvo-obs] loaded config for stream  with 10-minute RAM buffer "
        "(enabled=false runtime=runtime_only capture=recording)",
        "[ryvo-obs] Ryvo plugin starts disabled; OBS recording and streaming will run normally "
        "until Ryvo is turned back on"]),
]
LINKS = "/api/v1/plugin-links"
SCREEN = (1600, 900)


def config_lines(obs):
    return [TIMESTAMP.sub("", line) for line in obs.ryvo_lines() if CONFIG_LINE.search(line)]


def dock_size(png):
    """The size of the area in the dock's background colour, which OBS's theme does not use."""
    box = subprocess.run(["/usr/bin/convert", str(png), "-alpha", "off", "-fill", "black",
                          "+opaque", "#20242f", "-format", "%@", "info:"], capture_output=True,
                         text=True, check=True, timeout=60).stdout
    return tuple(map(int, re.match(r"(\d+)x(\d+)", box).groups()))


def store_api_key(build_dir, account, key):
    """Stores the key as the plug-in does: under the built-in endpoint's host and the key's ID."""
    cache = Path(build_dir, "CMakeCache.txt").read_text()
    endpoint = re.search(r"^RYVO_DEFAULT_API_ENDPOINT:STRING=(.*)$", cache, re.M).group(1)
    labels = reversed(urlsplit(endpoint).hostname.lower().split("."))
    service = "".join(label + "." for label in labels if label) + "obs.api-key"
    subprocess.run(["secret-tool", "store", "--label=Ryvo OBS API key", "xdg:schema",
                    "net.ryvo.obs.ApiKey", "service", service, "account", account],
                   input=key.encode(), check=True, timeout=30)


class ModuleLoadTest(ObsTestCase):
    screen = "{}x{}x24".format(*SCREEN)

    def test_each_configuration_is_reported_at_load(self):
        for config, expected in LOAD_REPORTS:
            with self.subTest(config=config), self.session() as obs:
                if config is not None:
                    obs.write_ryvo_config(config)
                expected = [line.format(path=obs.ryvo_config_path) for line in expected]
                obs.start().wait_for_log(expected)
                self.assertEqual(config_lines(obs), expected)

    def test_linked_install_streams_with_its_dock_and_support_bundle(self):
        if os.environ.get("RYVO_PRIVATE_KEYRING") != "1":
            self.skipTest("needs the private keyring of tests/support/with-keyring.sh")
        screenshot = Path(self.build_dir, "artifacts", "dock.png")
        screenshot.parent.mkdir(exist_ok=True)
        with tempfile.TemporaryDirectory() as segments, DevServer(data_dir=segments) as server:
            env = {"RYVO_DEFAULT_API_ENDPOINT": server.base_url,
                   "DBUS_SESSION_BUS_ADDRESS": os.environ["DBUS_SESSION_BUS_ADDRESS"]}
            with self.session(extra_env=env, video=(1280, 720)) as obs:
                # A portal link as a user makes it from the dock.
                link = server.request("POST", LINKS + "/start", b"").json()
                server.control("link", {"action": "approve", "code": link["verification_code"],
                                        "stream": "stream-1"})
                linked = server.request("GET", f"{LINKS}/{link['link_session_id']}", headers={
                    "Authorization": "Bearer " + link["poll_token"]}).json()
                store_api_key(self.build_dir, linked["api_key_id"], linked["api_key"])
                obs.write_ryvo_config(portal_config(linked, **QUICK_DELIVERY))
                obs.start().wait_for_log([
                    STARTUP_COMPLETE, "[ryvo-obs] installed Ryvo settings UI and status dock"])
                window = obs.poll(lambda: obs.windows("^OBS "), 30, "no main window")[0]
                # Without a window manager the window takes the place and size it is given, and
                # a top-level window is a child of the root window.
                obs.xdotool("windowmove", "--sync", window, "0", "0")
                obs.xdotool("windowsize", "--sync", window, *map(str, SCREEN))
                floating = obs.windows("^Ryvo Stream Status$", "--maxdepth", "1")
                with obs.websocket() as ws:
                    ws.request("StartStream")
                    obs.wait_for_log(["[ryvo-obs] attached Ryvo ingest to OBS ryvo_stream output"])
                    obs.wait_for_log([re.compile(r"runtime status: sequence=1\d .* "
                                                 r"connected=true error=none")], 120)
                    subprocess.run(["import", "-display", self.x.display, "-window", "root",
                                    str(screenshot)], check=True, timeout=30)
                    ws.request("TriggerHotkeyByName", {"hotkeyName": "ryvo_copy_diagnostics"})
                    (bundle_path,) = poll(lambda: list(obs.home.glob("Desktop/ryvo-diagnostics-*")),
                                          30, "no bundle on the Desktop")
                    bundle = bundle_path.read_text()
                    mode = stat.S_IMODE(bundle_path.stat().st_mode)
                lines = config_lines(obs)
                log = obs.quit()
                self.assertEqual(obs.returncode(), 0, "OBS did not exit cleanly")
                # The key of a linked install is in the Secret Service only.
                assert_no_secrets([obs.home], {"API key": linked["api_key"]})
                home = str(obs.home)

        self.assertEqual(lines, [
            "[ryvo-obs] loaded config for stream stream-1 with 1-minute RAM buffer "
            "(enabled=true runtime=full capture=streaming)",
            "[ryvo-obs] Ryvo will reconcile the OBS Stream button with capture_mode=streaming "
            "for this install."])
        self.assertNotRegex(log, r"Failed to load '[^']*' text for module: '[^']*ryvo-obs",
                            "the module's locale data was not found")
        ryvo = [TIMESTAMP.sub("", line) for line in log.splitlines() if "[ryvo-obs] " in line]
        self.assertEqual([ryvo[0], ryvo[-1]], ["[ryvo-obs] module loaded",
                                               "[ryvo-obs] module unloaded"])
        self.assertGreater(log.find("[ryvo-obs] module unloaded"), log.find("==== Shutting down"))

        self.assertEqual(floating, [], "the dock is a window of its own")
        width, height = dock_size(screenshot)
        self.assertTrue(width > 200 and height > 300, "the dock shows only a sliver or nothing")

        self.assertEqual(mode, 0o600)
        for line in ("attached: yes", "active_service_is_ryvo: yes", "output_label: ryvo_stream",
                     "health_detail: Streaming", "last_error: (none)"):
            self.assertIn("\n" + line + "\n", bundle)
        self.assertRegex(bundle, r"\npackets total/video/audio: [1-9]\d*/[1-9]\d*/[1-9]\d*\n")
        self.assertIn("[ryvo-obs] ", bundle.split("\n## Recent OBS log tail\n\n", 1)[1])
        assert_no_secrets([("the bundle", bundle)], {
            "api key": linked["api_key"], "host name": socket.gethostname(), "home path": home,
            "poll token": link["poll_token"]})


if __name__ == "__main__":
    exit_on_sigterm()
    unittest.main(verbosity=2)
