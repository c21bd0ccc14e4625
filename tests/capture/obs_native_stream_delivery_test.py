#!/usr/bin/python3
"""Streams through the plug-in's own service in real OBS: the user's custom RTMP service is backed
up and replaced in memory, Start Streaming delivers to a local ingest server until Stop Streaming
ends the broadcast, a second broadcast continues the sequence numbers, every stored segment is a
playable H.264+AAC transport stream that starts on a keyframe, turning the plug-in off gives the
user's service back, and OBS's profile files are left exactly as they were.

The second broadcast is stopped while the server has gone dark: OBS's UI thread keeps answering,
a third broadcast starts at once while the second one finishes in the background, and once the
server is back both are delivered in full, each with its end, their numbers never repeating."""

import json
import re
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "support"))
import obs_harness  # noqa: E402
from obs_e2e import (ObsTestCase, delivery_problems, longest_ui_answer, primary_agent,  # noqa: E402
                     stop_sequences, wait_until)
from ryvo_configs import QUICK_DELIVERY, manual_config  # noqa: E402
from dev_server import DevServer  # noqa: E402
from secrets_audit import assert_no_secrets  # noqa: E402

USER_SERVICE = {
    "type": "rtmp_custom",
    "settings": {"server": "rtmp://127.0.0.1:1935/live", "key": "user-key", "use_auth": False},
}


def probe(path, *args):
    out = subprocess.run(["ffprobe", "-v", "error", "-of", "json", *args, str(path)],
                         capture_output=True, text=True, timeout=30, check=True)
    return json.loads(out.stdout)


def stream_problems(path):
    """What makes a stored segment unfit to play on its own: its codecs, or a first video frame
    that is not a keyframe."""
    codecs = sorted((s["codec_type"], s["codec_name"])
                    for s in probe(path, "-show_streams")["streams"])
    problems = [] if codecs == [("audio", "aac"), ("video", "h264")] else [f"codecs {codecs}"]
    frames = probe(path, "-show_frames", "-read_intervals", "%+#1", "-select_streams", "v",
                   "-show_entries", "frame=key_frame")["frames"]
    if not frames or frames[0]["key_frame"] != 1:
        problems.append("does not start with a keyframe")
    return problems


def file_bytes(directory):
    return {path.relative_to(directory): path.read_bytes()
            for path in sorted(directory.rglob("*")) if path.is_file()}


