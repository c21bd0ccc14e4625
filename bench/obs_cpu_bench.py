#!/usr/bin/python3
"""What delivering through the plug-in costs OBS itself: OBS's process CPU time while it streams a
1080p scene through the plug-in's service to a local ingest server, against the same OBS recording
the same scene to a file with the plug-in turned off, both in one run. Each OBS encodes with x264
at 8 Mbit/s CBR, 1920x1080 at 30 fps; the scene is a looping 1080p test clip made once with the
ffmpeg command-line tool and kept in the build folder.

    bench/obs_cpu_bench.py <build-dir> [--seconds 60] [--smoke]

Prints the figures and one RESULT row for scripts/bench.sh; exits non-zero when a run did not do
what it was meant to (no delivery, no recording, OBS gone)."""

import argparse
import configparser
import os
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "support"))
import obs_harness  # noqa: E402
from dev_server import DevServer  # noqa: E402

WIDTH, HEIGHT, FPS = 1920, 1080, 30
VIDEO_KBPS = 8000
# The compared cost is the steady state: encoders started, first segments out.
WARM_UP_S = 5.0


def make_clip(build_dir, seconds):
    """A looping test pattern with a tone, cached: made once per length."""
    media = Path(build_dir) / "bench-media"
    media.mkdir(exist_ok=True)
    clip = media / f"testsrc2-{HEIGHT}p{FPS}-{seconds}s.mkv"
    if not clip.is_file():
        partial = clip.with_suffix(".part.mkv")
        subprocess.run(
            ["ffmpeg", "-nostdin", "-v", "error", "-y",
             "-f", "lavfi", "-i", f"testsrc2=size={WIDTH}x{HEIGHT}:rate={FPS}",
             "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000",
             "-t", str(seconds), "-c:v", "libx264", "-preset", "veryfast", "-crf", "20",
             "-pix_fmt", "yuv420p", "-c:a", "aac", "-b:a", "128k", str(partial)],
            check=True, timeout=600)
        partial.rename(clip)
    return clip


def cpu_seconds(pid):
    """utime + stime of a process from /proc; the fields after the command name in parentheses."""
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def set_encoding(obs):
    """x264 at 8 Mbit/s CBR for streaming, and the recording reusing the stream's encoder."""
    path = obs.obs_config / "basic/profiles" / obs_harness.PROFILE / "basic.ini"
    ini = configparser.ConfigParser(interpolation=None)
    ini.optionxform = str
    ini.read(path)
    ini["SimpleOutput"].update({"VBitrate": str(VIDEO_KBPS), "ABitrate": "128",
                                "Preset": "veryfast", "RecQuality": "Stream"})
    with open(path, "w") as out:
        ini.write(out, space_around_delimiters=False)


def add_clip(ws, clip):
    ws.request("CreateInput", {
        "sceneName": "Scene", "inputName": "clip", "inputKind": "ffmpeg_source",
        "inputSettings": {"is_local_file": True, "local_file": str(clip), "looping": True,
                          "hw_decode": False},
        "sceneItemEnabled": True})


def measure(obs, seconds):
    time.sleep(WARM_UP_S)
    start_cpu, start_wall = cpu_seconds(obs.pid), time.monotonic()
    time.sleep(seconds)
    return cpu_seconds(obs.pid) - start_cpu, time.monotonic() - start_wall


def ryvo_config(enabled, endpoint):
    return {"enabled": enabled, "auth_mode": "manual", "stream_id": "bench-stream",
            "api_key": "bench-key", "api_endpoint": endpoint, "runtime_mode": "full",
            "capture_mode": "streaming", "segment_duration_ms": 2000, "ram_buffer_minutes": 2}


def frame_trouble(log):
    """OBS's own account of frames it could not render or encode in time, which make a loaded
    machine's figures less comparable."""
    return [line.split(": ", 1)[1] for line in log.splitlines()
            if "lagged frames" in line or "skipped frames" in line]


def explain(obs):
    """OBS's own last words and the plug-in's, for a run that went wrong."""
    lines = obs.log_text().splitlines()
    return "\n".join(["-- OBS log (end) --", *lines[-40:]])


