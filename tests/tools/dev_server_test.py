"""The development ingest server's checks of what it receives and the faults it injects, driven
over real sockets through its test helper: the other tests take its word for what arrived and
for the outages they went through."""

import hashlib
import http.client
import json
import os
import shutil
import socket
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                "support"))

from dev_server import DevServer, segment_headers  # noqa: E402

STREAM, KEY = "stream-1", "key-1"
AGENT_HEADERS = {"Authorization": "Bearer " + KEY, "X-Agent-ID": "primary"}
HEARTBEAT = {"current_sequence": 42, "cache_depth_minutes": 2.0, "upload_queue_depth": 0,
             "agent_version": "1.0.0"}


def poll_until(condition, timeout=5.0):
    """Re-checks real server state every few milliseconds, for at most `timeout` seconds."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.02)
    return False


class SharedServerCase(unittest.TestCase):
    """One server for the whole class; every test starts from empty records and no faults."""

    server_args = {}

    @classmethod
    def setUpClass(cls):
        cls.data_dir = tempfile.mkdtemp(prefix="ryvo-dev-server-data-")
        cls.server = DevServer(streams={STREAM: KEY, "other": "other-key"},
                               data_dir=cls.data_dir, **cls.server_args).start()

    @classmethod
    def tearDownClass(cls):
        cls.server.close()
        shutil.rmtree(cls.data_dir, ignore_errors=True)

    def setUp(self):
        self.server.control("reset", {"records": True})

    def upload(self, sequence, body=b"segment", stream=STREAM, key=KEY, **header_args):
        return self.server.upload(stream, key, sequence, body, **header_args)

    def backfill(self, agent="primary"):
        return self.server.request("GET", "/api/v1/streams/%s/backfill-requests" % STREAM,
                                   headers={"Authorization": "Bearer " + KEY, "X-Agent-ID": agent})

    def stream_report(self, stream=STREAM):
        return self.server.report()["streams"][stream]


class IngestTest(SharedServerCase):
    def test_keys_are_checked_per_stream_and_can_be_revoked_or_replaced(self):
        self.assertEqual(self.upload(1, key="other-key").json(), {"error": "unauthorized"})
        self.assertEqual(self.upload(1, stream="nobody").status, 404)
        self.assertEqual(self.upload(1, stream="nobody").json()["error"], "not_found")
        self.assertEqual(self.upload(1).status, 201)

        self.server.control("revoke", {"stream": STREAM})
        self.assertEqual(self.upload(2).status, 401)
        reply = self.server.request("POST", "/api/v1/streams/%s/heartbeat" % STREAM,
                                    json.dumps(HEARTBEAT).encode(),
                                    dict(AGENT_HEADERS, **{"Content-Type": "application/json"}))
        self.assertEqual(reply.status, 401)

        self.server.control("streams", {"stream": STREAM, "key": "rotated"})
        self.assertEqual(self.upload(2).status, 401)
        self.assertEqual(self.upload(2, key="rotated").status, 201)
        self.assertEqual(self.stream_report()["rejected"], {"unauthorized": 4})

    def test_segment_headers_and_body_are_verified_before_anything_is_stored(self):
        body = b"\x47" * 188
        cases = [
            ({"X_Segment_SHA256": hashlib.sha256(b"other").hexdigest()}, "digest_mismatch"),
            ({"X_Segment_SHA256": hashlib.sha256(body).hexdigest().upper()}, "invalid_digest"),
            ({"X_Segment_SHA256": None}, "invalid_digest"),
            ({"X_Segment_Duration_Ms": "2s"}, "invalid_duration"),
            ({"X_Segment_Duration_Ms": None}, "invalid_duration"),
            ({"Content_Type": "video/mp2t"}, "invalid_content_type"),
            ({"X_Agent_ID": None}, "missing_agent_id"),
            ({"capture_session_id": "../../escape"}, "invalid_capture_session"),
        ]
        for overrides, code in cases:
            with self.subTest(code=code, overrides=overrides):
                reply = self.upload(5, body, **overrides)
                self.assertEqual((reply.status, reply.json()["error"]), (400, code))
        for sequence in ("-1", "x", "99999999999999999999"):
            reply = self.server.request("POST", "/api/v1/streams/%s/segments/%s"
                                        % (STREAM, sequence), body, segment_headers(KEY, body))
            self.assertEqual(reply.json()["error"], "invalid_sequence", sequence)

        stream = self.stream_report()
        self.assertEqual(stream["sessions"][""]["digests_failed"], 1)
        self.assertEqual(stream["sessions"][""]["received"], [])
        self.assertFalse(os.path.exists(os.path.join(self.data_dir, "escape")))
        self.assertFalse(os.path.exists(os.path.join(self.data_dir, STREAM, "no-session", "5.ts")))

    def test_segments_are_stored_by_stream_session_and_sequence(self):
        first, second = os.urandom(3000), os.urandom(100)
        self.assertEqual(self.upload(7, first, capture_session_id="c0ffee").status, 201)
        self.assertEqual(self.upload(8, second).status, 201)
        with open(os.path.join(self.data_dir, STREAM, "c0ffee", "7.ts"), "rb") as handle:
            self.assertEqual(handle.read(), first)
        with open(os.path.join(self.data_dir, STREAM, "no-session", "8.ts"), "rb") as handle:
            self.assertEqual(handle.read(), second)
        self.assertEqual(os.listdir(os.path.join(self.data_dir, STREAM, "c0ffee")), ["7.ts"])

    def test_repeated_sequences_count_as_duplicates_and_changed_bytes_as_conflicts(self):
        self.assertFalse(self.upload(1, b"a", capture_session_id="s1").json()["duplicate"])
        self.assertTrue(self.upload(1, b"a", capture_session_id="s1").json()["duplicate"])
        self.assertEqual(self.upload(1, b"b", capture_session_id="s1").status, 201)
        self.assertEqual(self.upload(1, b"a", capture_session_id="s2").status, 201)
        sessions = self.stream_report()["sessions"]
        self.assertEqual(sessions["s1"]["duplicates"], 2)
        self.assertEqual(sessions["s1"]["conflicts"], 1)
        self.assertEqual(sessions["s1"]["bytes"], 1)
        self.assertEqual(sessions["s2"]["duplicates"], 0)

    def test_backfill_lists_what_each_agent_is_missing_across_its_sessions(self):
        self.assertEqual(self.backfill().status, 404)
        self.assertEqual(self.backfill().json()["error"], "not_found")

        for sequence in (3, 4, 7):
            self.upload(sequence, capture_session_id="before-restart")
        self.upload(9, capture_session_id="after-restart")
        self.upload(20, agent_id="backup")
        reply = self.backfill()
        self.assertEqual((reply.status, reply.json()),
                         (200, {"missing_sequences": [5, 6, 8], "priority": "normal"}))
        self.assertEqual(self.backfill(agent="backup").status, 404)

        self.server.control("settings", {"backfill_from": 1, "backfill_empty": "empty_list"})
        try:
            self.assertEqual(self.backfill().json()["missing_sequences"], [1, 2, 5, 6, 8])
            self.assertEqual(self.backfill("backup").json()["missing_sequences"][:3], [1, 2, 3])
            self.upload(1, agent_id="nobody-else")
            self.server.control("settings", {"backfill_from": None})
            reply = self.backfill("nobody-else")
            self.assertEqual((reply.status, reply.json()["missing_sequences"]), (200, []))
        finally:
            self.server.control("settings", {"backfill_from": None, "backfill_empty": "not_found"})
        self.assertEqual(self.stream_report()["agents"]["primary"]["backfill_polls"], 4)

    def test_heartbeats_and_the_end_are_recorded_per_agent(self):
        path = "/api/v1/streams/%s/heartbeat" % STREAM
        headers = dict(AGENT_HEADERS, **{"Content-Type": "application/json"})
        for sequence in (41, 42):
            beat = dict(HEARTBEAT, current_sequence=sequence)
            self.assertEqual(self.server.request("POST", path, json.dumps(beat).encode(),
                                                 headers).status, 200)
        for bad, code in ((b"{not json", "invalid_json"),
                          (json.dumps(dict(HEARTBEAT, upload_queue_depth="0")).encode(),
                           "invalid_heartbeat"),
                          (b"[]", "invalid_heartbeat")):
            reply = self.server.request("POST", path, bad, headers)
            self.assertEqual((reply.status, reply.json()["error"]), (400, code))
        end = self.server.request("POST", "/api/v1/streams/%s/end" % STREAM, None, AGENT_HEADERS)
        self.assertEqual(end.status, 200)
        self.assertEqual(self.server.request("GET", "/api/v1/streams/%s/end" % STREAM,
                                             None, AGENT_HEADERS).status, 405)

        agent = self.stream_report()["agents"]["primary"]
        self.assertEqual(agent["heartbeats"], {"count": 2, "last": dict(HEARTBEAT,
                                                                         current_sequence=42)})
        self.assertTrue(agent["end_received"])

    def test_requests_share_one_keep_alive_connection(self):
        connection = self.server.connection()
        try:
            for sequence in range(1, 6):
                body = b"%d" % sequence
                connection.request("POST", "/api/v1/streams/%s/segments/%d" % (STREAM, sequence),
                                   body, segment_headers(KEY, body))
                response = connection.getresponse()
                self.assertEqual(response.status, 201)
                self.assertEqual(int(response.getheader("Content-Length")), len(response.read()))
            connection.request("GET", "/api/v1/streams/%s/backfill-requests" % STREAM,
                               headers=AGENT_HEADERS)
            response = connection.getresponse()
            self.assertEqual(json.loads(response.read())["error"], "not_found")
            connection.request("GET", "/_dev/report")
            report = json.loads(connection.getresponse().read())
        finally:
            connection.close()
        self.assertEqual(report["connections"], 1)
        self.assertEqual(report["streams"][STREAM]["requests"]["upload"], 5)


class FaultTest(SharedServerCase):
    def expect_no_answer(self, sequence, timeout=10.0):
        connection = self.server.connection(timeout)
        try:
            body = b"segment"
            with self.assertRaises((http.client.HTTPException, OSError)):
                connection.request("POST", "/api/v1/streams/%s/segments/%d" % (STREAM, sequence),
                                   body, segment_headers(KEY, body))
                connection.getresponse()
        finally:
            connection.close()

    def test_fixed_answers_apply_to_the_next_requests_of_their_kind(self):
        self.server.control("faults", {"kind": "upload", "count": 2, "status": 429,
                                       "retry_after": 12, "body": {"error": "rate_limited"}})
        self.server.control("faults", {"kind": "heartbeat", "status": 503, "body": ""})
        for _ in range(2):
            reply = self.upload(1)
            self.assertEqual((reply.status, reply.headers.get("Retry-After"), reply.json()),
                             (429, "12", {"error": "rate_limited"}))
        self.assertEqual(self.upload(1).status, 201)
        reply = self.server.request("POST", "/api/v1/streams/%s/heartbeat" % STREAM,
                                    json.dumps(HEARTBEAT).encode(),
                                    dict(AGENT_HEADERS, **{"Content-Type": "application/json"}))
        self.assertEqual((reply.status, reply.body), (503, b""))

        self.server.control("faults", {"kind": "upload", "sequence": 4, "status": 500})
        self.assertEqual(self.upload(3).status, 201)
        self.assertEqual(self.upload(4).status, 500)
        self.assertEqual(self.upload(5).status, 201)

        faults = self.server.report()["faults"]
        self.assertEqual(faults["injected"]["upload"], {"status_429": 2, "status_500": 1})
        self.assertEqual(faults["pending"], [])

    def test_dropped_connections_before_and_after_storing(self):
        self.server.control("faults", {"kind": "upload", "action": "drop"})
        self.expect_no_answer(1)
        self.server.control("faults", {"kind": "upload", "action": "drop", "stage": "stored"})
        self.expect_no_answer(2)
        session = self.stream_report()["sessions"][""]
        self.assertEqual(session["received"], [2])
        self.assertEqual(self.upload(3).status, 201)

    def test_a_partial_drop_cuts_the_upload_off_halfway_through_its_body(self):
        self.server.control("faults", {"kind": "upload", "action": "drop", "stage": "partial"})
        # Far more than the socket buffers hold, so the client is still sending when cut off.
        body = bytes(32 << 20)
        head = "".join("%s: %s\r\n" % item for item in segment_headers(KEY, body).items())
        request = ("POST /api/v1/streams/%s/segments/1 HTTP/1.1\r\nHost: x\r\n"
                   "Content-Length: %d\r\n%s\r\n" % (STREAM, len(body), head)).encode()
        with socket.create_connection(("127.0.0.1", self.server.port), timeout=10) as sock:
            with self.assertRaises(OSError, msg="the whole body went out"):
                sock.sendall(request + body)
        report = self.server.report()
        self.assertEqual(report["faults"]["injected"]["upload"], {"drop_partial": 1})
        self.assertNotIn(STREAM, report["streams"])
        self.assertEqual(self.upload(2).status, 201)

    def test_held_requests_outlast_the_client_until_released(self):
        self.server.control("faults", {"kind": "upload", "action": "delay", "delay_ms": 600_000})
        self.expect_no_answer(1, timeout=0.3)
        self.server.control("faults", {"kind": "upload", "action": "delay", "delay_ms": 50,
                                       "status": 502})
        self.assertEqual(self.upload(2).status, 502)
        self.server.control("reset")
        self.assertEqual(self.upload(3).status, 201)

    def test_random_faults_follow_their_seed(self):
        def statuses(seed):
            self.server.control("random", {"kind": "upload", "seed": seed, "faults": [
                {"percent": 30, "status": 500},
                {"percent": 20, "status": 429, "retry_after": "1"}]})
            return [self.upload(n).status for n in range(1, 41)]

        first = statuses(7)
        self.assertEqual(statuses(7), first)
        self.assertNotEqual(statuses(8), first)
        self.assertEqual(set(first), {201, 429, 500})
        self.server.control("random", {"kind": "upload", "faults": []})
        self.assertEqual({self.upload(n).status for n in range(1, 11)}, {201})
        reply = self.server.request("POST", "/_dev/random", json.dumps({
            "kind": "upload", "faults": [{"percent": 80, "status": 500},
                                         {"percent": 30, "status": 503}]}).encode())
        self.assertEqual(reply.status, 400)

    def test_black_hole_outage_swallows_ingest_requests_but_not_control(self):
        self.server.control("outage", {"mode": "blackhole", "duration_ms": 600_000})
        self.expect_no_answer(1, timeout=0.3)
        self.assertEqual(self.server.report()["faults"]["outage"], "blackhole")
        self.server.control("outage", {"mode": "none"})
        self.assertEqual(self.upload(2).status, 201)

    def test_refusing_outage_closes_the_port_for_its_window(self):
        connection = self.server.connection()
        connection.request("GET", "/_dev/report")
        connection.getresponse().read()
        self.server.control("outage", {"mode": "refuse", "duration_ms": 1000})

        def refused():
            try:
                socket.create_connection(("127.0.0.1", self.server.port), timeout=1).close()
                return False
            except ConnectionRefusedError:
                return True

        self.assertTrue(poll_until(refused))
        # Open keep-alive connections die with the outage as well.
        with self.assertRaises((http.client.HTTPException, OSError)):
            connection.request("GET", "/_dev/report")
            connection.getresponse()
        connection.close()
        self.assertTrue(poll_until(lambda: not refused()))
        self.assertEqual(self.upload(1).status, 201)
        self.assertEqual(self.server.report()["faults"]["injected"]["outage"], {"refuse": 1})


if __name__ == "__main__":
    unittest.main()
