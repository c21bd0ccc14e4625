"""ryvo-send against the development ingest server, with clips made by the ffmpeg CLI and every
stored segment checked with ffprobe and ffmpeg."""

import functools
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

BINARY = os.path.join(os.environ.get("RYVO_BINARY_DIR", ""), "tools", "ryvo-send", "ryvo-send")
STREAM, KEY = "stream-1", "key-1"
FPS = 30
FRAME_MS = 1000.0 / FPS
CLIP_SECONDS = 8
# The transport stream clock: one frame at 30 fps is 3000 ticks.
FRAME_TICKS = 90000 // FPS


def run(args, timeout=60, **kwargs):
    return subprocess.run(args, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                          timeout=timeout, check=False, **kwargs)


def make_clip(path, video=("-c:v", "libx264", "-preset", "veryfast"), audio=("-c:a", "aac"),
              seconds=CLIP_SECONDS, size="160x120"):
    """testsrc + sine with a keyframe every 2 s; B-frames stay on so that decode and presentation
    order differ."""
    args = ["ffmpeg", "-v", "error", "-y"]
    if video:
        args += ["-f", "lavfi", "-i", "testsrc=size=%s:rate=%d" % (size, FPS)]
    if audio:
        args += ["-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000"]
    args += ["-t", str(seconds)]
    if video:
        args += ["-pix_fmt", "yuv420p", "-g", str(2 * FPS)] + list(video)
    if audio:
        args += list(audio)
    result = run(args + [path])
    if result.returncode != 0:
        raise RuntimeError("ffmpeg could not make %s: %s" % (path, result.stderr))
    return path


def ffprobe_json(*args):
    result = run(["ffprobe", "-v", "error", "-of", "json"] + list(args))
    if result.returncode != 0:
        raise AssertionError("ffprobe %s: %s" % (args, result.stderr))
    return json.loads(result.stdout)


@functools.lru_cache(maxsize=None)
def video_frame_count(path):
    streams = ffprobe_json("-select_streams", "v", "-count_packets",
                           "-show_entries", "stream=nb_read_packets", path)["streams"]
    return int(streams[0]["nb_read_packets"])


def has_encoder(name):
    return name in run(["ffmpeg", "-hide_banner", "-encoders"]).stdout


SHARED = {}


def setUpModule():
    if not os.access(BINARY, os.X_OK):
        raise unittest.SkipTest("build the ryvo-send target first: no " + BINARY)
    work = tempfile.mkdtemp(prefix="ryvo-send-test-")
    SHARED["work"] = work
    SHARED["clips"] = os.path.join(work, "clips")
    os.makedirs(SHARED["clips"])
    SHARED["data_dir"] = os.path.join(work, "data")
    SHARED["server"] = DevServer(streams={STREAM: KEY}, data_dir=SHARED["data_dir"]).start()


def tearDownModule():
    if "server" in SHARED:
        SHARED["server"].close()
    shutil.rmtree(SHARED.get("work", ""), ignore_errors=True)


