"""ryvo-send against the development ingest server, with clips made by the ffmpeg CLI and every
stored segment checked with ffprobe and ffmpeg."""

import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                "support"))

from dev_server import DevServer  # noqa: E402
from secrets_audit import assert_no_secrets  # noqa: E402

BINARY = os.environ.get("RYVO_SEND_BINARY") or os.path.join(
    os.environ.get("RYVO_BINARY_DIR", ""), "tools", "ryvo-send", "ryvo-send")
STREAM, KEY = "stream-1", "key-1"
H264_AAC = ("-c:v", "libx264", "-preset", "veryfast", "-c:a", "aac")
# Each clip is 8 s at 30 fps; one frame is 3000 ticks of the transport stream clock.
CLIP_MS, FRAME_MS, FRAME_TICKS = 8000, 1000 / 30, 3000


def run(args, **kwargs):
    return subprocess.run(args, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                          timeout=60, check=False, **kwargs)


def ffprobe_json(*args):
    result = run(["ffprobe", "-v", "error", "-of", "json", *args])
    if result.returncode != 0:
        raise AssertionError("ffprobe %s: %s" % (args, result.stderr))
    return json.loads(result.stdout)


class RyvoSendTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not os.access(BINARY, os.X_OK):
            raise unittest.SkipTest("build the ryvo-send target first: no " + BINARY)
        cls.work = tempfile.mkdtemp(prefix="ryvo-send-test-")
        cls.data_dir = os.path.join(cls.work, "data")
        cls.server = DevServer(streams={STREAM: KEY}, data_dir=cls.data_dir).start()

    @classmethod
    def tearDownClass(cls):
        cls.server.close()
        shutil.rmtree(cls.work, ignore_errors=True)

    def setUp(self):
        self.server.control("reset", {"records": True})
        self.home = tempfile.mkdtemp(prefix="home-", dir=self.work)
        self.tmp = os.path.join(self.home, "tmp")
        os.makedirs(self.tmp)
        self.state = os.path.join(self.home, "state.json")

    def tearDown(self):
        # The key is only ever on the command line or in the environment.
        assert_no_secrets([self.home, self.data_dir, ("dev server output", self.server.output())],
                          {"API key": KEY})

    def clip(self, name, codecs=H264_AAC, seconds=CLIP_MS // 1000):
        path = os.path.join(self.work, name)
        if not os.path.exists(path):
            made = run(["ffmpeg", "-v", "error", "-f", "lavfi", "-i", "testsrc=size=qqvga:rate=30",
                        "-f", "lavfi", "-i", "sine=sample_rate=48000", "-t", str(seconds),
                        "-pix_fmt", "yuv420p", "-g", "60", *codecs, path])
            self.assertEqual(made.returncode, 0, made.stderr)
        return path

    def env(self, **extra):
        env = {key: value for key, value in os.environ.items() if not key.startswith("RYVO_")}
        return dict(env, HOME=self.home, XDG_CONFIG_HOME=os.path.join(self.home, ".config"),
                    TMPDIR=self.tmp, **extra)

    def connection(self, stream=STREAM, key=KEY):
        return ["--endpoint", self.server.base_url, "--stream-id", stream, "--api-key", key,
                "--state", self.state]

    def send(self, *args, env=None):
        result = run([BINARY, *args], env=env or self.env())
        assert_no_secrets([("ryvo-send output", result.stdout + result.stderr)], {"API key": KEY})
        return result

    def start_send(self):
        process = subprocess.Popen([BINARY, *self.connection(), self.clip("clip.mp4")],
                                   env=self.env(), stdin=subprocess.DEVNULL,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.addCleanup(lambda: process.poll() is None and (process.kill(), process.wait()))
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline and not any(
                session["segments"] for session in self.sessions().values()):
            time.sleep(0.05)
        return process

    def sessions(self):
        return self.server.report()["streams"].get(STREAM, {}).get("sessions", {})

    def only_session(self):
        (only,) = self.sessions().items()
        return only

    def agent(self):
        return self.server.report()["streams"][STREAM]["agents"]["primary"]

    def assert_delivered(self, expected_ms):
        """Returns the concatenation of the stored segments."""
        session_id, session = self.only_session()
        self.assertGreaterEqual(session["segments"], 2)
        self.assertEqual(session["gaps"], [])
        self.assertEqual(session["digests_verified"], session["segments"])
        self.assertEqual(session["digests_failed"], 0)
        self.assertTrue(self.agent()["end_received"])
        concat = os.path.join(self.home, "concat.ts")
        with open(concat, "wb") as out:
            for sequence in session["received"]:
                path = os.path.join(self.data_dir, STREAM, session_id, "%d.ts" % sequence)
                probe = ffprobe_json("-read_intervals", "%+#40", "-show_entries",
                                     "stream=codec_type:frame=media_type,key_frame", path)
                self.assertEqual({stream["codec_type"] for stream in probe["streams"]},
                                 {"video", "audio"}, path)
                first_video = next(f for f in probe["frames"] if f["media_type"] == "video")
                self.assertEqual(first_video["key_frame"], 1, path)
                with open(path, "rb") as segment:
                    out.write(segment.read())
        decoded = run(["ffmpeg", "-v", "error", "-i", concat, "-f", "null", "-"])
        self.assertEqual((decoded.returncode, decoded.stderr), (0, ""))
        self.assertLessEqual(abs(session["duration_ms"] - expected_ms), FRAME_MS + 1.5)
        return concat

    def test_every_container_and_codec_is_delivered_as_clean_keyframe_aligned_segments(self):
        hevc = ("-c:v", "libx265", "-preset", "ultrafast", "-x265-params", "log-level=error",
                "-c:a", "aac")
        # A looped file runs on with continuous timestamps.
        for name, codecs, loops in (("clip.mp4", H264_AAC, 2), ("clip.mkv", H264_AAC, 1),
                                    ("clip.flv", H264_AAC, 1), ("clip.ts", H264_AAC, 1),
                                    ("hevc.mp4", hevc, 1)):
            with self.subTest(name):
                self.server.control("reset", {"records": True})
                # A retried upload counts once, and its failure is over once it is stored.
                self.server.control("faults", {"kind": "upload", "status": 503})
                result = self.send("--fast", "--loop", str(loops), *self.connection(),
                                   self.clip(name, codecs))
                self.assertEqual(result.returncode, 0, result.stderr)
                concat = self.assert_delivered(loops * CLIP_MS)
                self.assertIn("uploaded {0} of {0}; last error: none".format(
                    self.only_session()[1]["segments"]), result.stderr)
                if loops > 1:
                    packets = ffprobe_json("-select_streams", "v", "-show_entries", "packet=dts",
                                           concat)["packets"]
                    self.assertEqual({b["dts"] - a["dts"] for a, b in zip(packets, packets[1:])},
                                     {FRAME_TICKS})

    def test_a_configuration_file_with_the_key_from_the_environment(self):
        config = os.path.join(self.home, "config.json")
        with open(config, "w", encoding="utf-8") as handle:
            json.dump({"auth_mode": "manual", "stream_id": STREAM,
                       "api_endpoint": self.server.base_url, "segment_duration_ms": 4000}, handle)
        for expected in ([1, 2], [3, 4]):
            self.server.control("reset", {"records": True})
            result = self.send("--fast", "--quiet", "--config", config, "--state", self.state,
                               self.clip("clip.mp4"), env=self.env(RYVO_API_KEY=KEY))
            self.assertEqual((result.returncode, result.stderr), (0, ""))
            self.assertEqual(self.only_session()[1]["received"], expected)
            # The private copy of the configuration, which held the key, is gone.
            self.assertEqual(os.listdir(self.tmp), [])

    def test_ctrl_c_ends_the_broadcast_cleanly(self):
        process = self.start_send()
        process.send_signal(signal.SIGINT)
        _, stderr = process.communicate(timeout=30)
        self.assertEqual(process.returncode, 130, stderr)
        session = self.only_session()[1]
        self.assertLess(session["segments"], 4)
        self.assertEqual(session["digests_verified"], session["segments"])
        self.assertEqual(session["gaps"], [])
        self.assertEqual(self.agent()["ends"], 1)

    def test_a_second_ctrl_c_quits_while_the_delivery_is_still_finishing(self):
        process = self.start_send()
        self.server.control("outage", {"mode": "blackhole", "duration_ms": 600000})
        # Media keeps coming in the meantime, so the tail is a segment of its own.
        time.sleep(1)
        process.send_signal(signal.SIGINT)
        time.sleep(1)
        self.assertIsNone(process.poll(), "the sender waits for the delivery to finish")
        quit_at = time.monotonic()
        process.send_signal(signal.SIGINT)
        _, stderr = process.communicate(timeout=30)
        self.assertLess(time.monotonic() - quit_at, 5)
        self.server.control("outage", {"mode": "none"})
        self.assertEqual(process.returncode, 130, stderr)
        last_line = stderr.splitlines()[-1]
        self.assertIn("the broadcast could not be ended: quit before delivery finished", last_line)
        self.assertIn(" not delivered", last_line)
        self.assertFalse(self.agent()["end_received"])

    def test_bad_input_and_refused_uploads_fail_with_their_exit_code_and_reason(self):
        clip, c = self.clip("clip.mp4"), self.connection()
        cases = [
            (2, [*c, os.path.join(self.work, "missing.mp4")], "no such file"),
            (2, [*c, os.path.abspath(__file__)], "not a media file"),
            (2, [*c, self.clip("audio.m4a", ("-vn", "-c:a", "aac"), 1)], "no video stream"),
            (2, [*c, self.clip("vp9.mkv", ("-c:v", "libvpx-vp9"), 1)], "unsupported video codec"),
            (2, [*c, self.clip("opus.mkv", ("-c:a", "libopus"), 1)], "unsupported audio codec"),
            (1, [*self.connection(key=KEY + "-wrong"), clip],
             "uploads halted: API key rejected. Rotate your key in the Ryvo dashboard."),
            (1, [*self.connection(stream="stream-unknown"), clip],
             "uploads halted: Ryvo stream not found. Check the stream ID."),
        ]
        for code, args, message in cases:
            with self.subTest(message):
                result = self.send("--fast", *args)
                self.assertEqual(result.returncode, code, result.stderr)
                # The reason is on the last line, or above the hint at --help.
                lines = [line for line in result.stderr.splitlines() if not line.startswith("Try ")]
                self.assertTrue(lines[-1].startswith("ryvo-send: "), lines[-1])
                self.assertIn(message, lines[-1])
                if code == 2:
                    self.assertEqual(self.server.report()["streams"], {}, "nothing is posted")
                    self.assertFalse(os.path.exists(self.state))


if __name__ == "__main__":
    unittest.main(verbosity=2)
