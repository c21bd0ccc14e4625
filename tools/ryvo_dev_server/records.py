"""What the server has received, per stream, agent and capture session."""

import os
import threading
import time

NO_SESSION = ""
NO_SESSION_DIR = "no-session"


def missing_between(received, low, high, limit):
    """Up to `limit` sequences in [low, high] that are not in the set `received`, ascending.
    Stops early, so a stray huge sequence number costs no more than `limit` steps."""
    gaps = []
    seq = low
    while seq <= high and len(gaps) < limit:
        if seq not in received:
            gaps.append(seq)
        seq += 1
    return gaps


class SessionRecord:
    """Segments of one capture session (one broadcast of one agent)."""

    def __init__(self, agent_id):
        self.agent_id = agent_id
        self.digests = {}
        self.duplicates = 0
        self.duplicate_sequences = []
        self.conflicts = 0
        self.digests_verified = 0
        self.digests_failed = 0
        self.bytes = 0
        self.duration_ms = 0

    def to_json(self, limit):
        received = sorted(self.digests)
        gaps = missing_between(self.digests, received[0], received[-1], limit) if received else []
        return {
            "agent_id": self.agent_id,
            "received": received,
            "segments": len(received),
            "gaps": gaps,
            "duplicates": self.duplicates,
            "duplicate_sequences": self.duplicate_sequences,
            "conflicts": self.conflicts,
            "digests_verified": self.digests_verified,
            "digests_failed": self.digests_failed,
            "bytes": self.bytes,
            "duration_ms": self.duration_ms,
        }


class AgentRecord:
    """One delivering install of a stream. Its sequence numbers continue across capture
    sessions, so what it is missing is judged over all of its sessions together."""

    def __init__(self):
        self.sequences = set()
        self.heartbeats = 0
        self.last_heartbeat = None
        self.ends = 0
        self.backfill_polls = 0

    def missing(self, backfill_from, limit):
        if not self.sequences:
            return []
        low = min(self.sequences) if backfill_from is None else backfill_from
        return missing_between(self.sequences, low, max(self.sequences), limit)

    def to_json(self, backfill_from, limit):
        return {
            "segments": len(self.sequences),
            "highest": max(self.sequences) if self.sequences else None,
            "missing": self.missing(backfill_from, limit),
            "heartbeats": {"count": self.heartbeats, "last": self.last_heartbeat},
            "end_received": self.ends > 0,
            "ends": self.ends,
            "backfill_polls": self.backfill_polls,
        }


class StreamRecord:
    def __init__(self):
        self.sessions = {}
        self.agents = {}
        self.requests = {"upload": 0, "heartbeat": 0, "backfill": 0, "end": 0}
        self.rejected = {}

    def agent(self, agent_id):
        return self.agents.setdefault(agent_id, AgentRecord())

    def session(self, capture_session_id, agent_id):
        return self.sessions.setdefault(capture_session_id, SessionRecord(agent_id))


