"""The development ingest server's own word, which the other tests take for what arrived and
what is missing: checked here, so that a broken server cannot turn their failures into passes."""

import hashlib
import http.client
import json
import os
import socket
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                "support"))

from dev_server import DevServer  # noqa: E402

STREAM, KEY = "stream-1", "key-1"
API = "/api/v1/streams/" + STREAM


def headers(body=b"", key=KEY, digest_of=None, session=None):
    sent = {"Authorization": "Bearer " + key, "Content-Type": "application/octet-stream",
            "X-Segment-SHA256": hashlib.sha256(body if digest_of is None else digest_of)
            .hexdigest(), "X-Segment-Duration-Ms": "2000", "X-Agent-ID": "primary"}
    return dict(sent, **{"X-Capture-Session-ID": session}) if session else sent


class DevServerTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = DevServer(streams={STREAM: KEY, "other": "other-key"}).start()

    @classmethod
    def tearDownClass(cls):
        cls.server.close()

    def setUp(self):
        self.server.control("reset", {"records": True})

    def test_the_report_holds_what_arrived_intact_and_what_is_missing(self):
        keep_alive = http.client.HTTPConnection("127.0.0.1", self.server.port, timeout=10)
        self.addCleanup(keep_alive.close)
        requests = [
            ("POST", "/segments/3", b"a", headers(b"a"), 201),
            ("POST", "/segments/3", b"a", headers(b"a"), 201),
            ("POST", "/segments/3", b"b", headers(b"b"), 201),
            ("POST", "/segments/4", b"a", headers(b"a", digest_of=b"other"), 400),
            ("POST", "/segments/5", b"a", headers(b"a", key="other-key"), 401),
            ("POST", "/segments/7", b"a", headers(b"a"), 201),
            ("POST", "/segments/9", b"a", headers(b"a", session="after-restart"), 201),
            ("GET", "/backfill-requests", None, headers(), 200),
        ]
        for method, path, body, request_headers, status in requests:
            keep_alive.request(method, API + path, body, request_headers)
            response = keep_alive.getresponse()
            answer = response.read()
            self.assertEqual(response.status, status, (path, answer))
        self.assertEqual(json.loads(answer)["missing_sequences"], [4, 5, 6, 8])
        keep_alive.request("GET", "/_dev/report")
        report = json.loads(keep_alive.getresponse().read())

        self.assertEqual(report["connections"], 1)
        stream = report["streams"][STREAM]
        session = stream["sessions"][""]
        self.assertEqual({name: session[name] for name in (
            "received", "gaps", "duplicates", "conflicts", "digests_verified", "digests_failed")},
            {"received": [3, 7], "gaps": [4, 5, 6], "duplicates": 2, "conflicts": 1,
             "digests_verified": 4, "digests_failed": 1})
        self.assertFalse(stream["agents"]["primary"]["end_received"])
        self.assertEqual(stream["rejected"], {"digest_mismatch": 1, "unauthorized": 1})
        self.assertEqual(self.server.request("POST", API + "/end", None, headers()).status, 200)
        self.assertTrue(self.server.report()["streams"][STREAM]["agents"]["primary"]
                        ["end_received"])


    def test_a_refusing_outage_really_happens_and_runs_out(self):
        # Control requests are refused too, so the outage is left to run out.
        self.server.control("outage", {"mode": "refuse", "duration_ms": 1000})
        seen = ["accepted"]
        deadline = time.monotonic() + 10
        while seen[-2:] != ["refused", "accepted"] and time.monotonic() < deadline:
            try:
                socket.create_connection(("127.0.0.1", self.server.port), timeout=1).close()
                seen += ["accepted"] if seen[-1] != "accepted" else []
            except ConnectionRefusedError:
                seen += ["refused"] if seen[-1] != "refused" else []
            time.sleep(0.01)
        self.assertEqual(seen, ["accepted", "refused", "accepted"])

if __name__ == "__main__":
    unittest.main()
