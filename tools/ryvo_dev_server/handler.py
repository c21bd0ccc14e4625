"""One HTTP connection: the four ingest requests and the /_dev/ control requests."""

import hashlib
import http.server
import json
import re
import socket

from . import control, link_routes
from .streams import is_safe_id

_INGEST_PATH = re.compile(
    r"^.*/api/v1/streams/(?P<stream>[^/]+)/"
    r"(?:segments/(?P<sequence>[^/]*)|(?P<op>heartbeat|backfill-requests|end))$")
_KIND_OF_OP = {"heartbeat": "heartbeat", "backfill-requests": "backfill", "end": "end"}
_METHOD_OF_KIND = {"upload": "POST", "heartbeat": "POST", "backfill": "GET", "end": "POST"}
_DIGEST = re.compile(r"^[0-9a-f]{64}$")
_DECIMAL = re.compile(r"^-?[0-9]{1,19}$")
_CONTENT_LENGTH = re.compile(r"^[0-9]{1,18}$")
_INT64_MAX = 2**63 - 1
_HEARTBEAT_FIELDS = {"current_sequence": int, "cache_depth_minutes": (int, float),
                     "upload_queue_depth": int, "agent_version": str}
_MAX_SMALL_BODY = 1 << 20


class RequestAbandoned(Exception):
    """The connection is closed without an answer (an injected drop, an outage, shutdown)."""


class RequestRejected(Exception):
    def __init__(self, status, code, message=None, close=False):
        super().__init__(code)
        self.status = status
        self.code = code
        self.message = message
        self.close = close


def _media_type(value):
    return (value or "").split(";", 1)[0].strip().lower()


