#!/usr/bin/python3
"""Records in real OBS with the built module and checks that the recording is delivered to a local
ingest server, that the broadcast ends when recording stops, and that a second recording in the
same OBS run is delivered as well."""

import json
import re
import sys
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "support"))
from obs_e2e import ObsTestCase, primary_agent, wait_until  # noqa: E402
from ryvo_configs import QUICK_DELIVERY, manual_config  # noqa: E402
from dev_server import DevServer  # noqa: E402
from secrets_audit import assert_no_secrets  # noqa: E402


class RecordingDeliveryTest(ObsTestCase):
    def test_each_recording_is_one_delivered_broadcast(self):
        with DevServer() as server, self.session() as obs:
            obs.write_ryvo_config(manual_config("stream-1", "key-1", server.base_url, "recording",
                                                **QUICK_DELIVERY))
            obs.start()
            obs.wait_for_log(["[ryvo-obs] installed OBS frontend hook"])

            def segments():
                return primary_agent(server).get("segments", 0)

            with obs.websocket() as ws:
                for take in (1, 2):
                    ws.request("StartRecord")
                    obs.wait_for_log([re.compile(
                        r"(\[ryvo-obs\] attached Ryvo ingest to OBS recording output.*){%d}"
                        % take, re.S)])
                    delivered = segments()
                    self.assertTrue(wait_until(lambda: segments() >= delivered + 2, timeout=30.0),
                                    "no segments delivered while recording")
                    ws.request("StopRecord")
                    obs.wait_for_log([re.compile(
                        r"(\[ryvo-obs\] stop: Ryvo broadcast ended.*){%d}" % take, re.S)])
                    self.assertEqual(primary_agent(server).get("ends"), take)
            log = obs.quit()
            self.assertEqual(obs.returncode(), 0, "OBS did not exit cleanly")
            report = server.report()
            # The manual configuration file holds the key by design.
            assert_no_secrets([obs.home, ("dev server output", server.output()),
                               ("dev server report", json.dumps(report))],
                              {"API key": "key-1"}, exclude=[obs.ryvo_config_path])

        sessions = report["streams"]["stream-1"]["sessions"]
        self.assertEqual(len(sessions), 2)
        for session in sessions.values():
            self.assertEqual(session["digests_failed"], 0)
            self.assertEqual(session["gaps"], [])
        # The shared encoders were free again for the second recording.
        self.assertNotIn("while the encoder is active", log)
        self.assertNotIn("mux queue overflow", log)


if __name__ == "__main__":
    unittest.main()
