#!/usr/bin/python3
"""Records in real OBS with the built module and checks that the recording is delivered to a local
ingest server, that the broadcast ends when recording stops, and that a second recording in the
same OBS run is delivered as well."""

import json
import os
import re
import sys
import time
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "support"))
import obs_harness  # noqa: E402
from dev_server import DevServer  # noqa: E402
from secrets_audit import assert_no_secrets  # noqa: E402

BUILD_DIR = os.environ.get("RYVO_BINARY_DIR", "")
SOURCE_DIR = os.environ.get("RYVO_SOURCE_DIR")


def wait_until(check, timeout=30.0):
    deadline = time.monotonic() + timeout
    while not check():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.2)
    return True


class RecordingDeliveryTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not Path(BUILD_DIR, "ryvo-obs.so").is_file():
            raise unittest.SkipTest(f"no ryvo-obs.so in RYVO_BINARY_DIR ({BUILD_DIR!r})")
        cls.x = obs_harness.XServer().start()

    @classmethod
    def tearDownClass(cls):
        cls.x.stop()

    def test_each_recording_is_one_delivered_broadcast(self):
        with DevServer() as server, \
                obs_harness.ObsSession(BUILD_DIR, self.x.display, source_dir=SOURCE_DIR) as obs:
            obs.write_ryvo_config({
                "enabled": True,
                "auth_mode": "manual",
                "stream_id": "stream-1",
                "api_key": "key-1",
                "api_endpoint": server.base_url,
                "runtime_mode": "full",
                "capture_mode": "recording",
                "segment_duration_ms": 1000,
                "ram_buffer_minutes": 1,
            })
            obs.start()
            obs.wait_for_log(["[ryvo-obs] installed OBS frontend hook"])

            def agent():
                stream = server.report()["streams"].get("stream-1", {})
                return stream.get("agents", {}).get("primary", {})

            with obs.websocket() as ws:
                for take in (1, 2):
                    ws.request("StartRecord")
                    obs.wait_for_log([re.compile(
                        r"(\[ryvo-obs\] attached Ryvo ingest to OBS recording output.*){%d}"
                        % take, re.S)])
                    delivered = agent().get("segments", 0)
                    self.assertTrue(wait_until(lambda: agent().get("segments", 0) >= delivered + 2),
                                    "no segments delivered while recording")
                    ws.request("StopRecord")
                    obs.wait_for_log([re.compile(
                        r"(\[ryvo-obs\] stop: Ryvo broadcast ended.*){%d}" % take, re.S)])
                    self.assertEqual(agent().get("ends"), take)
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