class DevServerHandler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "ryvo-dev-server"
    disable_nagle_algorithm = True
    # An idle keep-alive connection or a stalled body read gives up after this many seconds.
    timeout = 30

    def setup(self):
        super().setup()
        self.server.track_connection(self.connection)

    def finish(self):
        try:
            super().finish()
        except OSError:
            pass
        self.server.untrack_connection(self.connection)

    def log_message(self, format, *args):
        if self.server.verbose:
            super().log_message(format, *args)

    def do_GET(self):
        self._dispatch("GET")

    def do_POST(self):
        self._dispatch("POST")

    def do_PUT(self):
        self._dispatch("PUT")

    def do_DELETE(self):
        self._dispatch("DELETE")

    # -- answering ---------------------------------------------------------------------------

    def send_json(self, status, obj, retry_after=None, close=False):
        self.send_body(status, json.dumps(obj).encode(), retry_after, close)

    def send_body(self, status, body, retry_after=None, close=False,
                  content_type="application/json"):
        if self._silent:
            return
        try:
            self.send_response(status)
            self.send_header("Content-Type", content_type)
            self.send_header("Content-Length", str(len(body)))
            if retry_after is not None:
                self.send_header("Retry-After", retry_after)
            if close:
                self.send_header("Connection", "close")
                self.close_connection = True
            # Head and body leave in one write: a small second write would wait for the
            # client's delayed acknowledgement.
            self._headers_buffer.append(b"\r\n" + body)
            self.flush_headers()
        except OSError:
            # The client went away (it timed out on a held request, say); nothing to tell it.
            self.close_connection = True

    def abandon(self):
        """Closes the connection without answering; the client sees it end mid-exchange."""
        self.close_connection = True
        try:
            self.connection.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass

    # -- request bodies ----------------------------------------------------------------------

    def content_length(self, required):
        if "chunked" in self.headers.get("Transfer-Encoding", "").lower():
            raise RequestRejected(411, "length_required", "send a Content-Length", close=True)
        value = self.headers.get("Content-Length")
        if value is None:
            if required:
                raise RequestRejected(411, "length_required", "send a Content-Length")
            return 0
        if not _CONTENT_LENGTH.match(value):
            raise RequestRejected(400, "invalid_content_length", close=True)
        return int(value)

    def read_body(self, limit, required=True):
        length = self.content_length(required)
        if length > limit:
            # The unread body would be taken for the next request, so this connection ends.
            raise RequestRejected(413, "payload_too_large", "at most %d bytes" % limit,
                                  close=True)
        body = self.rfile.read(length) if length else b""
        if len(body) != length:
            raise RequestAbandoned()
        return body

    def request_body(self, kind, required):
        """The body of this ingest request, read once (a fault may read it before the normal
        handling does)."""
        if self._body is None:
            limit = self.server.max_segment_bytes if kind == "upload" else _MAX_SMALL_BODY
            self._body = self.read_body(limit, required)
        return self._body

    # -- routing -----------------------------------------------------------------------------

    def _dispatch(self, method):
        self._body = None
        self._silent = False
        path = self.path.split("?", 1)[0]
        try:
            if path.startswith("/_dev/"):
                self._control(method, path)
                return
            if link_routes.route(self, method, path):
                return
            match = _INGEST_PATH.match(path)
            if match is None:
                self.read_body(_MAX_SMALL_BODY, required=False)
                raise RequestRejected(404, "not_found")
            kind = _KIND_OF_OP.get(match.group("op"), "upload")
            if method != _METHOD_OF_KIND[kind]:
                self.read_body(_MAX_SMALL_BODY, required=False)
                raise RequestRejected(405, "method_not_allowed")
            self._ingest(kind, match.group("stream"), match.group("sequence"))
        except RequestRejected as rejected:
            body = {"error": rejected.code}
            if rejected.message:
                body["message"] = rejected.message
            self.send_json(rejected.status, body, close=rejected.close)
        except RequestAbandoned:
            self.abandon()

    def _control(self, method, path):
        body = self.read_body(_MAX_SMALL_BODY, required=False) if method == "POST" else b""
        status, answer, after = control.handle(self.server, method, path[len("/_dev/"):], body)
        self.send_json(status, answer)
        if after is not None:
            after()

    # -- the ingest requests -----------------------------------------------------------------

    def _ingest(self, kind, stream_id, sequence_text):
        faults = self.server.faults
        if faults.outage() == "blackhole":
            faults.hold_through_outage()
            raise RequestAbandoned()
        sequence = self._parse_sequence(sequence_text) if kind == "upload" else None
        fault = faults.pick(kind, stream_id, sequence)
        if fault is None:
            self._handle(kind, stream_id, sequence)
            return
        if fault.action == "drop" and fault.stage == "headers":
            raise RequestAbandoned()
        if fault.action == "drop" and fault.stage == "partial":
            self.rfile.read(self.content_length(required=False) // 2)
            raise RequestAbandoned()
        self.request_body(kind, required=False)
        if fault.action == "drop":
            if fault.stage == "stored":
                # Handled in full, but the answer never leaves: the client cannot know.
                self._silent = True
                try:
                    self._handle(kind, stream_id, sequence)
                except RequestRejected:
                    pass
            raise RequestAbandoned()
        if fault.action == "delay" and not faults.hold(fault.delay_ms) and faults.closed:
            raise RequestAbandoned()
        if fault.status is None:
            self._handle(kind, stream_id, sequence)
        else:
            self.send_body(fault.status, fault.body_bytes(), fault.retry_after)

    def _parse_sequence(self, text):
        if not _DECIMAL.match(text or "") or not 0 <= int(text) <= _INT64_MAX:
            self.request_body("upload", required=False)
            raise RequestRejected(400, "invalid_sequence")
        return int(text)

    def _handle(self, kind, stream_id, sequence):
        """The normal answer, from a service that works."""
        server = self.server
        body = self.request_body(kind, required=kind in ("upload", "heartbeat"))
        verdict = server.streams.check(stream_id, self.headers.get("Authorization"))
        if verdict == "not_found":
            raise RequestRejected(404, "not_found", "unknown stream")
        server.records.count_request(stream_id, kind)
        try:
            if verdict is not None:
                raise RequestRejected(401, verdict)
            agent_id = self.headers.get("X-Agent-ID", "")
            if not agent_id:
                raise RequestRejected(400, "missing_agent_id")
            getattr(self, "_" + kind)(stream_id, agent_id, sequence, body)
        except RequestRejected as rejected:
            server.records.count_rejection(stream_id, rejected.code)
            raise

    def _upload(self, stream_id, agent_id, sequence, body):
        records = self.server.records
        if _media_type(self.headers.get("Content-Type")) != "application/octet-stream":
            raise RequestRejected(400, "invalid_content_type")
        capture_session_id = self.headers.get("X-Capture-Session-ID", "")
        if capture_session_id and not is_safe_id(capture_session_id):
            raise RequestRejected(400, "invalid_capture_session")
        digest = self.headers.get("X-Segment-SHA256", "")
        if not _DIGEST.match(digest):
            raise RequestRejected(400, "invalid_digest", "expected 64 lower-case hex digits")
        duration = self.headers.get("X-Segment-Duration-Ms", "")
        if not _DECIMAL.match(duration) or int(duration) < 0 or int(duration) >= 2**31:
            raise RequestRejected(400, "invalid_duration")
        if hashlib.sha256(body).hexdigest() != digest:
            records.count_digest_failure(stream_id, capture_session_id, agent_id)
            raise RequestRejected(400, "digest_mismatch",
                                  "the body does not match X-Segment-SHA256")
        outcome = records.store_segment(stream_id, capture_session_id, agent_id, sequence,
                                        digest, body, int(duration))
        self.send_json(201, {"sequence": sequence, "sha256": digest,
                             "duplicate": outcome != "new"})

    def _heartbeat(self, stream_id, agent_id, _sequence, body):
        if _media_type(self.headers.get("Content-Type")) != "application/json":
            raise RequestRejected(400, "invalid_content_type")
        try:
            payload = json.loads(body.decode("utf-8"))
        except (UnicodeDecodeError, ValueError):
            raise RequestRejected(400, "invalid_json") from None
        if not isinstance(payload, dict) or any(
                isinstance(payload.get(name), bool) or not isinstance(payload.get(name), kinds)
                for name, kinds in _HEARTBEAT_FIELDS.items()):
            raise RequestRejected(400, "invalid_heartbeat",
                                  "needs " + ", ".join(_HEARTBEAT_FIELDS))
        self.server.records.record_heartbeat(stream_id, agent_id, payload)
        self.send_json(200, {"status": "ok"})

    def _backfill(self, stream_id, agent_id, _sequence, _body):
        missing = self.server.records.missing_sequences(stream_id, agent_id)
        if missing or self.server.backfill_empty == "empty_list":
            self.send_json(200, {"missing_sequences": missing, "priority": "normal"})
        else:
            self.send_json(404, {"error": "not_found", "message": "no backfill request"})

    def _end(self, stream_id, agent_id, _sequence, _body):
        self.server.records.record_end(stream_id, agent_id)
        self.send_json(200, {"status": "ended"})
