#!/usr/bin/python3
"""A key revoked in the middle of a broadcast in real OBS: the session stops sending after the
rejection, OBS's stream stops with the plug-in's error instead of showing itself live, and the
next broadcast with a new key for the stream is delivered again. No key is written to OBS's logs,
the plug-in's state file or the dev server's output and records."""

import json
import sys
import tempfile
import time
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "support"))
import obs_harness  # noqa: E402
from obs_e2e import ObsTestCase, primary_agent, wait_until  # noqa: E402
from ryvo_configs import QUICK_DELIVERY, manual_config  # noqa: E402
from dev_server import DevServer  # noqa: E402
from secrets_audit import assert_no_secrets  # noqa: E402

REJECTED = "API key rejected. Rotate your key in the Ryvo dashboard."
# Longer than the heartbeat period, so that every activity of the halted session had its turn.
QUIET_WINDOW_S = 12


class KeyRevokedTest(ObsTestCase):
    def test_a_revoked_key_halts_its_session_and_a_new_key_delivers_the_next_broadcast(self):
        with tempfile.TemporaryDirectory() as segments, \
                DevServer(data_dir=segments) as server, \
                self.session() as obs:
            config = manual_config("stream-1", "key-1", server.base_url, **QUICK_DELIVERY)
            obs.write_ryvo_config(config)
            obs.start()
            obs.wait_for_log([obs_harness.STARTUP_COMPLETE,
                              "[ryvo-obs] selected Ryvo as the active OBS streaming service"])

            def stream():
                return server.report()["streams"].get("stream-1", {})

            def delivered():
                return primary_agent(server).get("segments", 0)

            def unauthorized():
                return stream().get("rejected", {}).get("unauthorized", 0)

            with obs.websocket() as ws:
                ws.request("StartStream")
                self.assertTrue(wait_until(lambda: delivered() >= 4), "no delivery before")
                server.control("revoke", {"stream": "stream-1"})
                # OBS learns that the stream cannot be delivered: its output stops with the error.
                obs.wait_for_log(["[ryvo-obs] stopping the Ryvo stream output: " + REJECTED,
                                  "[ryvo-obs] finishing gave up: "])
                self.assertTrue(wait_until(
                    lambda: not ws.request("GetStreamStatus")["outputActive"]),
                    "OBS still streams after the key was rejected")
                self.assertGreaterEqual(unauthorized(), 1)
                halted = stream()["requests"]
                time.sleep(QUIET_WINDOW_S)
                after_window = stream()
                halted_log = obs.log_text()
                first_sessions = set(stream()["sessions"])

                # A new key for the stream (the old one stays rejected), as after rotating it.
                server.control("streams", {"stream": "stream-1", "key": "key-2"})
                obs.write_ryvo_config({**config, "api_key": "key-2"})
                before = delivered()
                ws.request("StartStream")
                self.assertTrue(wait_until(lambda: delivered() >= before + 4),
                                "no delivery after the new key")
                ws.request("StopStream")
                obs.wait_for_log(["[ryvo-obs] finishing complete: "])
            log = obs.quit()
            report = server.report()
            # The configuration file holds the key by design in manual mode (owner-only).
            assert_no_secrets(
                [obs.home, segments, ("dev server output", server.output()),
                 ("dev server report", json.dumps(report))],
                {"first API key": "key-1", "second API key": "key-2"},
                exclude=[obs.ryvo_config_path])

        self.assertEqual(after_window["requests"], halted,
                         "the halted session went on sending after its rejections")
        self.assertNotIn("end of broadcast posted", halted_log)
        stream = report["streams"]["stream-1"]
        (second_id,) = set(stream["sessions"]) - first_sessions
        self.assertGreaterEqual(len(stream["sessions"][second_id]["received"]), 4)
        self.assertEqual(stream["sessions"][second_id]["gaps"], [])
        self.assertEqual(stream["agents"]["primary"]["ends"], 1)


if __name__ == "__main__":
    unittest.main()
