"""The development server's account links: the link requests, the verification page, the
control request, and the keys a completed link hands out."""

import json
import os
import sys
import unittest
import urllib.parse

_TESTS = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(_TESTS, "support"))
sys.path.insert(0, os.path.join(os.path.dirname(_TESTS), "tools"))

from dev_server import DevServer  # noqa: E402
from ryvo_dev_server.links import Links  # noqa: E402
from ryvo_dev_server.streams import Streams  # noqa: E402

STREAM, KEY = "stream-1", "key-1"
LINKS = "/api/v1/plugin-links"


class LinkServerTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = DevServer(streams={STREAM: KEY, "other": "other-key"}).start()

    @classmethod
    def tearDownClass(cls):
        cls.server.close()

    def setUp(self):
        self.server.control("reset", {"records": True})

    def start(self):
        reply = self.server.request("POST", LINKS + "/start", b"",
                                    {"Content-Type": "application/json"})
        self.assertEqual(reply.status, 200)
        return reply.json()

    def poll(self, link, token=None):
        token = link["poll_token"] if token is None else token
        return self.server.request("GET", "%s/%s" % (LINKS, link["link_session_id"]),
                                   headers={"Authorization": "Bearer " + token})

    def cancel(self, link):
        return self.server.request("POST", "%s/%s/cancel" % (LINKS, link["link_session_id"]),
                                   headers={"Authorization": "Bearer " + link["poll_token"]})

    def page(self, method="GET", query="", form=None):
        body = urllib.parse.urlencode(form).encode() if form is not None else None
        headers = {"Content-Type": "application/x-www-form-urlencoded"} if form else {}
        reply = self.server.request(method, "/link" + query, body, headers)
        return reply.status, reply.body.decode("utf-8")

    def upload(self, stream, key):
        return self.server.upload(stream, key, 1, b"segment").status

    def test_an_approved_link_hands_out_a_key_for_the_chosen_stream_only(self):
        link = self.start()
        self.assertEqual(link["verification_url"],
                         "%s/link?code=%s" % (self.server.base_url, link["verification_code"]))
        self.assertEqual(self.poll(link).json(), {"status": "pending"})

        status, html = self.page(query="?code=" + urllib.parse.quote("<b>x</b>"))
        self.assertEqual(status, 200)
        self.assertIn("&lt;b&gt;x&lt;/b&gt;", html)
        self.assertNotIn("<b>x</b>", html)
        self.assertIn('<option value="other">', html)

        code = link["verification_code"].lower().replace("-", " ")
        status, html = self.page("POST", form={"code": code, "stream": "other",
                                               "decision": "approve"})
        self.assertEqual(status, 200, html)
        answer = self.poll(link).json()
        self.assertEqual((answer["status"], answer["selected_stream_id"]), ("completed", "other"))
        self.assertEqual(answer["api_endpoint"], self.server.base_url)
        for field in ("api_key", "api_key_id", "linked_account_email", "linked_account_name"):
            self.assertTrue(answer[field], field)

        key = answer["api_key"]
        self.assertEqual(self.upload("other", key), 201)
        self.assertEqual(self.upload("other", "other-key"), 201)
        self.assertEqual(self.upload(STREAM, key), 401)
        counts = self.server.report()["links"]["counts"]
        self.assertEqual((counts["started"], counts["approved"], counts["polls"]), (1, 1, 2))
        self.assertNotIn(link["poll_token"], json.dumps(self.server.report()))

        self.server.control("reset")
        self.assertEqual(self.upload("other", key), 401)
        self.assertEqual(self.poll(link).status, 404)

    def test_polls_and_cancels_need_the_links_token(self):
        link = self.start()
        self.assertEqual((self.poll(link, "wrong").status, self.poll(link, "wrong").json()),
                         (401, {"error": "unauthorized"}))
        self.assertEqual(self.poll(dict(link, link_session_id="nobody")).status, 404)
        self.assertEqual(self.server.request("GET", LINKS + "/start").status, 405)

        self.assertEqual(self.cancel(link).json(), {"status": "cancelled"})
        self.assertEqual(self.poll(link).json(), {"status": "cancelled"})
        self.assertEqual(self.cancel(link).status, 409)

        second = self.start()
        self.server.control("link", {"action": "reject_polls",
                                     "code": second["verification_code"]})
        self.assertEqual(self.poll(second).status, 401)

    def test_only_pending_links_can_be_decided(self):
        denied, expired = self.start(), self.start()
        status, _ = self.page("POST", form={"code": denied["verification_code"],
                                            "decision": "deny"})
        self.assertEqual(status, 200)
        self.assertEqual(self.poll(denied).json(), {"status": "denied"})
        status, html = self.page("POST", form={"code": denied["verification_code"],
                                               "stream": STREAM, "decision": "approve"})
        self.assertEqual(status, 400)
        self.assertIn("the link is denied", html)

        self.server.control("link", {"action": "expire", "code": expired["verification_code"]})
        self.assertEqual(self.poll(expired).json(), {"status": "expired"})
        for request in ({"action": "approve", "code": self.start()["verification_code"],
                         "stream": "nobody"},
                        {"action": "approve", "code": "NOPE-NOPE", "stream": STREAM},
                        {"action": "forget", "code": expired["verification_code"]}):
            reply = self.server.request("POST", "/_dev/link", json.dumps(request).encode())
            self.assertEqual(reply.status, 400, request)

    def test_link_requests_take_injected_answers(self):
        self.server.control("faults", {"kind": "link_start", "status": 503, "body": ""})
        reply = self.server.request("POST", LINKS + "/start", b"")
        self.assertEqual((reply.status, reply.body), (503, b""))
        link = self.start()
        self.server.control("faults", {"kind": "link_poll", "status": 200, "body": "[]"})
        self.assertEqual(self.poll(link).body, b"[]")
        self.assertEqual(self.poll(link).json(), {"status": "pending"})
        self.assertEqual(self.server.report()["faults"]["injected"],
                         {"link_start": {"status_503": 1}, "link_poll": {"status_200": 1}})


class LinkLifetimeTest(unittest.TestCase):
    def test_an_unanswered_link_expires_after_its_lifetime(self):
        now = [1000.0]
        links = Links(Streams([(STREAM, KEY)]), clock=lambda: now[0])
        link = links.start("http://127.0.0.1/link")
        self.assertEqual(link["expires_at"], "1970-01-01T00:26:40Z")
        authorization = "Bearer " + link["poll_token"]
        now[0] += 599
        self.assertEqual(links.poll(link["link_session_id"], authorization, ""),
                         (200, {"status": "pending"}))
        now[0] += 1
        self.assertEqual(links.poll(link["link_session_id"], authorization, ""),
                         (200, {"status": "expired"}))
        with self.assertRaises(ValueError):
            links.approve(link["verification_code"], STREAM)


if __name__ == "__main__":
    unittest.main()
