#!/usr/bin/python3
"""Records in real OBS with the built module and checks that each recording is delivered to a
local ingest server as one broadcast that ends when recording stops, also when recording stops
while the server has gone dark: OBS's UI thread keeps answering, and once the server is back
every segment up to Stop arrives and the end with it. A recording stopped during an outage that
lasts past OBS's exit does not hold the exit up: OBS quits within seconds and its log names the
segments left undelivered."""

import json
import re
import sys
import time
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "support"))
from obs_e2e import (ObsTestCase, delivery_problems, longest_ui_answer, primary_agent,  # noqa: E402
                     stop_sequences, wait_until)
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

            def record(take):
                ws.request("StartRecord")
                obs.wait_for_log([re.compile(
                    r"(\[ryvo-obs\] attached Ryvo ingest to OBS recording output.*){%d}" % take,
                    re.S)])
                delivered = segments()
                self.assertTrue(wait_until(lambda: segments() >= delivered + 2, timeout=30.0),
                                "no segments delivered while recording")

            def stop_in_the_dark(take):
                server.control("outage", {"mode": "blackhole", "duration_ms": 120_000})
                time.sleep(2.5)
                ws.request("StopRecord")
                obs.wait_for_log([re.compile(r"(stop: queue=\d+ last_sequence.*){%d}" % take,
                                             re.S)])
                return longest_ui_answer(ws)

            with obs.websocket() as ws:
                record(1)
                ws.request("StopRecord")
                obs.wait_for_log(["[ryvo-obs] finishing complete:"])
                self.assertEqual(primary_agent(server).get("ends"), 1)

                record(2)
                ui_after_stop = stop_in_the_dark(2)
                server.control("outage", {"mode": "none"})
                obs.wait_for_log([re.compile(r"(finishing complete:.*){2}", re.S)], timeout=90.0)
                self.assertEqual(primary_agent(server).get("ends"), 2)

                # Stopped in the dark again, and OBS quit while that broadcast still finishes.
                record(3)
                stop_in_the_dark(3)
            quit_started = time.monotonic()
            log = obs.quit()
            quit_seconds = time.monotonic() - quit_started
            self.assertEqual(obs.returncode(), 0, "OBS did not exit cleanly")
            server.control("outage", {"mode": "none"})
            report = server.report()
            # The manual configuration file holds the key by design.
            assert_no_secrets([obs.home, ("dev server output", server.output()),
                               ("dev server report", json.dumps(report))],
                              {"API key": "key-1"}, exclude=[obs.ryvo_config_path])

        sessions = sorted(report["streams"]["stream-1"]["sessions"].values(),
                          key=lambda s: min(s["received"]))
        self.assertEqual(len(sessions), 3)
        stops = stop_sequences(log)
        for session, last in zip(sessions[:2], stops):
            self.assertEqual(delivery_problems(session, last), [])
        self.assertEqual(report["streams"]["stream-1"]["agents"]["primary"]["ends"], 2)
        self.assertLess(ui_after_stop, 1.0, "OBS's UI thread stalled after Stop")
        self.assertLess(quit_seconds, 10.0, "OBS's exit waited for the delivery")
        self.assertRegex(log, r"\[ryvo-obs\] finishing gave up: sequences [\d, -]+ not delivered: ")
        # The shared encoders were free again for the later recordings.
        self.assertNotIn("while the encoder is active", log)
        self.assertNotIn("mux queue overflow", log)


if __name__ == "__main__":
    unittest.main()
