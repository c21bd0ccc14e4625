"""When the soak's dev server misbehaves, and the thread that makes it do so on time."""

import threading
import time
from dataclasses import dataclass


@dataclass(frozen=True)
class Window:
    kind: str         # "blackhole", "refuse" or "partial_drop"
    start: float      # seconds after the broadcast started
    duration: float   # 0 for a single dropped connection


@dataclass(frozen=True)
class Schedule:
    seconds: int
    windows: tuple

    def outages(self):
        return [w for w in self.windows if w.kind in ("blackhole", "refuse")]


def schedule_for(seconds, short):
    """The full soak: a minute of black hole, half a minute of refused connections, one upload
    cut off, each with time to recover before the next. The short one compresses it; its black
    hole still outlasts the sender's 15 s stall limit, so that the status has something to show
    while it lasts."""
    if short:
        windows = (Window("blackhole", 8, 20), Window("refuse", 40, 5),
                   Window("partial_drop", 55, 0))
        least = 70
    else:
        windows = (Window("blackhole", 20, 60), Window("refuse", 130, 30),
                   Window("partial_drop", 200, 0))
        least = 240
    if seconds < least:
        raise ValueError("a %s soak needs at least %d s" % ("short" if short else "full", least))
    return Schedule(seconds, windows)


class FaultScheduler:
    """Sets each window off on the dev server at its time; `injected` records when it did."""

    def __init__(self, server, schedule, started):
        self._server = server
        self._schedule = schedule
        self._started = started
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self.injected = []
        self.errors = []

    def start(self):
        self._thread.start()
        return self

    def stop(self):
        self._stop.set()

    def join(self):
        self._stop.set()
        self._thread.join(30)

    def _run(self):
        for window in self._schedule.windows:
            delay = self._started + window.start - time.monotonic()
            if self._stop.wait(max(0.0, delay)):
                return
            try:
                if window.kind == "partial_drop":
                    self._server.control("faults", {"kind": "upload", "action": "drop",
                                                    "stage": "partial"})
                else:
                    self._server.control("outage", {"mode": window.kind,
                                                    "duration_ms": int(window.duration * 1000)})
                self.injected.append((window, time.monotonic() - self._started))
            except Exception as error:  # noqa: BLE001 - reported as a failed check
                self.errors.append("%s at %.0f s: %s" % (window.kind, window.start, error))