class NativeStreamDeliveryTest(ObsTestCase):
    def test_stream_button_delivers_through_the_ryvo_service_and_gives_the_user_service_back(self):
        with tempfile.TemporaryDirectory() as segments, \
                DevServer(data_dir=segments) as server, \
                self.session() as obs:
            profile = obs.obs_config / "basic/profiles" / obs_harness.PROFILE
            (profile / "service.json").write_text(json.dumps(USER_SERVICE))
            obs.write_ryvo_config(manual_config("stream-1", "key-1", server.base_url,
                                                **QUICK_DELIVERY))
            before = file_bytes(profile)
            obs.start()
            obs.wait_for_log([obs_harness.STARTUP_COMPLETE,
                              re.compile(r"\[ryvo-obs\] selected Ryvo as the active OBS streaming "
                                         r"service \(in-memory; not persisted to profile\)")])

            def agent():
                return primary_agent(server)

            with obs.websocket() as ws:
                service = ws.request("GetStreamServiceSettings")
                self.assertEqual(service["streamServiceType"], "ryvo_stream_service")
                ws.request("StartStream")
                obs.wait_for_log(["[ryvo-obs] attached Ryvo ingest to OBS ryvo_stream output"])
                self.assertTrue(wait_until(lambda: agent().get("segments", 0) >= 12),
                                "no steady delivery while streaming")
                # OBS's status bar shows the stream's bitrate from what the output reports.
                self.assertGreater(ws.request("GetStreamStatus")["outputBytes"], 100_000)
                ws.request("StopStream")
                obs.wait_for_log(["[ryvo-obs] finishing complete:"])
                first_sessions = set(server.report()["streams"]["stream-1"]["sessions"])

                # A second broadcast carries on where the first one's sequence numbers ended, and
                # is stopped while the server has gone dark.
                first_highest = agent()["highest"]
                ws.request("StartStream")
                self.assertTrue(wait_until(lambda: agent()["highest"] >= first_highest + 3),
                                "no delivery in the second broadcast")
                server.control("outage", {"mode": "blackhole", "duration_ms": 120_000})
                time.sleep(2.5)
                ws.request("StopStream")
                obs.wait_for_log([re.compile(r"(stop: queue=\d+ last_sequence[\s\S]*){2}")])
                ui_after_stop = longest_ui_answer(ws)
                # A third broadcast starts while the second one is still finishing.
                ws.request("StartStream")
                obs.wait_for_log([re.compile(
                    r"(attached Ryvo ingest to OBS ryvo_stream output[\s\S]*){3}")])
                ui_while_finishing = longest_ui_answer(ws, seconds=2.0)
                server.control("outage", {"mode": "none"})
                third_from = max(stop_sequences(obs.log_text()))
                self.assertTrue(wait_until(lambda: agent()["highest"] >= third_from + 3),
                                "no delivery in the third broadcast")
                ws.request("StopStream")
                obs.wait_for_log([re.compile(r"(finishing complete:[\s\S]*){3}")], timeout=90.0)
                backup = json.loads(obs.ryvo_config_path.read_text())

                # Turned off; the next output event brings OBS's service up to date.
                obs.write_ryvo_config({**backup, "enabled": False})
                ws.request("StartRecord")
                obs.wait_for_log(["[ryvo-obs] restored previous OBS streaming service "
                                  "'rtmp_custom' (in-memory; not persisted to profile)"])
                ws.request("StopRecord")
                restored = ws.request("GetStreamServiceSettings")
            log = obs.quit()
            self.assertEqual(obs.returncode(), 0, "OBS did not exit cleanly")
            after = file_bytes(profile)
            report = server.report()
            stored = sorted(Path(segments).rglob("*.ts"))
            # The manual configuration file holds the key by design.
            assert_no_secrets([obs.home, segments, ("dev server output", server.output()),
                               ("dev server report", json.dumps(report))],
                              {"API key": "key-1"}, exclude=[obs.ryvo_config_path])
            unfit = {path.name: problems for path in stored if (problems := stream_problems(path))}

        self.assertEqual(backup["previous_service_id"], "rtmp_custom")
        self.assertEqual(backup["previous_service_profile"], obs_harness.PROFILE)
        self.assertEqual(json.loads(backup["previous_service_settings_json"])["key"], "user-key")
        self.assertEqual(restored["streamServiceType"], "rtmp_custom")
        self.assertEqual(restored["streamServiceSettings"]["server"],
                         USER_SERVICE["settings"]["server"])
        self.assertEqual(restored["streamServiceSettings"]["key"], "user-key")
        self.assertEqual(after, before, "OBS's profile files changed")

        stream = report["streams"]["stream-1"]
        self.assertEqual(stream["agents"]["primary"]["ends"], 3)
        self.assertEqual(len(stream["sessions"]), 3)
        (first_id,) = first_sessions
        sessions = sorted(stream["sessions"].values(), key=lambda s: min(s["received"]))
        self.assertEqual(sessions[0], stream["sessions"][first_id])
        # Every segment up to each Stop, the ones held back by the outage included, arrived.
        stops = stop_sequences(log)
        for session, last in zip(sessions, stops):
            self.assertEqual(delivery_problems(session, last), [])
        # Numbers never repeat: each broadcast carries on above the one before.
        for earlier, later in zip(sessions, sessions[1:]):
            self.assertEqual(min(later["received"]), max(earlier["received"]) + 1)
        self.assertEqual(len(stored), sum(len(set(s["received"])) for s in sessions))
        self.assertEqual(unfit, {})
        self.assertLess(ui_after_stop, 1.0, "OBS's UI thread stalled after Stop")
        self.assertLess(ui_while_finishing, 1.0, "OBS's UI thread stalled while finishing")
        self.assertEqual(len(re.findall(r"\[ryvo-obs\] finishing complete: \d+ segments delivered "
                                        r"after stop; end of broadcast posted", log)), 3)
        self.assertNotIn("mux queue overflow", log)


if __name__ == "__main__":
    unittest.main()
