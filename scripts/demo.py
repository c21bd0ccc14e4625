#!/usr/bin/python3
"""Streams a moving test pattern with sound from Debian's OBS, headless, through the ryvo-obs
module to a local ingest server, and shows what the server received.

    scripts/demo.py <build-dir> [--seconds N]

Everything the run leaves behind is under <build-dir>/demo/: the received segments, the clip
OBS played and OBS's log.
"""

import argparse
import json
import shutil
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "support"))
import obs_harness  # noqa: E402
from dev_server import DevServer, DevServerError  # noqa: E402
from ryvo_configs import manual_config  # noqa: E402

STREAM_ID = "demo-stream"
API_KEY = "demo-key"
AGENT_ID = "primary"
CLIP_SECONDS = 10
# Lines the module logs again and again while streaming; a human needs only the first and last.
PERIODIC_LINES = ("[ryvo-obs] runtime status", "[ryvo-obs] packet tap active",
                  "[ryvo-obs] mux emitted chunk")


def say(text=""):
    print(text, flush=True)


def make_clip(path, size):
    """A looping clip of ffmpeg's moving colour pattern with a tone, so that the picture moves
    and the stream carries real sound."""
    width, height = size
    subprocess.run(
        ["ffmpeg", "-nostdin", "-loglevel", "error", "-y",
         "-f", "lavfi", "-i", f"testsrc2=size={width}x{height}:rate=30:duration={CLIP_SECONDS}",
         "-f", "lavfi", "-i", f"sine=frequency=440:sample_rate=48000:duration={CLIP_SECONDS}",
         "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p",
         "-c:a", "aac", "-shortest", str(path)],
        check=True, timeout=120)


def ryvo_config(endpoint):
    # Manual credentials need no credential store, and the loopback endpoint keeps the demo on
    # this machine.
    return manual_config(STREAM_ID, API_KEY, endpoint, ram_buffer_minutes=5)


def agent_of(report):
    stream = report["streams"].get(STREAM_ID, {})
    return stream.get("agents", {}).get(AGENT_ID, {})


def stream_for(obs, server, clip, seconds):
    with obs.websocket() as ws:
        service = ws.request("GetStreamServiceSettings")["streamServiceType"]
        say(f"  OBS's streaming service: {service}")
        ws.request("CreateInput", {
            "sceneName": "Scene", "inputName": "Test pattern", "inputKind": "ffmpeg_source",
            "inputSettings": {"is_local_file": True, "local_file": str(clip),
                              "looping": True, "restart_on_activate": False},
            "sceneItemEnabled": True})
        say("  Start Streaming")
        ws.request("StartStream")
        started = time.monotonic()
        while (elapsed := time.monotonic() - started) < seconds:
            time.sleep(min(5.0, seconds - elapsed))
            agent = agent_of(server.report())
            say(f"  {time.monotonic() - started:4.0f} s streamed: "
                f"{agent.get('segments', 0)} segments received")
        say("  Stop Streaming (the module drains its upload queue and ends the broadcast)")
        ws.request("StopStream")
        # Quitting while the output still winds down would ask OBS to stop it a second time.
        deadline = time.monotonic() + 60
        while ws.request("GetStreamStatus").get("outputActive"):
            if time.monotonic() > deadline:
                raise obs_harness.HarnessError("OBS's stream output did not stop within 60 s")
            time.sleep(0.2)
    obs.wait_for_log(["[ryvo-obs] detached from OBS"], timeout=60)


def condensed(lines):
    """The module's log lines without OBS's time stamps. Of the lines that repeat while
    streaming only the first and the last of each kind are kept; one marker stands for the
    rest."""
    texts = [line[line.index("[ryvo-obs] "):] for line in lines]
    last = {}
    for index, text in enumerate(texts):
        kind = periodic_kind(text)
        if kind:
            last[kind] = index
    out, seen, omitted, marker = [], set(), 0, None
    for index, text in enumerate(texts):
        kind = periodic_kind(text)
        if kind and kind in seen and index != last[kind]:
            omitted += 1
            if marker is None:
                marker = len(out)
                out.append("")
            continue
        seen.add(kind)
        out.append(text)
    if marker is not None:
        out[marker] = f"... ({omitted} more lines of the kinds above while streaming)"
    return out


def periodic_kind(text):
    return next((kind for kind in PERIODIC_LINES if text.startswith(kind)), None)


