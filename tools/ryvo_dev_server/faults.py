"""Misbehaviour on command: fixed answers for the next requests of a kind, random faults,
held requests and outage windows. Every wait here ends at its deadline or on release."""

import json
import random
import threading
import time

KINDS = ("upload", "heartbeat", "backfill", "end", "link_start", "link_poll", "link_cancel")
ACTIONS = ("respond", "delay", "drop")
# "partial" reads half of the body and then hangs up: the client is cut off mid-upload.
DROP_STAGES = ("headers", "partial", "body", "stored")
OUTAGE_MODES = ("refuse", "blackhole")
MAX_WAIT_MS = 600_000


class FaultError(ValueError):
    """A control request that does not describe a usable fault."""


def _int_field(obj, name, default, low, high):
    value = obj.get(name, default)
    if isinstance(value, bool) or not isinstance(value, int) or not low <= value <= high:
        raise FaultError("%s must be an integer from %d to %d" % (name, low, high))
    return value


def _kind_field(obj):
    kind = obj.get("kind")
    if kind not in KINDS:
        raise FaultError("kind must be one of " + ", ".join(KINDS))
    return kind


class Fault:
    """What to do with one request instead of (or before) answering it normally."""

    def __init__(self, obj):
        if not isinstance(obj, dict):
            raise FaultError("a fault is a JSON object")
        has_status = "status" in obj
        self.action = obj.get("action", "respond" if has_status else None)
        if self.action not in ACTIONS:
            raise FaultError("action must be one of " + ", ".join(ACTIONS))
        self.status = None
        if has_status:
            self.status = _int_field(obj, "status", None, 100, 599)
        elif self.action == "respond":
            raise FaultError("respond needs a status")
        self.body = obj.get("body")
        retry_after = obj.get("retry_after")
        if retry_after is not None and not isinstance(retry_after, (str, int)):
            raise FaultError("retry_after must be a string or an integer")
        self.retry_after = None if retry_after is None else str(retry_after)
        self.delay_ms = 0
        if self.action == "delay":
            self.delay_ms = _int_field(obj, "delay_ms", None, 0, MAX_WAIT_MS)
        self.stage = None
        if self.action == "drop":
            self.stage = obj.get("stage", "headers")
            if self.stage not in DROP_STAGES:
                raise FaultError("stage must be one of " + ", ".join(DROP_STAGES))

    def body_bytes(self):
        """The answer's body: a given string as it stands, anything else as JSON; by default
        the error object a real service sends with that status."""
        if self.body is None:
            return json.dumps({"error": "injected_fault", "status": self.status}).encode()
        if isinstance(self.body, str):
            return self.body.encode()
        return json.dumps(self.body).encode()

    def label(self):
        """How the report counts it."""
        if self.action == "drop":
            return "drop_" + self.stage
        if self.action == "delay":
            return "delay" if self.status is None else "delay_%d" % self.status
        return "status_%d" % self.status


class _FixedRule:
    def __init__(self, obj):
        self.kind = _kind_field(obj)
        self.remaining = _int_field(obj, "count", 1, 1, 1_000_000)
        self.stream = obj.get("stream")
        self.sequence = obj.get("sequence")
        if self.sequence is not None:
            if self.kind != "upload":
                raise FaultError("only upload faults can name a sequence")
            _int_field(obj, "sequence", None, 0, 2**63 - 1)
        self.fault = Fault(obj)

    def matches(self, kind, stream_id, sequence):
        return (self.kind == kind and self.stream in (None, stream_id)
                and self.sequence in (None, sequence))


class _RandomRules:
    def __init__(self, obj):
        self.kind = _kind_field(obj)
        seed = obj.get("seed", 0)
        self.rng = random.Random("%s:%s" % (seed, self.kind))
        rules = obj.get("faults")
        if not isinstance(rules, list):
            raise FaultError("faults must be a list (empty to stop random faults of the kind)")
        self.rules = []
        total = 0.0
        for rule in rules:
            percent = rule.get("percent") if isinstance(rule, dict) else None
            if isinstance(percent, bool) or not isinstance(percent, (int, float)) or percent < 0:
                raise FaultError("each random fault needs a non-negative percent")
            total += percent
            self.rules.append((total, Fault(rule)))
        if total > 100:
            raise FaultError("the percents add up to more than 100")

    def draw(self):
        roll = self.rng.random() * 100
        for bound, fault in self.rules:
            if roll < bound:
                return fault
        return None