class RyvoSendCase(unittest.TestCase):
    """One dev server and one set of clips for the module; every test starts from empty
    records, a fresh state file and a private home, so that nothing of the user's is read or
    written."""

    def setUp(self):
        self.work = SHARED["work"]
        self.clips = SHARED["clips"]
        self.data_dir = SHARED["data_dir"]
        self.server = SHARED["server"]
        self.server.control("reset", {"records": True})
        self.home = tempfile.mkdtemp(prefix="home-", dir=self.work)
        self.tmp = os.path.join(self.home, "tmp")
        os.makedirs(self.tmp)
        self.state = os.path.join(self.home, "state.json")

    def tearDown(self):
        # The key is only ever on the command line or in the environment.
        stored = [self.data_dir] if os.path.isdir(self.data_dir) else []
        assert_no_secrets([self.home, *stored, ("dev server output", self.server.output())],
                          {"API key": KEY})

    def clip(self, name, **kwargs):
        path = os.path.join(self.clips, name)
        if not os.path.exists(path):
            make_clip(path, **kwargs)
        return path

    def env(self, **extra):
        env = {key: value for key, value in os.environ.items() if not key.startswith("RYVO_")}
        env.update(HOME=self.home, XDG_CONFIG_HOME=os.path.join(self.home, ".config"),
                   TMPDIR=self.tmp)
        env.update(extra)
        return env

    def connection(self, stream=STREAM, key=KEY):
        return ["--endpoint", self.server.base_url, "--stream-id", stream, "--api-key", key,
                "--state", self.state]

    def send(self, *args, env=None, timeout=60):
        result = run([BINARY] + list(args), env=env or self.env(), timeout=timeout)
        assert_no_secrets([("ryvo-send output", result.stdout + result.stderr)], {"API key": KEY})
        return result

    def sessions(self):
        streams = self.server.report()["streams"]
        return streams[STREAM]["sessions"] if STREAM in streams else {}

    def only_session(self):
        sessions = self.sessions()
        self.assertEqual(len(sessions), 1, sessions)
        (session_id, session), = sessions.items()
        return session_id, session

    def segment_files(self, session_id, session):
        return [os.path.join(self.data_dir, STREAM, session_id, "%d.ts" % sequence)
                for sequence in session["received"]]

    def assert_delivered(self, expected_ms, tolerance_ms=FRAME_MS + 1.5):
        """Every segment stored, verified, keyframe-first, with video and audio; the whole
        decodes cleanly; the durations add up to `expected_ms`. Returns the concatenation."""
        session_id, session = self.only_session()
        self.assertGreaterEqual(session["segments"], 2)
        self.assertEqual(session["gaps"], [])
        self.assertEqual(session["digests_failed"], 0)
        self.assertEqual(session["digests_verified"], session["segments"])
        self.assertTrue(self.server.report()["streams"][STREAM]["agents"]["primary"]
                        ["end_received"])
        concat = os.path.join(self.home, "concat.ts")
        with open(concat, "wb") as out:
            for path in self.segment_files(session_id, session):
                probe = ffprobe_json("-show_entries", "stream=codec_type:frame=media_type,key_frame",
                                     "-read_intervals", "%+#40", path)
                self.assertEqual({stream["codec_type"] for stream in probe["streams"]},
                                 {"video", "audio"}, path)
                first_video = next(frame for frame in probe["frames"]
                                   if frame["media_type"] == "video")
                self.assertEqual(first_video["key_frame"], 1, path)
                with open(path, "rb") as segment:
                    out.write(segment.read())
        decoded = run(["ffmpeg", "-v", "error", "-i", concat, "-f", "null", "-"])
        self.assertEqual(decoded.returncode, 0)
        self.assertEqual(decoded.stderr, "")
        self.assertLessEqual(abs(session["duration_ms"] - expected_ms), tolerance_ms)
        return concat


class DeliveryTest(RyvoSendCase):
    def test_every_container_is_delivered_as_clean_keyframe_aligned_segments(self):
        for container in ("mp4", "mkv", "flv", "ts"):
            with self.subTest(container=container):
                self.server.control("reset", {"records": True})
                path = self.clip("clip." + container)
                result = self.send("--fast", *self.connection(), path)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertIn("uploaded", result.stderr)
                self.assert_delivered(video_frame_count(path) * FRAME_MS)

    def test_hevc_is_delivered(self):
        if not has_encoder("libx265"):
            self.skipTest("this ffmpeg has no libx265 encoder")
        path = self.clip("hevc.mp4", video=("-c:v", "libx265", "-preset", "ultrafast",
                                            "-x265-params", "log-level=error"))
        result = self.send("--fast", *self.connection(), path)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assert_delivered(video_frame_count(path) * FRAME_MS)

    def test_a_looped_file_runs_on_with_continuous_timestamps(self):
        path = self.clip("clip.mp4")
        result = self.send("--fast", "--loop", "2", *self.connection(), path)
        self.assertEqual(result.returncode, 0, result.stderr)
        concat = self.assert_delivered(2 * video_frame_count(path) * FRAME_MS)
        packets = ffprobe_json("-select_streams", "v", "-show_entries", "packet=dts",
                               concat)["packets"]
        steps = {b["dts"] - a["dts"] for a, b in zip(packets, packets[1:])}
        self.assertEqual(steps, {FRAME_TICKS})

    def test_a_configuration_file_with_the_key_from_the_environment(self):
        config = os.path.join(self.home, "config.json")
        with open(config, "w", encoding="utf-8") as handle:
            json.dump({"auth_mode": "manual", "stream_id": STREAM,
                       "api_endpoint": self.server.base_url, "segment_duration_ms": 4000}, handle)
        path = self.clip("clip.mp4")
        env = self.env(RYVO_API_KEY=KEY)
        first = self.send("--fast", "--quiet", "--config", config, "--state", self.state, path,
                          env=env)
        self.assertEqual(first.returncode, 0, first.stderr)
        self.assertEqual(first.stderr, "")
        _, session = self.only_session()
        self.assertEqual(session["received"], [1, 2])
        # The private copy of the configuration, which held the key, is gone.
        self.assertEqual(os.listdir(self.tmp), [])

        self.server.control("reset", {"records": True})
        second = self.send("--fast", "--quiet", "--config", config, "--state", self.state, path,
                           env=env)
        self.assertEqual(second.returncode, 0, second.stderr)
        _, session = self.only_session()
        self.assertEqual(session["received"], [3, 4])

    def test_ctrl_c_ends_the_broadcast_cleanly(self):
        path = self.clip("clip.mp4")
        process = subprocess.Popen([BINARY, *self.connection(), path], env=self.env(),
                                   stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, text=True)
        try:
            deadline = time.monotonic() + 20
            while time.monotonic() < deadline and not any(
                    session["segments"] for session in self.sessions().values()):
                time.sleep(0.05)
            process.send_signal(signal.SIGINT)
            _, stderr = process.communicate(timeout=30)
        finally:
            if process.poll() is None:
                process.kill()
                process.wait()
        self.assertEqual(process.returncode, 130, stderr)
        _, session = self.only_session()
        self.assertLess(session["segments"], 4)
        self.assertEqual(session["digests_verified"], session["segments"])
        self.assertEqual(session["gaps"], [])
        self.assertTrue(self.server.report()["streams"][STREAM]["agents"]["primary"]
                        ["end_received"])


