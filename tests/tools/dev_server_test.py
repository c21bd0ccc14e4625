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
LINKS = "/api/v1/plugin-links"


def headers(body=b"", key=KEY, digest_of=None, session=None):
    sent = {"Authorization": "Bearer " + key, "Content-Type": "application/octet-stream",
            "X-Segment-SHA256": hashlib.sha256(body if digest_of is None else digest_of)
            .hexdigest(), "X-Segment-Duration-Ms": "2000", "X-Agent-ID": "primary"}
    return dict(sent, **{"X-Capture-Session-ID": session}) if session else sent


def connection(server, timeout=10):
    return http.client.HTTPConnection("127.0.0.1", server.port, timeout=timeout)


class DevServerTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = DevServer(streams={STREAM: KEY, "other": "other-key"}).start()

    @classmethod
    def tearDownClass(cls):
        cls.server.close()

    def setUp(self):
        self.server.control("reset", {"records": True})

    def upload(self, sequence, body=b"segment", stream=STREAM, **header_args):
        return self.server.request("POST", "/api/v1/streams/%s/segments/%d" % (stream, sequence),
                                   body, headers(body, **header_args)).status

    def test_the_report_holds_what_arrived_intact_and_what_is_missing(self):
        keep_alive = connection(self.server)
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

    def test_a_replaced_key_no_longer_holds(self):
        self.server.control("streams", {"stream": STREAM, "key": "rotated"})
        self.assertEqual([self.upload(1), self.upload(1, key="rotated")], [401, 201])

    def test_outages_really_happen(self):
        self.server.control("outage", {"mode": "blackhole", "duration_ms": 600_000})
        held = connection(self.server, timeout=0.3)
        self.addCleanup(held.close)
        with self.assertRaises(OSError):
            held.request("POST", API + "/segments/3", b"segment", headers(b"segment"))
            held.getresponse()
        self.server.control("outage", {"mode": "none"})
        self.assertEqual(self.upload(3), 201)

        # Control requests are refused too, so this outage is left to run out.
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

    def test_an_approved_link_opens_only_to_its_poll_token_and_gives_a_working_key(self):
        link = self.server.request("POST", LINKS + "/start", b"").json()

        def poll(token):
            return self.server.request("GET", "%s/%s" % (LINKS, link["link_session_id"]),
                                       headers={"Authorization": "Bearer " + token})
        self.assertEqual(poll("wrong").status, 401)
        self.assertEqual(poll(link["poll_token"]).json(), {"status": "pending"})
        self.server.control("link", {"action": "approve", "code": link["verification_code"],
                                     "stream": "other"})
        answer = poll(link["poll_token"]).json()
        self.assertEqual((answer["status"], answer["selected_stream_id"]), ("completed", "other"))
        self.assertEqual(self.upload(1, stream="other", key=answer["api_key"]), 201)
        self.assertEqual(self.upload(1, key=answer["api_key"]), 401)


if __name__ == "__main__":
    unittest.main()
