#!/usr/bin/python3
"""The module in real OBS. Short runs check its report of a missing, an invalid and a disabled
configuration at load; one run of a portal-linked install (key in the Secret Service of
with-keyring.sh) streaming through the plug-in's service checks the load summary, a clean unload
and quit, the dock docked and visible (a screenshot, kept as <build>/artifacts/dock.png and with
RYVO_UPDATE_DOCS=1 as docs/dock.png, and the layout OBS saves) and the support bundle that the
hotkey writes: owner-only, the live status shown, no secret, host name or home path in it."""

import base64
import configparser
import json
import os
import re
import shutil
import socket
import stat
import struct
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path
from urllib.parse import urlsplit

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "support"))
from dev_server import DevServer  # noqa: E402
from obs_harness import STARTUP_COMPLETE, ObsTestCase, exit_on_sigterm, poll  # noqa: E402
from ryvo_configs import QUICK_DELIVERY, manual_config, portal_config  # noqa: E402
from secrets_audit import assert_no_secrets  # noqa: E402

TIMESTAMP = re.compile(r"^\d\d:\d\d:\d\d\.\d{3}: ")
# The lines that report the configuration at load; other parts of the module log their own.
CONFIG_LINE = re.compile(r"runtime config|loaded config|Ryvo will reconcile|starts disabled")
LOAD_REPORTS = [
    (None, ["[ryvo-obs] no runtime config loaded from {path} (config file not found: {path})"]),
    (manual_config("stream-42", "key-secret", "http://ingest.invalid"), [
        "[ryvo-obs] no runtime config loaded from {path} (api_endpoint must use https://; plain "
        "http:// would send the API key in clear text and is allowed only to this machine "
        "(localhost, 127.0.0.0/8, ::1))"]),
    ({"enabled": False, "runtime_mode": "runtime_only", "capture_mode": "recording",
      "auth_mode": "manual"}, [
        "[ryvo-obs] loaded config for stream  with 10-minute RAM buffer "
        "(enabled=false runtime=runtime_only capture=recording)",
        "[ryvo-obs] Ryvo plugin starts disabled; OBS recording and streaming will run normally "
        "until Ryvo is turned back on"]),
]
LINKS = "/api/v1/plugin-links"
DOCK_TITLE = "Ryvo Stream Status"
SCREEN = (1600, 900)
# The dock root's background (#20242f), a colour OBS's own theme does not paint.
DOCK_BACKGROUND = bytes((0x20, 0x24, 0x2F))
CONVERT = "/usr/bin/convert"  # ImageMagick's own, whatever else is first on PATH
# QMainWindow::saveState's record of one dock widget: a widget marker, the object name as a
# QString (byte length, UTF-16BE) and a flags byte (1 visible, 2 floating).
DOCK_NAME = "ryvoObsStatusDock".encode("utf-16-be")
DOCK_RECORD = b"\xfb" + struct.pack(">I", len(DOCK_NAME)) + DOCK_NAME


def delivered(server, count):
    report = server.report()["streams"].get("stream-1", {})
    return report.get("agents", {}).get("primary", {}).get("segments", 0) >= count


def config_lines(obs):
    return [TIMESTAMP.sub("", line) for line in obs.ryvo_lines() if CONFIG_LINE.search(line)]


def saved_dock_flags(obs_config):
    """Every flags byte of the dock in the layout OBS saved on quitting (global.ini up to OBS 30,
    user.ini from OBS 31 on)."""
    for name in ("user.ini", "global.ini"):
        parser = configparser.RawConfigParser(strict=False)
        parser.read(obs_config / name)
        if parser.has_option("BasicWindow", "DockState"):
            state = base64.b64decode(parser.get("BasicWindow", "DockState"))
            return [state[m.end()] for m in re.finditer(re.escape(DOCK_RECORD), state)]
    return None


def colour_box(png, colour):
    """The bounding box (left, top, right, bottom) of the pixels of exactly `colour`, or None."""
    width, height = SCREEN
    pixels = subprocess.run([CONVERT, str(png), "-depth", "8", "-resize", f"{width}x{height}!",
                             "rgb:-"], capture_output=True, check=True, timeout=60).stdout
    points = [(x, y) for y in range(height) for x in range(width)
              if pixels[3 * (y * width + x):3 * (y * width + x) + 3] == colour]
    if not points:
        return None
    xs, ys = zip(*points)
    return min(xs), min(ys), max(xs), max(ys)