def probe(path):
    out = subprocess.run(
        ["ffprobe", "-v", "error", "-show_entries", "stream=codec_type,codec_name,width,height,"
         "sample_rate,channels", "-of", "json", str(path)],
        capture_output=True, text=True, timeout=30)
    if out.returncode != 0:
        return f"ffprobe failed: {out.stderr.strip()}"
    parts = []
    for stream in json.loads(out.stdout).get("streams", []):
        if stream.get("codec_type") == "video":
            parts.append(f"video {stream['codec_name']} {stream['width']}x{stream['height']}")
        elif stream.get("codec_type") == "audio":
            parts.append(f"audio {stream['codec_name']} {stream.get('sample_rate')} Hz "
                         f"{stream.get('channels')} ch")
    return ", ".join(parts) or "no streams"


def print_received(report, segments_dir):
    stream = report["streams"].get(STREAM_ID)
    if not stream:
        say("  nothing arrived")
        return 0
    agent = agent_of(report)
    heartbeats = agent.get("heartbeats", {}).get("count", 0)
    total = 0
    for session_id, session in stream["sessions"].items():
        received = session["received"]
        total += session["segments"]
        say(f"  capture session {session_id}:")
        say(f"    segments    {session['segments']} (sequences {received[0]}..{received[-1]})"
            if received else "    segments    0")
        say(f"    bytes       {session['bytes']:,}")
        say(f"    duration    {session['duration_ms'] / 1000:.1f} s")
        say(f"    digests     {session['digests_verified']} verified, "
            f"{session['digests_failed']} failed")
        say(f"    gaps        {session['gaps'] or 'none'}")
        say(f"    duplicates  {session['duplicates']}")
        folder = segments_dir / STREAM_ID / session_id
        say(f"    on disk     {folder}")
        if received:
            first = folder / f"{received[0]}.ts"
            say(f"    first       {first.name}: {probe(first)}")
    say(f"  heartbeats    {heartbeats}")
    say(f"  end received  {'yes' if agent.get('end_received') else 'no'}")
    rejected = stream.get("rejected")
    if rejected:
        say(f"  rejected      {rejected}")
    return total


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build_dir", help="the build directory that holds ryvo-obs.so")
    parser.add_argument("--seconds", type=float, default=30.0, help="how long to stream")
    args = parser.parse_args(argv)
    obs_harness.exit_on_sigterm()

    build_dir = Path(args.build_dir).resolve()
    if not (build_dir / "ryvo-obs.so").is_file():
        print(f"demo: no ryvo-obs.so in {build_dir} (build the module first)", file=sys.stderr)
        return 1
    demo_dir = build_dir / "demo"
    segments_dir = demo_dir / "segments"
    shutil.rmtree(demo_dir, ignore_errors=True)
    segments_dir.mkdir(parents=True)

    say("ryvo-obs demo")
    say(f"  module   {build_dir / 'ryvo-obs.so'}")
    say(f"  output   {demo_dir}")
    say()
    video = (640, 360)
    say(f"Making a {CLIP_SECONDS} s looping clip (moving test pattern, 440 Hz tone) with ffmpeg")
    clip = demo_dir / "test-pattern.mp4"
    make_clip(clip, video)

    quit_cleanly = False
    with DevServer(streams={STREAM_ID: API_KEY}, data_dir=str(segments_dir)) as server, \
            obs_harness.XServer() as x, \
            obs_harness.ObsSession(build_dir, x.display, source_dir=ROOT, video=video) as obs:
        say(f"Ingest server listening on {server.base_url}")
        obs.write_ryvo_config(ryvo_config(server.base_url))
        say("Starting OBS headless (Xvfb) with the module and a demo configuration")
        obs.start()
        try:
            obs.wait_for_log([obs_harness.STARTUP_COMPLETE, "[ryvo-obs] selected Ryvo"],
                             timeout=90)
            say(f"Streaming for {args.seconds:.0f} s")
            stream_for(obs, server, clip, args.seconds)
            say("Quitting OBS")
            obs.quit()
            quit_cleanly = obs.returncode() == 0
            if not quit_cleanly:
                say(f"  OBS exited with status {obs.returncode()}")
        except (obs_harness.HarnessError, DevServerError) as e:
            say(f"  failed: {e}")
        lines = obs.ryvo_lines()
        log_copy = demo_dir / "obs.log"
        log_copy.write_text(obs.log_text())
        report = server.report()
        server.stop()

    say()
    say("The module logged (condensed):")
    for line in condensed(lines):
        say(f"  {line}")
    say(f"  (OBS's whole log: {log_copy})")
    say()
    say("The ingest server received:")
    received = print_received(report, segments_dir)
    say()
    if received == 0:
        say("demo: FAILED - no segment arrived")
        return 1
    if not quit_cleanly:
        say("demo: FAILED - OBS did not quit cleanly")
        return 1
    say("demo: done")
    return 0


if __name__ == "__main__":
    sys.exit(main())
