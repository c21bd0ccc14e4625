#!/usr/bin/python3
"""The outage soak: a live 8 Mbit/s broadcast delivered to the dev server while the server, on a
schedule, black-holes every request, refuses connections, answers a share of the uploads with 500
and with 429 + Retry-After, and cuts one upload off halfway through its body. Afterwards it checks
that the server holds every sequence exactly once with verified digests, that no packet was lost
on the way, that the status showed the trouble while it lasted and cleared afterwards, and that
memory stayed within the cache bound plus a fixed overhead. It prints one table of what was
injected and what was recovered and writes it to <build dir>/soak/.

    scripts/soak.py --build-dir build --variant send [--seconds 300]
    scripts/soak.py --build-dir build --variant obs --short

`send` broadcasts a generated clip through ryvo-send; `obs` streams from a real OBS through the
plug-in's own service (the Stream button). Exit status 0 when every check passed, 1 otherwise."""

import argparse
import json
import os
import re
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

SOURCE_DIR = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(SOURCE_DIR / "tests" / "support"))
from dev_server import DevServer  # noqa: E402
from soak_checks import (Sample, cache_bound_bytes, check_delivery, check_memory,  # noqa: E402
                         check_status, format_table)
from soak_schedule import FaultScheduler, schedule_for  # noqa: E402

STREAM, KEY = "soak", "soak-key"
SEED = 9
FPS = 30
VIDEO_KBPS = 8000
# One pass of the clip; the broadcast loops it, so that the clip is cheap to make once.
CLIP_SECONDS = 20
SEGMENT_MS = 2000
# The cache bound: two minutes at the stream's whole rate (video, audio and transport-stream
# overhead), well over the longest stretch the outages leave for backfill to recover.
ESTIMATED_KBPS = 9000
RAM_BUFFER_MINUTES = 2
# Memory the sender needs beside its cache: libraries, FFmpeg's demuxer and muxer, the segment
# being assembled, libcurl's buffers.
SEND_OVERHEAD_BYTES = 96 << 20
# OBS's own growth while streaming beside the cache: the encoder's and the output's buffers.
OBS_OVERHEAD_BYTES = 192 << 20
RANDOM_FAULTS = [{"percent": 5, "status": 500},
                 {"percent": 2, "status": 429, "retry_after": "2"}]


def make_clip(path):
    """testsrc2 + sine at a constant 8 Mbit/s, a keyframe every 2 s; made once per build dir."""
    if path.is_file():
        return path
    path.parent.mkdir(parents=True, exist_ok=True)
    partial = path.with_suffix(".part.mp4")
    kbps = "%dk" % VIDEO_KBPS
    subprocess.run(
        ["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc2=size=1280x720:rate=%d" % FPS,
         "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000", "-t", str(CLIP_SECONDS),
         "-pix_fmt", "yuv420p", "-g", str(2 * FPS), "-c:v", "libx264", "-preset", "veryfast",
         "-b:v", kbps, "-minrate", kbps, "-maxrate", kbps, "-bufsize", "4000k",
         "-x264-params", "nal-hrd=cbr", "-c:a", "aac", "-b:a", "128k", str(partial)],
        stdin=subprocess.DEVNULL, check=True, timeout=600)
    partial.replace(path)
    return path


def packet_counts(path):
    """Video and audio packets in a media file."""
    out = subprocess.run(
        ["ffprobe", "-v", "error", "-count_packets", "-show_entries",
         "stream=codec_type,nb_read_packets", "-of", "json", str(path)],
        capture_output=True, text=True, check=True, timeout=300)
    counts = {"video": 0, "audio": 0}
    for stream in json.loads(out.stdout)["streams"]:
        counts[stream["codec_type"]] += int(stream["nb_read_packets"])
    return counts


def stored_packet_counts(segments_dir):
    """Packets in the stored segments joined in sequence order, as a player would read them."""
    files = sorted(Path(segments_dir).rglob("*.ts"), key=lambda p: int(p.stem))
    with tempfile.NamedTemporaryFile(suffix=".ts") as joined:
        for path in files:
            joined.write(path.read_bytes())
        joined.flush()
        return packet_counts(joined.name)


def start_faults(server):
    server.control("random", {"kind": "upload", "seed": SEED, "faults": RANDOM_FAULTS})


