#!/usr/bin/python3
"""Delivery from real OBS in one run: three broadcasts through the plug-in's own service, the
second stopped in an outage and finished while the third starts; a key revoked mid-broadcast; the
user's service given back; two recordings of audio tracks 1 and 2 stopped in an outage, the last
left finishing at OBS's exit. Every broadcast arrives in full, every segment plays on its own with
track 1's audio only, no key leaks and OBS's profile files never change."""

import json
import re
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "support"))
from dev_server import DevServer  # noqa: E402
from obs_harness import SHUTTING_DOWN, STARTUP_COMPLETE, ObsTestCase, exit_on_sigterm  # noqa: E402
from ryvo_configs import QUICK_DELIVERY, manual_config  # noqa: E402
from secrets_audit import assert_no_secrets  # noqa: E402

KEYS = {"stream-1": "key-1", "stream-2": "key-2", "stream-3": "key-3"}
USER_SERVICE = {"server": "rtmp://127.0.0.1:1935/live", "key": "user-key", "use_auth": False}
ATTACHED = "[ryvo-obs] attached Ryvo ingest to OBS "
FINISHED = "[ryvo-obs] finishing complete: "
TONE_HZ = {1: 200, 2: 5000}


def add_tone(ws, folder, track):
    """A looping tone that OBS mixes into `track` only."""
    path = Path(folder, f"tone-{track}.wav")
    subprocess.run(["ffmpeg", "-v", "error", "-f", "lavfi", "-i",
                    f"sine=frequency={TONE_HZ[track]}:duration=30", "-ar", "48000", str(path)],
                   check=True, timeout=60)
    name = f"Track {track} tone"
    ws.request("CreateInput", {"sceneName": "Scene", "inputName": name,
                               "inputKind": "ffmpeg_source",
                               "inputSettings": {"local_file": str(path), "looping": True}})
    ws.request("SetInputAudioTracks", {"inputName": name, "inputAudioTracks": {
        str(t): t == track for t in range(1, 7)}})


def segment_problems(path, tones):
    """What makes a segment unfit to play on its own: its codecs, a first video frame that is not
    a keyframe, and with `tones` audio without track 1's tone or with track 2's."""
    found = json.loads(subprocess.run(
        ["ffprobe", "-v", "error", "-of", "json", "-show_entries",
         "stream=codec_type,codec_name:packet=codec_type,flags", "-read_intervals", "%+#20",
         str(path)], capture_output=True, text=True, timeout=30, check=True).stdout)
    codecs = sorted((s["codec_type"], s["codec_name"]) for s in found["streams"])
    problems = [] if codecs == [("audio", "aac"), ("video", "h264")] else [f"codecs {codecs}"]
    video = [p["flags"] for p in found.get("packets", []) if p["codec_type"] == "video"]
    if not video or not video[0].startswith("K"):
        problems.append("does not start with a keyframe")
    if tones:
        # The mean volume below and above 1 kHz, each band filtered twice.
        bands = ("[0:a]asplit[a][b];[a]lowpass=f=1000,lowpass=f=1000,volumedetect[low];"
                 "[b]highpass=f=1000,highpass=f=1000,volumedetect[high]")
        log = subprocess.run(["ffmpeg", "-nostats", "-i", str(path), "-filter_complex", bands,
                              "-map", "[low]", "-f", "null", "-", "-map", "[high]", "-f", "null",
                              "-"], capture_output=True, text=True, timeout=30).stderr
        volumes = [float(v) for _, v in sorted(re.findall(
            r"volumedetect_(\d+) .*mean_volume: (\S+) dB", log))]
        if len(volumes) != 2 or volumes[0] < -35 or volumes[1] > -50:
            problems.append(f"track volumes {volumes} dB")
    return problems


def logged_at(log, text):
    """When OBS first logged `text`, in seconds of the day."""
    h, m, s = re.search(r"^(\d\d):(\d\d):([\d.]+): .*" + re.escape(text), log, re.M).groups()
    return int(h) * 3600 + int(m) * 60 + float(s)


def stop_sequences(log):
    """The last sequence of each broadcast stopped so far, as the plug-in logged it at Stop."""
    return [int(s) for s in re.findall(r"\[ryvo-obs\] stop: queue=\d+ last_sequence=(\d+)", log)]


def delivery(session):
    """Gaps, last sequence and failed digests of a session on the server."""
    return session["gaps"], max(session["received"]), session["digests_failed"]


def longest_ui_answer(ws, seconds=3.0):
    """The longest wait, in seconds, for requests that obs-websocket runs on OBS's UI thread."""
    longest = 0.0
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        started = time.monotonic()
        ws.request("SetCurrentProgramScene", {"sceneName": "Scene"})
        longest = max(longest, time.monotonic() - started)
        time.sleep(0.1)
    return longest


