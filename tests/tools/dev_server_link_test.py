"""The development server's account links: the verification page, the poll token, and the keys
a completed link hands out. (The link requests' answers are covered by the client's tests.)"""

import json
import os
import sys
import unittest
import urllib.parse

_TESTS = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(_TESTS, "support"))
sys.path.insert(0, os.path.join(os.path.dirname(_TESTS), "tools"))

from dev_server import DevServer  # noqa: E402
from secrets_audit import assert_no_secrets  # noqa: E402
from ryvo_dev_server.links import Links  # noqa: E402
from ryvo_dev_server.streams import Streams  # noqa: E402

STREAM, KEY = "stream-1", "key-1"
LINKS = "/api/v1/plugin-links"


class LinkServerTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # Verbose: every request is logged, and no log line may carry a token or a key.
        cls.server = DevServer(streams={STREAM: KEY, "other": "other-key"},
                               extra_args=["--verbose"]).start()

    @classmethod
    def tearDownClass(cls):
        cls.server.close()

    def setUp(self):
        self.server.control("reset", {"records": True})
        self.secrets = {"API key": KEY, "other API key": "other-key"}

    def tearDown(self):
        assert_no_secrets([("dev server output", self.server.output()),
                           ("dev server report", json.dumps(self.server.report()))], self.secrets)

    def start(self):
        link = self.server.request("POST", LINKS + "/start", b"").json()
        self.secrets["poll token %d" % len(self.secrets)] = link["poll_token"]
        return link

    def poll(self, link, token=None, suffix=""):
        token = link["poll_token"] if token is None else token
        return self.server.request("POST" if suffix else "GET",
                                   "%s/%s%s" % (LINKS, link["link_session_id"], suffix),
                                   headers={"Authorization": "Bearer " + token})

    def page(self, method="GET", query="", **form):
        reply = self.server.request(method, "/link" + query,
                                    urllib.parse.urlencode(form).encode() if form else None)
        return reply.status, reply.body.decode("utf-8")

    def test_approval_on_the_page_hands_out_a_key_for_the_chosen_stream_only(self):
        link = self.start()
        status, html = self.page(query="?code=" + urllib.parse.quote("<b>x</b>"))
        self.assertEqual(status, 200)
        self.assertIn("&lt;b&gt;x&lt;/b&gt;", html)
        self.assertNotIn("<b>x</b>", html)

        code = link["verification_code"].lower().replace("-", " ")
        status, html = self.page("POST", code=code, stream="other", decision="approve")
        self.assertEqual(status, 200, html)
        answer = self.poll(link).json()
        self.assertEqual((answer["status"], answer["selected_stream_id"]), ("completed", "other"))
        key = answer["api_key"]
        self.secrets["linked API key"] = key
        self.assertEqual(self.server.upload("other", key, 1, b"x").status, 201)
        self.assertEqual(self.server.upload("other", "other-key", 2, b"x").status, 201)
        self.assertEqual(self.server.upload(STREAM, key, 1, b"x").status, 401)
        self.assertEqual(self.server.report()["links"]["counts"]["approved"], 1)

        self.server.control("reset")
        self.assertEqual(self.server.upload("other", key, 3, b"x").status, 401)

    def test_only_the_poll_token_opens_a_link_and_only_pending_links_can_be_decided(self):
        link = self.start()
        self.assertEqual(self.poll(link, "wrong").status, 401)
        self.assertEqual(self.poll(link, "wrong", "/cancel").status, 401)
        self.assertEqual(self.poll(link, suffix="/cancel").json(), {"status": "cancelled"})
        self.assertEqual(self.poll(link, suffix="/cancel").status, 409)
        status, html = self.page("POST", code=link["verification_code"], stream=STREAM,
                                 decision="approve")
        self.assertEqual(status, 400)
        self.assertIn("the link is cancelled", html)

        denied = self.start()
        self.assertEqual(self.page("POST", code=denied["verification_code"])[0], 200)
        self.assertEqual(self.poll(denied).json(), {"status": "denied"})
        reply = self.server.request("POST", "/_dev/link", b'{"action": "approve", "code": "%s",'
                                    b' "stream": "nobody"}' % self.start()["verification_code"]
                                    .encode())
        self.assertEqual(reply.status, 400)


class LinkLifetimeTest(unittest.TestCase):
    def test_an_unanswered_link_expires_after_its_lifetime(self):
        now = [1000.0]
        links = Links(Streams([(STREAM, KEY)]), clock=lambda: now[0])
        link = links.start("http://127.0.0.1/link")
        authorization = "Bearer " + link["poll_token"]
        now[0] += 599
        self.assertEqual(links.poll(link["link_session_id"], authorization, "")[1]["status"],
                         "pending")
        now[0] += 1
        self.assertEqual(links.poll(link["link_session_id"], authorization, "")[1]["status"],
                         "expired")
        with self.assertRaises(ValueError):
            links.approve(link["verification_code"], STREAM)


if __name__ == "__main__":
    unittest.main()