class FailureTest(RyvoSendCase):
    def assert_fails(self, result, code, message):
        """The exit code, and `message` on the last line the sender printed."""
        self.assertEqual(result.returncode, code, result.stderr)
        last_line = result.stderr.splitlines()[-1]
        if code == 2 and last_line.startswith("Try "):
            last_line = result.stderr.splitlines()[-2]
        self.assertTrue(last_line.startswith("ryvo-send: "), last_line)
        self.assertIn(message, last_line)

    def test_bad_input_is_refused_before_anything_is_posted(self):
        tiny = {"seconds": 1, "size": "64x48"}
        text = os.path.join(self.clips, "notes.txt")
        with open(text, "w", encoding="utf-8") as handle:
            handle.write("not a video\n")
        broken_config = os.path.join(self.clips, "broken.json")
        with open(broken_config, "w", encoding="utf-8") as handle:
            handle.write("{")
        clip = self.clip("clip.mp4")
        cases = [
            ([*self.connection(), os.path.join(self.clips, "missing.mp4")], "no such file"),
            ([*self.connection(), text], "not a media file"),
            ([*self.connection(), self.clip("audio.m4a", video=(), **tiny)], "no video stream"),
            ([*self.connection(), self.clip("vp9.mkv", video=("-c:v", "libvpx-vp9"), **tiny)],
             "unsupported video codec: vp9"),
            ([*self.connection(), self.clip("opus.mkv", audio=("-c:a", "libopus"), **tiny)],
             "unsupported audio codec: opus"),
            ([*self.connection(), self.clip("mp3.mkv", audio=("-c:a", "libmp3lame"), **tiny)],
             "unsupported audio codec: mp3"),
            ([clip], "config file not found"),
            (["--config", broken_config, clip], "invalid config JSON"),
            (["--endpoint", self.server.base_url, "--stream-id", STREAM, clip],
             "invalid configuration: api_key is required"),
            ([*self.connection(), "--agent", "third", clip],
             "invalid configuration: agent_id must be primary or backup"),
            ([*self.connection(), "--endpoint", "http://ingest.invalid", clip],
             "invalid configuration: api_endpoint must use https://"),
            ([*self.connection(), "--segment-ms", "0", clip], "--segment-ms needs a whole number"),
            ([*self.connection()], "no media file given"),
        ]
        for args, message in cases:
            with self.subTest(message=message):
                result = self.send("--fast", *args)
                self.assert_fails(result, 2, message)
        self.assertEqual(self.server.report()["streams"], {})
        self.assertFalse(os.path.exists(self.state))

    def test_refused_uploads_halt_with_the_status_message(self):
        clip = self.clip("clip.mp4")
        cases = [
            (KEY + "-wrong", STREAM,
             "uploads halted: API key rejected. Rotate your key in the Ryvo dashboard."),
            (KEY, "stream-unknown", "uploads halted: Ryvo stream not found. Check the stream ID."),
        ]
        for key, stream, message in cases:
            with self.subTest(message=message):
                self.assert_fails(self.send("--fast", *self.connection(stream, key), clip), 1,
                                  message)

    def test_a_broadcast_that_cannot_be_ended_is_a_failure(self):
        self.server.control("faults", {"kind": "end", "count": 10, "status": 500})
        result = self.send("--fast", *self.connection(), self.clip("clip.mp4"))
        self.assert_fails(result, 1, "the broadcast could not be ended")
        _, session = self.only_session()
        self.assertEqual(session["digests_verified"], session["segments"])


if __name__ == "__main__":
    unittest.main(verbosity=2)
