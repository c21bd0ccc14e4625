"""The soak's verdicts and its results table."""

from dataclasses import dataclass

# How long after an outage the status may take to show it (the sender notices a black hole only
# when its 15 s stall limit runs out) and to be clean again.
NOTICE_SECONDS = 20
RECOVERY_SECONDS = 45


@dataclass(frozen=True)
class Sample:
    at: float  # seconds after the broadcast started
    segments: int
    queue: int
    connected: bool
    error: str

    @property
    def clean(self):
        return self.connected and not self.error

    @classmethod
    def from_send(cls, at, status):
        return cls(at, status["segments"], status["queue"], status["connected"],
                   status["last_error"])


def cache_bound_bytes(estimated_kbps, buffer_minutes):
    """The session's cache bound, as the runtime derives it from the configuration."""
    return max(estimated_kbps, 1) * max(buffer_minutes, 1) * 7500


def session_of(report, stream):
    sessions = report["streams"].get(stream, {}).get("sessions", {})
    return next(iter(sessions.values())) if len(sessions) == 1 else None


def check_delivery(run, report, stream):
    failures = []
    sessions = report["streams"].get(stream, {}).get("sessions", {})
    if len(sessions) != 1:
        return ["expected one capture session on the server, found %d" % len(sessions)]
    session = session_of(report, stream)
    expected = list(range(run["first_sequence"], run["last_sequence"] + 1))
    received = session["received"]
    if not expected:
        failures.append("no segment was cut")
    elif received != expected:
        missing = sorted(set(expected) - set(received))
        extra = sorted(set(received) - set(expected))
        failures.append("server holds %d of sequences %d..%d; missing %s, unexpected %s"
                        % (len(received), expected[0], expected[-1], missing[:20], extra[:20]))
    for field in ("duplicates", "conflicts", "digests_failed"):
        if session[field]:
            failures.append("%s: %d %s" % (field, session[field],
                                           session.get("duplicate_sequences", [])[:20]))
    if session["digests_verified"] != len(received):
        failures.append("%d digests verified for %d segments"
                        % (session["digests_verified"], len(received)))
    agent = report["streams"][stream]["agents"].get("primary", {})
    if agent.get("ends") != 1:
        failures.append("the broadcast was ended %s times" % agent.get("ends"))
    if run["mux_drops"]:
        failures.append("%d packets dropped before the muxer" % run["mux_drops"])
    sent, stored = run.get("sent_packets"), run["stored_packets"]
    if sent is not None and (stored["video"] != sent["video"] or
                             sent["audio"] - stored["audio"] != run["audio_packets_not_sent"]):
        failures.append("packets sent %s, stored %s" % (sent, stored))
    tapped = run.get("tapped_packets")
    if tapped is not None and not 0 <= tapped - stored["video"] - stored["audio"] <= 1:
        failures.append("the plug-in took %d packets from OBS, the server holds %d"
                        % (tapped, stored["video"] + stored["audio"]))
    return failures + ["fault not injected: " + e for e in run["scheduler_errors"]]


def outage_response(samples, window):
    """When the status first showed the outage, and when it was first clean after it."""
    end = window.start + window.duration
    noticed = next((s for s in samples
                    if window.start <= s.at <= end + NOTICE_SECONDS and not s.clean), None)
    recovered = next((s for s in samples
                      if end < s.at <= end + RECOVERY_SECONDS and s.clean
                      and (noticed is None or s.at > noticed.at)), None)
    return noticed, recovered


def check_status(samples, schedule, injected):
    failures = []
    fired = {window for window, _ in injected}
    for window in schedule.outages():
        if window not in fired:
            failures.append("the %s outage was never started" % window.kind)
            continue
        noticed, recovered = outage_response(samples, window)
        if noticed is None:
            failures.append("the status never showed the %s outage at %.0f s"
                            % (window.kind, window.start))
        if recovered is None:
            failures.append("the status was not clean within %d s after the %s outage"
                            % (RECOVERY_SECONDS, window.kind))
    return failures


def check_memory(run, bound):
    if run["peak_bytes"] > bound + run["memory_overhead"]:
        return ["%s %.1f MB is over the cache bound %.1f MB + overhead %.1f MB"
                % (run["memory_what"], run["peak_bytes"] / 1e6, bound / 1e6,
                   run["memory_overhead"] / 1e6)]
    return []


