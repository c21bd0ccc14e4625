#!/usr/bin/python3
"""The support bundle of a portal-linked install in real OBS: linked through the development
server's link API with the API key in the Secret Service, streaming through the plug-in's own
service, with a relink pending in the configuration file. The "Copy Diagnostics for Support"
hotkey writes a Desktop file, readable by its owner only, that shows the live stream's status but
none of the link's secrets, the host name or the home path.

Runs inside tests/support/with-keyring.sh, whose session bus OBS is pointed at."""

import json
import os
import re
import socket
import stat
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path
from urllib.parse import urlsplit

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "support"))
import obs_harness  # noqa: E402
from dev_server import DevServer  # noqa: E402
from secrets_audit import assert_no_secrets  # noqa: E402

BUILD_DIR = os.environ.get("RYVO_BINARY_DIR", "")
SOURCE_DIR = os.environ.get("RYVO_SOURCE_DIR")
LINKS = "/api/v1/plugin-links"
STREAM = "stream-1"


def wait_until(check, timeout=60.0):
    deadline = time.monotonic() + timeout
    while not (result := check()):
        if time.monotonic() > deadline:
            return None
        time.sleep(0.2)
    return result


def built_in_endpoint():
    """The ingest endpoint compiled into the module, which names the Secret Service item."""
    cache = Path(BUILD_DIR, "CMakeCache.txt").read_text()
    return re.search(r"^RYVO_DEFAULT_API_ENDPOINT:STRING=(.*)$", cache, re.M).group(1)


def store_api_key(account, key):
    """Stores the key where the plug-in keeps a portal-linked install's key: under its schema
    name, the service named after the built-in endpoint's host and the key's ID."""
    host = urlsplit(built_in_endpoint()).hostname.lower()
    service = "".join(label + "." for label in reversed(host.split(".")) if label) + "obs.api-key"
    subprocess.run(["secret-tool", "store", "--label=Ryvo OBS API key", "xdg:schema",
                    "net.ryvo.obs.ApiKey", "service", service, "account", account],
                   input=key.encode(), check=True, timeout=30)


class DiagnosticsBundleTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not Path(BUILD_DIR, "ryvo-obs.so").is_file():
            raise unittest.SkipTest(f"no ryvo-obs.so in RYVO_BINARY_DIR ({BUILD_DIR!r})")
        if os.environ.get("RYVO_PRIVATE_KEYRING") != "1":
            raise unittest.SkipTest("needs the private keyring of tests/support/with-keyring.sh")
        cls.x = obs_harness.XServer().start()

    @classmethod
    def tearDownClass(cls):
        cls.x.stop()

    def start_link(self, server):
        reply = server.request("POST", LINKS + "/start", b"")
        self.assertEqual(reply.status, 200, reply.body)
        return reply.json()

    def complete_link(self, server, link):
        server.control("link", {"action": "approve", "code": link["verification_code"],
                                "stream": STREAM})
        reply = server.request("GET", f"{LINKS}/{link['link_session_id']}",
                               headers={"Authorization": "Bearer " + link["poll_token"]})
        self.assertEqual(reply.status, 200, reply.body)
        answer = reply.json()
        self.assertEqual(answer["status"], "completed")
        return answer

    def test_hotkey_saves_a_redacted_bundle_of_the_live_stream(self):
        with tempfile.TemporaryDirectory() as segments, \
                DevServer(data_dir=segments) as server, \
                obs_harness.ObsSession(
                    BUILD_DIR, self.x.display, source_dir=SOURCE_DIR,
                    extra_env={"RYVO_DEFAULT_API_ENDPOINT": server.base_url,
                               "DBUS_SESSION_BUS_ADDRESS":
                                   os.environ["DBUS_SESSION_BUS_ADDRESS"]}) as obs:
            first = self.start_link(server)
            linked = self.complete_link(server, first)
            store_api_key(linked["api_key_id"], linked["api_key"])
            obs.write_ryvo_config({
                "enabled": True,
                "auth_mode": "portal",
                "stream_id": linked["selected_stream_id"],
                "selected_stream_name": linked["selected_stream_name"],
                "linked_account_email": linked["linked_account_email"],
                "linked_account_name": linked["linked_account_name"],
                "api_key": "",
                "api_key_id": linked["api_key_id"],
                "runtime_mode": "full",
                "capture_mode": "streaming",
                "segment_duration_ms": 1000,
                "ram_buffer_minutes": 1,
            })
            obs.start()
            obs.wait_for_log([obs_harness.STARTUP_COMPLETE,
                              "[ryvo-obs] installed Ryvo settings UI and status dock"])

            def delivered():
                stream = server.report()["streams"].get(STREAM, {})
                return stream.get("agents", {}).get("primary", {}).get("segments", 0) >= 3

            desktop = obs.home / "Desktop"
            with obs.websocket() as ws:
                ws.request("StartStream")
                obs.wait_for_log(["[ryvo-obs] attached Ryvo ingest to OBS ryvo_stream output"])
                self.assertTrue(wait_until(delivered), "no delivery with the linked key")

                # A relink begun from the dock while the stream runs: its session, poll token
                # and code sit in the configuration file.
                relink = self.start_link(server)
                config = json.loads(obs.ryvo_config_path.read_text())
                config.update({
                    "portal_link_session_id": relink["link_session_id"],
                    "portal_link_poll_token": relink["poll_token"],
                    "portal_link_verification_code": relink["verification_code"],
                    "portal_link_verification_url": relink["verification_url"],
                    "portal_link_expires_at": relink["expires_at"],
                })
                obs.write_ryvo_config(config)

                ws.request("TriggerHotkeyByName", {"hotkeyName": "ryvo_copy_diagnostics"})
                bundles = wait_until(lambda: sorted(desktop.glob("ryvo-diagnostics-*.txt")), 30)
                self.assertTrue(bundles, "no bundle on the Desktop")
                (bundle_path,) = bundles
                bundle = bundle_path.read_text()
                mode = stat.S_IMODE(bundle_path.stat().st_mode)
                ws.request("StopStream")
                obs.wait_for_log(["[ryvo-obs] stop: Ryvo broadcast ended"])
            obs.quit()
            home = str(obs.home)

        self.assertEqual(mode, 0o600)
        self.assertTrue(bundle.startswith("# Ryvo OBS diagnostic bundle\n"), bundle[:200])
        for line in ("enabled: yes", "auth_mode: portal", "runtime_mode: full", "attached: yes",
                     "active_service_is_ryvo: yes", "has_runtime_credentials: yes",
                     "output_label: ryvo_stream", f"stream_id: {STREAM}",
                     f"selected_stream_name: {linked['selected_stream_name']}",
                     "health: Linked", "health_detail: Streaming", "output_status: Ryvo Stream",
                     "auth_failed: no", "last_error: (none)"):
            self.assertIn("\n" + line + "\n", bundle)
        self.assertRegex(bundle, r"\nsession_runtime: \d\d:\d\d\n")
        self.assertRegex(bundle, r"\npackets total/video/audio: [1-9]\d*/[1-9]\d*/[1-9]\d*\n")
        self.assertIn('"portal_link_poll_token": "<redacted>"', bundle)
        self.assertIn('"api_key": "<redacted>"', bundle)
        tail = bundle.split("\n## Recent OBS log tail\n\n", 1)[1]
        self.assertIn("[ryvo-obs] ", tail)

        assert_no_secrets([("the bundle", bundle)], {
            "api key": linked["api_key"],
            "first poll token": first["poll_token"],
            "relink poll token": relink["poll_token"],
            "first verification code": first["verification_code"],
            "relink verification code": relink["verification_code"],
            "first link session id": first["link_session_id"],
            "relink session id": relink["link_session_id"],
            "host name": socket.gethostname(),
            "home path": home,
        })


if __name__ == "__main__":
    obs_harness.exit_on_sigterm()
    unittest.main()