class Records:
    """Thread-safe record of everything received. Segment bytes go to `data_dir` (when given)
    as <stream>/<capture session>/<sequence>.ts; the digests and counters stay in memory."""

    def __init__(self, data_dir=None, backfill_from=None, backfill_limit=1000):
        self._lock = threading.Lock()
        self._streams = {}
        self._data_dir = data_dir
        self._files = set()
        self.backfill_from = backfill_from
        self.backfill_limit = backfill_limit
        self.connections = 0
        self.started_at = time.time()

    def _stream_locked(self, stream_id):
        return self._streams.setdefault(stream_id, StreamRecord())

    def count_connection(self):
        with self._lock:
            self.connections += 1

    def count_request(self, stream_id, kind):
        with self._lock:
            self._stream_locked(stream_id).requests[kind] += 1

    def count_rejection(self, stream_id, error_code):
        with self._lock:
            rejected = self._stream_locked(stream_id).rejected
            rejected[error_code] = rejected.get(error_code, 0) + 1

    def count_digest_failure(self, stream_id, capture_session_id, agent_id):
        with self._lock:
            stream = self._stream_locked(stream_id)
            stream.session(capture_session_id, agent_id).digests_failed += 1

    def segment_path(self, stream_id, capture_session_id, sequence):
        folder = capture_session_id or NO_SESSION_DIR
        return os.path.join(self._data_dir, stream_id, folder, "%d.ts" % sequence)

    def store_segment(self, stream_id, capture_session_id, agent_id, sequence, digest, body,
                      duration_ms):
        """Records a verified segment; returns "new", "duplicate" or "conflict" (the same
        sequence again with other bytes, which replace the earlier ones)."""
        if self._data_dir is not None:
            path = self.segment_path(stream_id, capture_session_id, sequence)
            self._write_file(path, body)
            with self._lock:
                self._files.add(path)
        with self._lock:
            stream = self._stream_locked(stream_id)
            session = stream.session(capture_session_id, agent_id)
            session.digests_verified += 1
            previous = session.digests.get(sequence)
            session.digests[sequence] = digest
            stream.agent(agent_id).sequences.add(sequence)
            if previous is None:
                session.bytes += len(body)
                session.duration_ms += duration_ms
                return "new"
            session.duplicates += 1
            session.duplicate_sequences.append(sequence)
            if previous != digest:
                session.conflicts += 1
                return "conflict"
            return "duplicate"

    @staticmethod
    def _write_file(path, body):
        # Written beside and renamed, so a reader never sees half a segment.
        os.makedirs(os.path.dirname(path), exist_ok=True)
        partial = "%s.%d.part" % (path, threading.get_ident())
        with open(partial, "wb") as out:
            out.write(body)
        os.replace(partial, path)

    def record_heartbeat(self, stream_id, agent_id, payload):
        with self._lock:
            agent = self._stream_locked(stream_id).agent(agent_id)
            agent.heartbeats += 1
            agent.last_heartbeat = payload

    def record_end(self, stream_id, agent_id):
        with self._lock:
            self._stream_locked(stream_id).agent(agent_id).ends += 1

    def missing_sequences(self, stream_id, agent_id):
        with self._lock:
            agent = self._stream_locked(stream_id).agent(agent_id)
            agent.backfill_polls += 1
            return agent.missing(self.backfill_from, self.backfill_limit)

    def clear(self):
        """Forgets everything received, the segment files written included."""
        with self._lock:
            self._streams = {}
            self.connections = 0
            files, self._files = self._files, set()
        for path in files:
            try:
                os.remove(path)
            except FileNotFoundError:
                pass

    def report(self):
        with self._lock:
            streams = {}
            for stream_id, stream in self._streams.items():
                streams[stream_id] = {
                    "sessions": {sid: s.to_json(self.backfill_limit)
                                 for sid, s in stream.sessions.items()},
                    "agents": {aid: a.to_json(self.backfill_from, self.backfill_limit)
                               for aid, a in stream.agents.items()},
                    "requests": dict(stream.requests),
                    "rejected": dict(stream.rejected),
                }
            return {"streams": streams, "connections": self.connections}

    def summary(self):
        """Totals over all streams, for the exit line."""
        with self._lock:
            totals = {"streams": len(self._streams), "segments": 0, "duplicates": 0, "gaps": 0,
                      "digest_failures": 0, "heartbeats": 0, "ends": 0}
            for stream in self._streams.values():
                for session in stream.sessions.values():
                    totals["segments"] += len(session.digests)
                    totals["duplicates"] += session.duplicates
                    totals["digest_failures"] += session.digests_failed
                for agent in stream.agents.values():
                    totals["gaps"] += len(agent.missing(self.backfill_from, self.backfill_limit))
                    totals["heartbeats"] += agent.heartbeats
                    totals["ends"] += agent.ends
            totals["connections"] = self.connections
            return totals