class FaultPlan:
    def __init__(self, clock=time.monotonic):
        self._clock = clock
        self._cond = threading.Condition()
        self._fixed = []
        self._random = {}
        self._injected = {}
        self._outage_mode = None
        self._outage_until = 0.0
        self._generation = 0
        self._closed = False

    def add_fixed(self, obj):
        rule = _FixedRule(obj)
        with self._cond:
            self._fixed.append(rule)

    def set_random(self, obj):
        rules = _RandomRules(obj)
        with self._cond:
            if rules.rules:
                self._random[rules.kind] = rules
            else:
                self._random.pop(rules.kind, None)

    def pick(self, kind, stream_id, sequence=None):
        """The fault for this request, if any: queued rules first (oldest first), then the
        random ones. Counted as injected when picked."""
        with self._cond:
            fault = None
            for rule in self._fixed:
                if rule.matches(kind, stream_id, sequence):
                    rule.remaining -= 1
                    if rule.remaining == 0:
                        self._fixed.remove(rule)
                    fault = rule.fault
                    break
            if fault is None and kind in self._random:
                fault = self._random[kind].draw()
            if fault is not None:
                counts = self._injected.setdefault(kind, {})
                counts[fault.label()] = counts.get(fault.label(), 0) + 1
            return fault

    def set_outage(self, obj):
        """Ends the current outage or starts a new one before the control request is answered,
        so that the very next request already sees the change. A refusing outage is the
        exception: it closes every connection, the control one included, so it is returned as
        a call to make once the answer is out."""
        mode = obj.get("mode")
        if mode in (None, "none"):
            self._end_outage()
            return None
        if mode not in OUTAGE_MODES:
            raise FaultError("mode must be none or one of " + ", ".join(OUTAGE_MODES))
        duration_ms = _int_field(obj, "duration_ms", None, 1, MAX_WAIT_MS)
        if mode == "blackhole":
            self._start_outage(mode, duration_ms)
            return None
        return lambda: self._start_outage(mode, duration_ms)

    def _start_outage(self, mode, duration_ms):
        with self._cond:
            self._outage_mode = mode
            self._outage_until = self._clock() + duration_ms / 1000
            counts = self._injected.setdefault("outage", {})
            counts[mode] = counts.get(mode, 0) + 1

    def _end_outage(self):
        with self._cond:
            self._outage_mode = None
            self._cond.notify_all()

    def outage(self):
        """The outage mode in force now, or None."""
        with self._cond:
            return self._outage_mode_locked()

    def _outage_mode_locked(self):
        if self._outage_mode is not None and self._clock() >= self._outage_until:
            self._outage_mode = None
        return self._outage_mode

    def hold(self, delay_ms):
        """Waits `delay_ms`; returns False when released early (reset or shutdown)."""
        deadline = self._clock() + delay_ms / 1000
        with self._cond:
            generation = self._generation
            while not self._closed and generation == self._generation:
                left = deadline - self._clock()
                if left <= 0:
                    return True
                self._cond.wait(left)
            return False

    def hold_through_outage(self):
        """Waits while a black-hole outage lasts; returns False when released early."""
        with self._cond:
            generation = self._generation
            while not self._closed and generation == self._generation:
                if self._outage_mode_locked() != "blackhole":
                    return True
                self._cond.wait(max(0.0, self._outage_until - self._clock()))
            return False

    def reset(self, counts=False):
        """Forgets every fault (and, with `counts`, what was injected) and releases held
        requests."""
        with self._cond:
            if counts:
                self._injected = {}
            self._fixed = []
            self._random = {}
            self._outage_mode = None
            self._generation += 1
            self._cond.notify_all()

    def close(self):
        """Releases every held request for good (shutdown)."""
        with self._cond:
            self._closed = True
            self._cond.notify_all()

    @property
    def closed(self):
        with self._cond:
            return self._closed

    def report(self):
        with self._cond:
            pending = [{"kind": r.kind, "remaining": r.remaining, "fault": r.fault.label()}
                       for r in self._fixed]
            return {"injected": {k: dict(v) for k, v in self._injected.items()},
                    "pending": pending,
                    "random": sorted(self._random),
                    "outage": self._outage_mode_locked()}

    def injected_total(self):
        with self._cond:
            return sum(sum(v.values()) for v in self._injected.values())