def add_demo_sources(ws, obs):
    """Something to look at in the preview of the screenshot: a backdrop and a centred title,
    with nothing selected (a click on the preview's empty margin)."""
    ws.request("CreateInput", {"sceneName": "Scene", "inputName": "Backdrop",
                               "inputKind": "color_source_v3",
                               "inputSettings": {"color": 0xFF5A3A1E, "width": 1280,
                                                 "height": 720}})
    title = ws.request("CreateInput", {
        "sceneName": "Scene", "inputName": "Title", "inputKind": "text_ft2_source_v2",
        "inputSettings": {"text": "Live with a Ryvo safety delay",
                          "font": {"face": "Sans", "size": 64, "style": "Bold", "flags": 1}}})
    ws.request("SetSceneItemTransform", {
        "sceneName": "Scene", "sceneItemId": title["sceneItemId"],
        "sceneItemTransform": {"positionX": 640, "positionY": 360, "alignment": 0}})
    obs.xdotool("mousemove", "--sync", "12", str(SCREEN[1] // 4), "click", "1")


def store_api_key(build_dir, account, key):
    """Stores the key where the plug-in keeps a portal-linked install's key: under its schema,
    the service named after the built-in endpoint's host and the key's ID."""
    cache = Path(build_dir, "CMakeCache.txt").read_text()
    endpoint = re.search(r"^RYVO_DEFAULT_API_ENDPOINT:STRING=(.*)$", cache, re.M).group(1)
    labels = reversed(urlsplit(endpoint).hostname.lower().split("."))
    service = "".join(label + "." for label in labels if label) + "obs.api-key"
    subprocess.run(["secret-tool", "store", "--label=Ryvo OBS API key", "xdg:schema",
                    "net.ryvo.obs.ApiKey", "service", service, "account", account],
                   input=key.encode(), check=True, timeout=30)


def publish(screenshot, target):
    """The README's copy: the full-size picture on a palette of 256 colours, which the flat
    colours of OBS's theme and the dock survive unchanged at about half the file size."""
    with tempfile.TemporaryDirectory() as work:
        reduced = Path(work, "dock.png")
        subprocess.run([CONVERT, str(screenshot), "-colors", "256", "-strip", f"PNG8:{reduced}"],
                       check=True, timeout=60)
        shutil.copyfile(reduced, target)


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

    def link(self, server):
        """A portal link as a user makes it from the dock; returns the started link and the
        completed one, whose key is stored as the plug-in stores it."""
        link = server.request("POST", LINKS + "/start", b"").json()
        server.control("link", {"action": "approve", "code": link["verification_code"],
                                "stream": "stream-1"})
        reply = server.request("GET", f"{LINKS}/{link['link_session_id']}",
                               headers={"Authorization": "Bearer " + link["poll_token"]})
        linked = reply.json()
        self.assertEqual(linked["status"], "completed")
        store_api_key(self.build_dir, linked["api_key_id"], linked["api_key"])
        return link, linked

    def test_linked_install_streams_with_its_dock_and_support_bundle(self):
        if os.environ.get("RYVO_PRIVATE_KEYRING") != "1":
            self.skipTest("needs the private keyring of tests/support/with-keyring.sh")
        screenshot = Path(self.build_dir, "artifacts", "dock.png")
        screenshot.parent.mkdir(exist_ok=True)
        with tempfile.TemporaryDirectory() as segments, DevServer(data_dir=segments) as server:
            env = {"RYVO_DEFAULT_API_ENDPOINT": server.base_url,
                   "DBUS_SESSION_BUS_ADDRESS": os.environ["DBUS_SESSION_BUS_ADDRESS"]}
            with self.session(extra_env=env, video=(1280, 720)) as obs:
                first, linked = self.link(server)
                obs.write_ryvo_config(portal_config(linked, **QUICK_DELIVERY))
                obs.start().wait_for_log([
                    STARTUP_COMPLETE, "[ryvo-obs] installed Ryvo settings UI and status dock",
                    "[ryvo-obs] selected Ryvo as the active OBS streaming service"])
                window = obs.main_window()
                obs.xdotool("windowmove", "--sync", window, "0", "0")
                # Without a window manager the window takes the size it is given.
                obs.xdotool("windowsize", "--sync", window, *map(str, SCREEN))
                # Without a window manager a top-level window is a child of the root window;
                # the docked dock may be a native child window deeper down with the same title.
                floating = obs.windows(f"^{DOCK_TITLE}$", "--maxdepth", "1")
                with obs.websocket() as ws:
                    service = ws.request("GetStreamServiceSettings")["streamServiceType"]
                    add_demo_sources(ws, obs)
                    ws.request("StartStream")
                    obs.wait_for_log(["[ryvo-obs] attached Ryvo ingest to OBS ryvo_stream output"])
                    poll(lambda: delivered(server, 20), 120, "no delivery with the linked key")
                    subprocess.run(["import", "-display", self.x.display, "-window", "root",
                                    str(screenshot)], check=True, timeout=30)

                    # A relink begun from the dock while the stream runs: its session, poll
                    # token and code sit in the configuration file.
                    relink = server.request("POST", LINKS + "/start", b"").json()
                    config = json.loads(obs.ryvo_config_path.read_text())
                    config.update({"portal_link_" + name: relink[name] for name in (
                        "poll_token", "verification_code", "verification_url", "expires_at")})
                    config["portal_link_session_id"] = relink["link_session_id"]
                    obs.write_ryvo_config(config)
                    ws.request("TriggerHotkeyByName", {"hotkeyName": "ryvo_copy_diagnostics"})
                    (bundle_path,) = poll(lambda: list(obs.home.glob("Desktop/ryvo-diagnostics-*")),
                                          30, "no bundle on the Desktop")
                    bundle = bundle_path.read_text()
                    mode = stat.S_IMODE(bundle_path.stat().st_mode)
                    ws.request("StopStream")
                    obs.wait_for_log(["[ryvo-obs] finishing complete: "])
                lines = config_lines(obs)
                log = obs.quit()
                self.assertEqual(obs.returncode(), 0, "OBS did not exit cleanly")
                flags = saved_dock_flags(obs.obs_config)
                # The key of a linked install is in the Secret Service only.
                assert_no_secrets([obs.home], {"API key": linked["api_key"]})
                home = str(obs.home)

        self.assertEqual(lines, [
            "[ryvo-obs] loaded config for stream stream-1 with 1-minute RAM buffer "
            "(enabled=true runtime=full capture=streaming)",
            "[ryvo-obs] Ryvo will reconcile the OBS Stream button with capture_mode=streaming "
            "for this install."])
        self.assertEqual(service, "ryvo_stream_service")
        self.assertNotRegex(log, r"Failed to load '[^']*' text for module: '[^']*ryvo-obs",
                            "the module's locale data was not found")
        ryvo = [TIMESTAMP.sub("", line) for line in log.splitlines() if "[ryvo-obs] " in line]
        self.assertEqual(ryvo[0], "[ryvo-obs] module loaded")
        self.assertEqual(ryvo[-1], "[ryvo-obs] module unloaded")
        self.assertGreater(log.find("[ryvo-obs] module unloaded"), log.find("==== Shutting down"))

        self.assertNotIn("[ryvo-obs] failed to install Ryvo status dock", log)
        self.assertEqual(floating, [], "the dock is a window of its own")
        left, top, right, bottom = colour_box(screenshot, DOCK_BACKGROUND) or (0, 0, 0, 0)
        self.assertGreater(right - left, 200, "the dock shows only a sliver or nothing")
        self.assertGreater(bottom - top, 300, "the dock shows only a sliver or nothing")
        self.assertEqual([f & 3 for f in flags or []], [1], "saved as hidden or floating")
        if os.environ.get("RYVO_UPDATE_DOCS") == "1":
            publish(screenshot, Path(__file__).resolve().parents[2] / "docs" / "dock.png")

        self.assertEqual(mode, 0o600)
        self.assertTrue(bundle.startswith("# Ryvo OBS diagnostic bundle\n"), bundle[:200])
        for line in ("enabled: yes", "auth_mode: portal", "runtime_mode: full", "attached: yes",
                     "active_service_is_ryvo: yes", "has_runtime_credentials: yes",
                     "output_label: ryvo_stream", "stream_id: stream-1",
                     f"selected_stream_name: {linked['selected_stream_name']}",
                     "health: Linked", "health_detail: Streaming", "output_status: Ryvo Stream",
                     "auth_failed: no", "last_error: (none)"):
            self.assertIn("\n" + line + "\n", bundle)
        self.assertRegex(bundle, r"\nsession_runtime: \d\d:\d\d\n")
        self.assertRegex(bundle, r"\npackets total/video/audio: [1-9]\d*/[1-9]\d*/[1-9]\d*\n")
        self.assertIn('"portal_link_poll_token": "<redacted>"', bundle)
        self.assertIn('"api_key": "<redacted>"', bundle)
        self.assertIn("[ryvo-obs] ", bundle.split("\n## Recent OBS log tail\n\n", 1)[1])
        assert_no_secrets([("the bundle", bundle)], {
            "api key": linked["api_key"], "host name": socket.gethostname(), "home path": home,
            "first poll token": first["poll_token"], "relink poll token": relink["poll_token"],
            "first code": first["verification_code"], "relink code": relink["verification_code"],
            "first session": first["link_session_id"], "relink session": relink["link_session_id"],
        })


if __name__ == "__main__":
    exit_on_sigterm()
    unittest.main(verbosity=2)