def _mb(value):
    return "%.1f MB" % (value / 1e6)


def format_table(variant, schedule, run, report, stream, bound, failures):
    injected = report.get("faults", {}).get("injected", {})
    uploads = injected.get("upload", {})
    session = session_of(report, stream) or {"received": [], "duplicates": 0,
                                             "digests_failed": 0, "digests_verified": 0}
    stream_report = report["streams"].get(stream, {})
    agent = stream_report.get("agents", {}).get("primary", {})
    fired = dict(run["injections"])
    title = {"send": "ryvo-send", "obs": "OBS (Stream button, Ryvo service)"}[variant]
    rows = ["### Soak: %s, %d s broadcast at %d kbit/s video" % (title, schedule.seconds,
                                                                  run["video_kbps"]),
            "",
            "| Injected | When | Status showed it | Recovered |",
            "|---|---|---|---|"]
    for window in schedule.windows:
        when = "%.0f s" % fired[window] if window in fired else "not injected"
        if window.kind == "partial_drop":
            rows.append("| one upload cut off halfway through its body | %s | - | "
                        "re-sent; %d dropped connection(s) counted by the server |"
                        % (when, uploads.get("drop_partial", 0)))
            continue
        noticed, recovered = outage_response(run["samples"], window)
        label = {"blackhole": "black hole: every request held, then dropped",
                 "refuse": "refused connections (port closed)"}[window.kind]
        rows.append("| %s, %.0f s | %s | %s | %s |" % (
            label, window.duration, when,
            "at %.0f s: %s" % (noticed.at, noticed.error or "disconnected") if noticed else "no",
            "clean at %.0f s, %.0f s after the outage" % (
                recovered.at, recovered.at - window.start - window.duration)
            if recovered else "no"))
    rows.append("| uploads answered 500 (5%%, seed fixed) | throughout | - | %d retried |"
                % uploads.get("status_500", 0))
    rows.append("| uploads answered 429 + Retry-After 2 s (2%%) | throughout | - | %d retried |"
                % uploads.get("status_429", 0))
    received = session["received"]
    sent, stored = run.get("sent_packets"), run["stored_packets"]
    rows += [
        "",
        "| Delivered | |",
        "|---|---|",
        "| segments cut | %d (sequences %d..%d) |" % (
            max(0, run["last_sequence"] - run["first_sequence"] + 1), run["first_sequence"],
            run["last_sequence"]),
        "| segments on the server | %d (%s), duplicates %d, digests verified %d, failed %d |" % (
            len(received), "%d..%d" % (received[0], received[-1]) if received else "none",
            session["duplicates"], session["digests_verified"], session["digests_failed"]),
        "| stored | %s for %.1f s of media: %.2f Mbit/s |" % (
            _mb(session.get("bytes", 0)), session.get("duration_ms", 0) / 1000,
            session.get("bytes", 0) * 8 / max(session.get("duration_ms", 0), 1) / 1000),
        "| backfill polls answered | %d |" % agent.get("backfill_polls", 0),
        "| packets (video/audio) | %s, stored %s%s |" % (
            "read from the file %d/%d" % (sent["video"], sent["audio"]) if sent
            else "OBS output %s video frames (not judged: OBS may hand over one more as it "
            "stops)" % run.get("frames_output"),
            "%d/%d" % (stored["video"], stored["audio"]),
            " (%d audio packets are the looping's overlap at the start of each pass)"
            % run["audio_packets_not_sent"] if sent else ""),
        "| packets dropped before the muxer | %s |" % (
            "none can be: no queue in front of the muxer" if run["mux_drops"] is None
            else run["mux_drops"]),
    ]
    if "tapped_packets" in run:
        rows.append("| packets the plug-in took from OBS | %s (one may be a last silent audio "
                    "packet, too short to leave the muxer before the stop) |"
                    % run["tapped_packets"])
    if "obs_skipped_frames" in run:
        rows.append("| OBS's own frame counts (not judged) | %s |"
                    % run["obs_skipped_frames"])
    rows += [
        "| peak memory | %s: %s; bound %s (cache %s + overhead %s) |" % (
            run["memory_what"], _mb(run["peak_bytes"]), _mb(bound + run["memory_overhead"]),
            _mb(bound), _mb(run["memory_overhead"])),
        "| verdict | %s |" % ("PASS" if not failures else "FAIL: " + "; ".join(failures)),
    ]
    return "\n".join(rows)
