#!/usr/bin/python3
"""The support bundle of a portal-linked install in real OBS: linked through the development
server's link API with the API key in the Secret Service, streaming through the plug-in's own
service, with a relink pending in the configuration file. The "Copy Diagnostics for Support"
hotkey writes a Desktop file, readable by its owner only, that shows the live stream's status but
none of the link's secrets, the host name or the home path.

Runs inside tests/support/with-keyring.sh, whose session bus OBS is pointed at."""

import json
import socket
import stat
import sys
import tempfile
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "support"))
import obs_harness  # noqa: E402
from obs_e2e import STREAM, ObsTestCase, primary_agent, wait_until  # noqa: E402
from ryvo_configs import QUICK_DELIVERY, portal_config  # noqa: E402
from dev_server import DevServer  # noqa: E402
from secrets_audit import assert_no_secrets  # noqa: E402


class DiagnosticsBundleTest(ObsTestCase):
    needs_keyring = True

    def test_hotkey_saves_a_redacted_bundle_of_the_live_stream(self):
        with tempfile.TemporaryDirectory() as segments, \
                DevServer(data_dir=segments) as server, \
                self.portal_session(server) as obs:
            first, linked = self.link_through_portal(server)
            obs.write_ryvo_config(portal_config(linked, **QUICK_DELIVERY))
            obs.start()
            obs.wait_for_log([obs_harness.STARTUP_COMPLETE,
                              "[ryvo-obs] installed Ryvo settings UI and status dock"])

            def delivered():
                return primary_agent(server).get("segments", 0) >= 3

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
                obs.wait_for_log(["[ryvo-obs] finishing complete: "])
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