def streaming_run(build_dir, display, clip, seconds):
    with DevServer(streams={"bench-stream": "bench-key"}) as server, \
            obs_harness.ObsSession(build_dir, display, video=(WIDTH, HEIGHT), fps=FPS) as obs:
        set_encoding(obs)
        obs.write_ryvo_config(ryvo_config(True, server.base_url))
        try:
            obs.start()
            obs.wait_for_log([obs_harness.STARTUP_COMPLETE,
                              "[ryvo-obs] selected Ryvo as the active"])
            with obs.websocket() as ws:
                add_clip(ws, clip)
                ws.request("StartStream")
                obs.wait_for_log(["[ryvo-obs] attached Ryvo ingest to OBS ryvo_stream output"])
                cpu, wall = measure(obs, seconds)
                ws.request("StopStream")
                obs.wait_for_log(["[ryvo-obs] finishing complete: "], timeout=60)
                log = obs.quit()
        except obs_harness.HarnessError as error:
            raise obs_harness.HarnessError(f"{error}\n{explain(obs)}") from error
        agent = server.report()["streams"].get("bench-stream", {}).get("agents", {})
        segments = agent.get("primary", {}).get("segments", 0)
    problems = []
    # Lagged frames stretch the video timeline and with it the 2 s segments; delivery must have
    # gone on through the window all the same.
    if segments < max(1, int(seconds / 8)):
        problems.append(f"only {segments} segments reached the server")
    if "mux queue overflow" in log:
        problems.append("the mux queue overflowed")
    return cpu, wall, segments, frame_trouble(log), problems


def recording_run(build_dir, display, clip, seconds):
    with obs_harness.ObsSession(build_dir, display, video=(WIDTH, HEIGHT), fps=FPS) as obs:
        set_encoding(obs)
        obs.write_ryvo_config(ryvo_config(False, "http://127.0.0.1:9"))
        try:
            obs.start()
            obs.wait_for_log([obs_harness.STARTUP_COMPLETE])
            with obs.websocket() as ws:
                add_clip(ws, clip)
                ws.request("StartRecord")
                cpu, wall = measure(obs, seconds)
                ws.request("StopRecord")
            log = obs.quit()
        except obs_harness.HarnessError as error:
            raise obs_harness.HarnessError(f"{error}\n{explain(obs)}") from error
        size = sum(path.stat().st_size for path in (obs.home / "Videos").glob("*.mkv"))
    problems = [] if size > 0 else ["no recording was written"]
    return cpu, wall, size, frame_trouble(log), problems


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("build_dir")
    parser.add_argument("--seconds", type=float, default=60.0)
    parser.add_argument("--smoke", action="store_true", help="a few seconds per run")
    args = parser.parse_args(argv)
    seconds = 3.0 if args.smoke else args.seconds
    if not Path(args.build_dir, "ryvo-obs.so").is_file():
        print(f"obs cpu: no ryvo-obs.so in {args.build_dir}", file=sys.stderr)
        return 1

    obs_harness.exit_on_sigterm()
    clip = make_clip(args.build_dir, 2 if args.smoke else 10)
    print(f"obs cpu: {WIDTH}x{HEIGHT} at {FPS} fps, x264 {VIDEO_KBPS} kbit/s CBR, "
          f"{seconds:.0f} s measured after {WARM_UP_S:.0f} s of warm-up, clip {clip.name}")
    try:
        with obs_harness.XServer() as x:
            return compare(args.build_dir, x.display, clip, seconds)
    except obs_harness.HarnessError as error:
        print(f"obs cpu: {error}", file=sys.stderr)
        return 1


def compare(build_dir, display, clip, seconds):
    stream_cpu, stream_wall, segments, stream_lag, stream_problems = streaming_run(
        build_dir, display, clip, seconds)
    print(f"  streaming through the plug-in: {stream_cpu:.2f} s CPU in {stream_wall:.1f} s "
          f"({100 * stream_cpu / stream_wall:.0f}% of a core), {segments} segments delivered")
    for line in stream_lag:
        print(f"    {line}")
    record_cpu, record_wall, size, record_lag, record_problems = recording_run(
        build_dir, display, clip, seconds)
    print(f"  recording, plug-in off: {record_cpu:.2f} s CPU in {record_wall:.1f} s "
          f"({100 * record_cpu / record_wall:.0f}% of a core), {size / 1e6:.1f} MB written")
    for line in record_lag:
        print(f"    {line}")
    problems = stream_problems + record_problems
    if problems:
        print("obs cpu: " + "; ".join(problems), file=sys.stderr)
        return 1
    stream_rate = stream_cpu / stream_wall
    record_rate = record_cpu / record_wall
    ratio = stream_rate / record_rate
    print("RESULT\t" + "\t".join([
        "OBS process CPU, streaming 1080p30 8 Mbit/s through the plug-in",
        f"{100 * stream_rate:.0f}% of a core",
        f"recording the same scene, plug-in off: {100 * record_rate:.0f}% of a core",
        f"{ratio:.2f}x (CPU time)", "<= 1.10x", "met" if ratio <= 1.10 else "missed"]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