def run_send(args, schedule, server, work):
    binary = Path(args.build_dir, "tools", "ryvo-send", "ryvo-send")
    clip = make_clip(Path(args.build_dir, "soak", "clip-%ds-%dk.mp4" % (CLIP_SECONDS, VIDEO_KBPS)))
    loops = -(-schedule.seconds // CLIP_SECONDS)
    config = work / "config.json"
    config.write_text(json.dumps({
        "enabled": True, "auth_mode": "manual", "stream_id": STREAM, "api_key": KEY,
        "api_endpoint": server.base_url, "runtime_mode": "full",
        "segment_duration_ms": SEGMENT_MS, "ram_buffer_minutes": RAM_BUFFER_MINUTES,
        "estimated_bitrate_kbps": ESTIMATED_KBPS}))
    config.chmod(0o600)
    env = {k: v for k, v in os.environ.items() if not k.startswith("RYVO_")}
    env["XDG_CONFIG_HOME"] = str(work / "xdg")
    start_faults(server)
    process = subprocess.Popen(
        [str(binary), "--config", str(config), "--state", str(work / "state.json"),
         "--status-json", "--loop", str(loops), str(clip)],
        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
        env=env)
    started = time.monotonic()
    scheduler = FaultScheduler(server, schedule, started).start()
    samples, other = [], []

    def read():
        for line in process.stderr:
            if line.startswith("ryvo-send status: "):
                samples.append(Sample.from_send(time.monotonic() - started,
                                                json.loads(line[len("ryvo-send status: "):])))
            else:
                other.append(line.rstrip("\n"))

    reader = threading.Thread(target=read, daemon=True)
    reader.start()
    watchdog = threading.Timer(schedule.seconds + 120, process.kill)
    watchdog.start()
    # wait4 rather than wait: the kernel's peak resident size of the child comes with it.
    _, status, usage = os.wait4(process.pid, 0)
    process.returncode = os.waitstatus_to_exitcode(status)
    watchdog.cancel()
    reader.join(30)
    scheduler.join()
    summary = next((m for line in other if (m := re.search(r"sent (\d+) segments? \(", line))),
                   None)
    clip_counts = packet_counts(clip)
    return {
        "exit_code": process.returncode,
        "output": other,
        "samples": samples,
        "injections": scheduler.injected,
        "scheduler_errors": scheduler.errors,
        "video_kbps": VIDEO_KBPS,
        "first_sequence": 1,
        "last_sequence": int(summary[1]) if summary else 0,
        "sent_packets": {kind: n * loops for kind, n in clip_counts.items()},
        # Each pass after the first starts with an audio priming packet that overlaps the end of
        # the pass before and is skipped by the looping.
        "audio_packets_not_sent": loops - 1,
        "peak_bytes": usage.ru_maxrss * 1024,
        "memory_overhead": SEND_OVERHEAD_BYTES,
        "memory_what": "ryvo-send peak resident size (getrusage)",
        # The sender hands each packet to the muxer itself, without a queue that could drop;
        # the packet counts above are its check.
        "mux_drops": None,
    }


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build-dir", required=True, help="the CMake build with ryvo-send")
    parser.add_argument("--variant", choices=("send", "obs"), required=True)
    parser.add_argument("--short", action="store_true",
                        help="the compressed schedule of the test suite (about 80 s)")
    parser.add_argument("--seconds", type=int, help="broadcast length (default 300, short 80)")
    args = parser.parse_args(argv)
    try:
        schedule = schedule_for(args.seconds or (80 if args.short else 300), args.short)
    except ValueError as error:
        parser.error(str(error))
    results_dir = Path(args.build_dir, "soak")
    results_dir.mkdir(parents=True, exist_ok=True)
    with tempfile.TemporaryDirectory(prefix="ryvo-soak-") as tmp:
        work = Path(tmp)
        segments = work / "segments"
        with DevServer(streams={STREAM: KEY}, data_dir=str(segments)) as server:
            if args.variant == "send":
                run = run_send(args, schedule, server, work)
            else:
                from soak_obs import run_obs
                run = run_obs(args, schedule, server, work, start_faults,
                              {"segment_duration_ms": SEGMENT_MS,
                               "ram_buffer_minutes": RAM_BUFFER_MINUTES,
                               "estimated_bitrate_kbps": ESTIMATED_KBPS},
                              VIDEO_KBPS, OBS_OVERHEAD_BYTES)
            report = server.report()
        run["stored_packets"] = stored_packet_counts(segments) if any(segments.rglob("*.ts")) \
            else {"video": 0, "audio": 0}
    bound = cache_bound_bytes(ESTIMATED_KBPS, RAM_BUFFER_MINUTES)
    failures = (check_delivery(run, report, STREAM)
                + check_status(run["samples"], schedule, run["injections"])
                + check_memory(run, bound))
    if run["exit_code"] != 0:
        failures.append("the sender exited with %s: %s" % (run["exit_code"],
                                                           " | ".join(run["output"][-3:])))
    table = format_table(args.variant, schedule, run, report, STREAM, bound, failures)
    name = "results-%s%s.md" % (args.variant, "-short" if args.short else "")
    (results_dir / name).write_text(table + "\n")
    print(table)
    print("written to %s" % (results_dir / name))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
