"""The soak's OBS variant: real OBS streams through the plug-in's own service (the Stream button,
driven over obs-websocket) while the dev server misbehaves on the soak's schedule. The status is
read from the plug-in's "runtime status" log lines as OBS writes them."""

import re
import threading
import time
from pathlib import Path

import obs_harness
from ryvo_configs import manual_config
from soak_checks import Sample
from soak_schedule import FaultScheduler

STREAM, KEY = "soak", "soak-key"
_STATUS = re.compile(r"\[ryvo-obs\] runtime status: sequence=(?P<sequence>-?\d+) "
                     r"queue=(?P<queue>\d+) .* mux_drops=(?P<drops>\d+) "
                     r"connected=(?P<connected>true|false) error=(?P<error>.*)$")
_STOPPED = re.compile(r"\[ryvo-obs\] stop: queue=\d+ last_sequence=(\d+)")
_FINISHED = re.compile(r"\[ryvo-obs\] finishing (complete|gave up): .*")


def proc_status_bytes(pid, field):
    """VmRSS, VmHWM, ... of a process, in bytes."""
    for line in Path("/proc/%d/status" % pid).read_text().splitlines():
        if line.startswith(field + ":"):
            return int(line.split()[1]) * 1024
    raise KeyError(field)


class LogFollower:
    """Reads the new lines of OBS's log a few times a second and keeps the status lines, each
    stamped with when it was read."""

    def __init__(self, obs, started):
        self._obs = obs
        self._started = started
        self._seen = 0
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self.samples = []
        self.mux_drops = 0

    def start(self):
        self._thread.start()
        return self

    def stop(self):
        self._stop.set()
        self._thread.join(10)
        self._read()

    def _run(self):
        while not self._stop.wait(0.25):
            self._read()

    def _read(self):
        lines = self._obs.log_text().splitlines()
        # The last line may still be being written.
        complete = lines[:-1]
        for line in complete[self._seen:]:
            match = _STATUS.search(line)
            if match:
                error = match["error"].strip()
                self.samples.append(Sample(time.monotonic() - self._started,
                                           int(match["sequence"]), int(match["queue"]),
                                           match["connected"] == "true",
                                           "" if error == "none" else error))
                self.mux_drops = max(self.mux_drops, int(match["drops"]))
        self._seen = max(self._seen, len(complete))


def run_obs(args, schedule, server, work, start_faults, delivery, video_kbps, overhead):
    x = obs_harness.XServer().start()
    try:
        with obs_harness.ObsSession(args.build_dir, x.display) as obs:
            basic = obs.obs_config / "basic/profiles" / obs_harness.PROFILE / "basic.ini"
            # The Stream button's encoder: x264 at the soak's bitrate, constant rate.
            basic.write_text(basic.read_text().replace(
                "[SimpleOutput]\n", "[SimpleOutput]\nVBitrate=%d\n" % video_kbps))
            obs.write_ryvo_config(manual_config(STREAM, KEY, server.base_url, **delivery))
            obs.start()
            obs.wait_for_log([obs_harness.STARTUP_COMPLETE,
                              "[ryvo-obs] selected Ryvo as the active OBS streaming service"])
            with obs.websocket() as ws:
                baseline = proc_status_bytes(obs.pid, "VmRSS")
                start_faults(server)
                ws.request("StartStream")
                obs.wait_for_log(["[ryvo-obs] attached Ryvo ingest to OBS ryvo_stream output"])
                started = time.monotonic()
                follower = LogFollower(obs, started).start()
                scheduler = FaultScheduler(server, schedule, started).start()
                time.sleep(max(0.0, started + schedule.seconds - time.monotonic()))
                ws.request("StopStream")
                log = obs.wait_for_log([_STOPPED, _FINISHED], timeout=90)
                peak = proc_status_bytes(obs.pid, "VmHWM")
                scheduler.join()
                follower.stop()
            quit_log = obs.quit()
            Path(args.build_dir, "soak", "obs-%s.log" % ("short" if args.short else "full")) \
                .write_text(quit_log)
    finally:
        x.stop()
    last = int(_STOPPED.search(log)[1])
    finished = _FINISHED.search(log)
    complete = finished[1] == "complete"
    return {
        "exit_code": 0 if complete and "mux queue overflow" not in log else finished[0],
        "output": [line for line in log.splitlines()
                   if "[ryvo-obs] stop:" in line or "[ryvo-obs] finishing" in line],
        "samples": follower.samples,
        "injections": scheduler.injected,
        "scheduler_errors": scheduler.errors,
        "video_kbps": video_kbps,
        "first_sequence": 1,
        "last_sequence": last,
        "sent_packets": None,
        "frames_output": frames_output(quit_log),
        "tapped_packets": tapped_packets(log),
        "peak_bytes": max(0, peak - baseline),
        "memory_overhead": overhead,
        "memory_what": "OBS peak resident growth while streaming (VmHWM - VmRSS before Start)",
        "mux_drops": follower.mux_drops,
        "obs_skipped_frames": obs_skipped_frames(quit_log),
    }


def tapped_packets(log):
    """The packets the plug-in took from OBS's output, by its own count at the detach."""
    found = re.findall(r"\[ryvo-obs\] detached from OBS \S+ output after (\d+) packets", log)
    return int(found[-1]) if found else None


def frames_output(log):
    """The video frames OBS's output handed on, by its own count at the stop."""
    found = re.findall(r"Output '[^']*': Total frames output: (\d+)", log)
    return int(found[-1]) if found else None


def obs_skipped_frames(log):
    """OBS's own account of the frames it produced and skipped, for the record; not ours to
    judge."""
    found = re.findall(r"(Total frames output: .*|Number of lagged frames due to rendering "
                       r"lag/stalls: .*|number of skipped frames due to encoding lag: .*)$",
                       log, re.MULTILINE)
    return "; ".join(found) if found else "not logged"