class DeliveryTest(ObsTestCase):
    def stream(self, name):
        return self.server.report()["streams"].get(name, {})

    def segments(self, name):
        return self.stream(name).get("agents", {}).get("primary", {}).get("segments", 0)

    def wait_for(self, check, failure, timeout=60.0):
        self.obs.poll(check, timeout, failure)

    def wait_for_more(self, text, than, timeout=30.0):
        self.wait_for(lambda: self.obs.log_text().count(text) > than, f"no new {text!r}", timeout)

    def reconfigure(self, **changes):
        """Changes the configuration file as the dock would, keeping what the plug-in saved."""
        config = json.loads(self.obs.ryvo_config_path.read_text())
        self.obs.write_ryvo_config({**config, **changes})

    def act(self, request, text, timeout=30.0):
        """Sends an obs-websocket request and waits for the plug-in to log `text` once more."""
        before = self.obs.log_text().count(text)
        self.ws.request(request)
        self.wait_for_more(text, before, timeout)

    def let_go(self, stop_request):
        """Waits until OBS has let go of the stopped output: OBS ignores a Start while its output
        is still stopping, which takes longer on a busy machine."""
        status = "GetStreamStatus" if stop_request == "StopStream" else "GetRecordStatus"
        self.wait_for(lambda: not self.ws.request(status)["outputActive"],
                      f"OBS's output still active after {stop_request}", timeout=30.0)

    def stop(self, request, text):
        self.act(request, text)
        self.let_go(request)

    def stop_in_the_dark(self, request):
        self.server.control("outage", {"mode": "blackhole", "duration_ms": 120_000})
        time.sleep(2.5)
        self.stop(request, "[ryvo-obs] stop: queue=")

    def test_streams_and_recordings_are_delivered_from_track_one(self):
        with tempfile.TemporaryDirectory() as work, \
                DevServer(streams=KEYS, data_dir=work) as self.server, \
                self.session(profile={"Output": {"Mode": "Advanced"}, "AdvOut": {
                    "Encoder": "obs_x264", "RecEncoder": "none", "RecType": "Standard",
                    "RecFilePath": work, "RecFormat": "mkv", "RecFormat2": "mkv",
                    "TrackIndex": 1, "RecTracks": 0b11}}) as self.obs:
            obs = self.obs
            (obs.profile_dir / "service.json").write_text(json.dumps(
                {"type": "rtmp_custom", "settings": USER_SERVICE}))
            (obs.profile_dir / "streamEncoder.json").write_text(json.dumps(
                {"rate_control": "CBR", "bitrate": 2500, "keyint_sec": 1}))
            obs.write_ryvo_config(manual_config("stream-1", "key-1", self.server.base_url,
                                                **QUICK_DELIVERY))
            before = {p: p.read_bytes() for p in obs.profile_dir.iterdir() if p.is_file()}
            obs.start().wait_for_log([STARTUP_COMPLETE, "[ryvo-obs] selected Ryvo as the active "
                                      "OBS streaming service (in-memory; not persisted to "
                                      "profile)"])
            with obs.websocket() as self.ws:
                add_tone(self.ws, work, 1)
                add_tone(self.ws, work, 2)
                stream_stops = self.stream_three_broadcasts()
                self.reconfigure(stream_id="stream-3", api_key="key-3")
                self.ws.request("StartStream")
                self.wait_for(lambda: self.segments("stream-3") >= 4, "no delivery before revoking")
                self.server.control("revoke", {"stream": "stream-3"})
                obs.wait_for_log(["[ryvo-obs] stopping the Ryvo stream output: API key rejected. "
                                  "Rotate your key in the Ryvo dashboard.",
                                  "[ryvo-obs] finishing gave up: "])
                self.wait_for(lambda: not self.ws.request("GetStreamStatus")["outputActive"],
                              "OBS still streams after the key was rejected")
                # Turned off, the plug-in gives the user's service back at the next output event.
                self.reconfigure(enabled=False)
                self.act("StartRecord", "[ryvo-obs] restored previous OBS streaming service "
                         "'rtmp_custom' (in-memory; not persisted to profile)")
                self.ws.request("StopRecord")
                self.wait_for(lambda: not self.ws.request("GetRecordStatus")["outputActive"],
                              "OBS still records")
                restored = self.ws.request("GetStreamServiceSettings")
                self.reconfigure(enabled=True, stream_id="stream-2", api_key="key-2",
                                 capture_mode="recording")
                first_recording_stop = len(stop_sequences(obs.log_text()))
                # Two recordings: the first finishes after the outage, the second at OBS's exit.
                for take in range(2):
                    self.act("StartRecord", ATTACHED + "recording output")
                    delivered = self.segments("stream-2")
                    self.wait_for(lambda: self.segments("stream-2") >= delivered + 2,
                                  "no segments delivered while recording", timeout=30.0)
                    finished = obs.log_text().count(FINISHED)
                    self.stop_in_the_dark("StopRecord")
                    if take == 0:
                        self.assertLess(longest_ui_answer(self.ws), 1.0, "OBS's UI thread stalled")
                        self.server.control("outage", {"mode": "none"})
                        self.wait_for_more(FINISHED, finished, timeout=90.0)
            log = obs.quit()
            self.assertEqual(obs.returncode(), 0, "OBS did not exit cleanly")
            self.assertEqual({p: p.read_bytes() for p in obs.profile_dir.iterdir() if p.is_file()},
                             before, "OBS's profile files changed")
            self.server.control("outage", {"mode": "none"})
            report = self.server.report()
            assert_no_secrets(
                [obs.home, work, ("dev server output", self.server.output()),
                 ("dev server report", json.dumps(report))],
                {"key 1": "key-1", "key 2": "key-2", "key 3": "key-3"},
                exclude=[obs.ryvo_config_path])
            stored = sorted(Path(work).rglob("*.ts"))
            unfit = {str(path.relative_to(work)): problems for path in stored
                     if (problems := segment_problems(path, "stream-2" in path.parts))}

        streams = report["streams"]
        sessions = {name: sorted(streams[name]["sessions"].values(),
                                 key=lambda s: min(s["received"])) for name in KEYS}
        # Every segment up to each Stop arrived, the ones held back by outages included, and each
        # broadcast's numbers carry on above the one before.
        for session, last in zip(sessions["stream-1"], stream_stops):
            self.assertEqual(delivery(session), ([], last, 0))
        for earlier, later in zip(sessions["stream-1"], sessions["stream-1"][1:]):
            self.assertEqual(min(later["received"]), max(earlier["received"]) + 1)
        recording_stop = stop_sequences(log)[first_recording_stop]
        self.assertEqual(delivery(sessions["stream-2"][0]), ([], recording_stop, 0))
        self.assertEqual([len(sessions[name]) for name in KEYS], [3, 2, 1])
        self.assertEqual([streams[name]["agents"]["primary"]["ends"] for name in KEYS],
                         [3, 1, 0])
        self.assertEqual((restored["streamServiceType"], restored["streamServiceSettings"]["key"]),
                         ("rtmp_custom", USER_SERVICE["key"]))
        self.assertEqual(len(stored), sum(len(set(s["received"]))
                                          for name in KEYS for s in sessions[name]))
        self.assertEqual(unfit, {})
        self.assertLess(logged_at(log, "[ryvo-obs] module unloaded") -
                        logged_at(log, SHUTTING_DOWN), 10.0, "OBS's exit waited for the delivery")
        self.assertRegex(log, r"\[ryvo-obs\] finishing gave up: sequences [\d, -]+ not delivered: ")
        # The shared encoders were free again for the later recordings.
        self.assertNotIn("while the encoder is active", log)

    def stream_three_broadcasts(self):
        """The Stream button three times; returns the last sequence of each broadcast."""
        ws, obs = self.ws, self.obs

        def highest():
            return self.stream("stream-1")["agents"]["primary"]["highest"]

        self.act("StartStream", ATTACHED + "ryvo_stream output")
        self.wait_for(lambda: self.segments("stream-1") >= 12, "no steady delivery")
        # OBS's status bar shows the stream's bitrate from what the output reports.
        self.assertGreater(ws.request("GetStreamStatus")["outputBytes"], 100_000)
        self.stop("StopStream", FINISHED)
        finished = obs.log_text().count(FINISHED)
        first = highest()
        ws.request("StartStream")
        self.wait_for(lambda: highest() >= first + 3, "no delivery in the second broadcast")
        self.stop_in_the_dark("StopStream")
        self.act("StartStream", ATTACHED + "ryvo_stream output")
        self.assertLess(longest_ui_answer(ws), 1.0, "OBS's UI thread stalled while finishing")
        self.server.control("outage", {"mode": "none"})
        third_from = max(stop_sequences(obs.log_text()))
        self.wait_for(lambda: highest() >= third_from + 3, "no delivery in the third broadcast")
        ws.request("StopStream")
        self.wait_for_more(FINISHED, finished + 1, timeout=90.0)
        self.let_go("StopStream")
        return stop_sequences(obs.log_text())


if __name__ == "__main__":
    exit_on_sigterm()
    unittest.main()
