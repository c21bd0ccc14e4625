"""The streams the server knows and the bearer key of each."""

import json
import re
import threading

# Stream and capture session identifiers become folder names under the data folder.
_SAFE_ID = re.compile(r"^[A-Za-z0-9_-][A-Za-z0-9._-]{0,127}$")


def is_safe_id(text):
    return bool(_SAFE_ID.match(text))


def parse_stream_arg(text):
    """"ID:KEY" from the command line."""
    stream_id, sep, key = text.partition(":")
    if not sep or not is_safe_id(stream_id) or not key:
        raise ValueError("expected ID:KEY with a non-empty key, got %r" % text)
    return stream_id, key


def load_streams_file(path):
    """A JSON file {"streams": {"ID": "KEY", ...}}."""
    with open(path, encoding="utf-8") as handle:
        data = json.load(handle)
    streams = data.get("streams") if isinstance(data, dict) else None
    if not isinstance(streams, dict):
        raise ValueError("%s: expected an object with a \"streams\" object" % path)
    pairs = []
    for stream_id, key in streams.items():
        if not is_safe_id(stream_id) or not isinstance(key, str) or not key:
            raise ValueError("%s: bad stream %r" % (path, stream_id))
        pairs.append((stream_id, key))
    return pairs


class Streams:
    def __init__(self, pairs):
        self._lock = threading.Lock()
        self._initial = dict(pairs)
        self._keys = dict(pairs)
        self._linked = {}
        self._revoked = set()

    def check(self, stream_id, authorization):
        """None when the request may proceed, else the error code to answer with."""
        with self._lock:
            key = self._keys.get(stream_id)
            if key is None:
                return "not_found"
            keys = {key} | self._linked.get(stream_id, set())
            if stream_id in self._revoked or authorization not in {"Bearer " + k for k in keys}:
                return "unauthorized"
            return None

    def set_key(self, stream_id, key):
        """Adds a stream or gives it a new key; a revoked stream is usable again."""
        if not is_safe_id(stream_id) or not isinstance(key, str) or not key:
            raise ValueError("stream needs a safe ID and a non-empty key")
        with self._lock:
            self._keys[stream_id] = key
            self._revoked.discard(stream_id)

    def add_key(self, stream_id, key):
        """A further key for a known stream (one handed out by an account link)."""
        with self._lock:
            if stream_id not in self._keys:
                raise KeyError(stream_id)
            self._linked.setdefault(stream_id, set()).add(key)

    def revoke(self, stream_id):
        with self._lock:
            if stream_id not in self._keys:
                raise KeyError(stream_id)
            self._revoked.add(stream_id)

    def reset(self):
        """Back to the streams and keys of start-up, nothing revoked."""
        with self._lock:
            self._keys = dict(self._initial)
            self._linked = {}
            self._revoked = set()

    def revoked(self):
        with self._lock:
            return sorted(self._revoked)

    def ids(self):
        with self._lock:
            return sorted(self._keys)
