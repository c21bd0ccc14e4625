"""What the end-to-end tests in real OBS share: the build under test (RYVO_BINARY_DIR), one X
server per test class, a bounded wait, and a portal link made against the development server.

    class MyTest(obs_e2e.ObsTestCase):
        def test_something(self):
            with DevServer() as server, self.session() as obs:
                ...
"""

import os
import re
import subprocess
import time
import unittest
from pathlib import Path
from urllib.parse import urlsplit

import obs_harness

BUILD_DIR = os.environ.get("RYVO_BINARY_DIR", "")
SOURCE_DIR = os.environ.get("RYVO_SOURCE_DIR")
# Set by scripts/test-package.sh: the root an installed package's files are under, whose module
# OBS then loads instead of the build's.
PACKAGE_ROOT = os.environ.get("RYVO_PACKAGE_ROOT")
LINKS = "/api/v1/plugin-links"
STREAM = "stream-1"


def wait_until(check, timeout=60.0):
    """Polls `check` until it returns something true, which it returns; None after `timeout`."""
    deadline = time.monotonic() + timeout
    while not (result := check()):
        if time.monotonic() > deadline:
            return None
        time.sleep(0.2)
    return result


def longest_ui_answer(ws, seconds=4.0):
    """Times a request that obs-websocket hands to OBS's UI thread, again and again for
    `seconds`; the longest wait for its answer, in seconds."""
    scene = ws.request("GetCurrentProgramScene")["currentProgramSceneName"]
    longest = 0.0
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        started = time.monotonic()
        ws.request("SetCurrentProgramScene", {"sceneName": scene})
        longest = max(longest, time.monotonic() - started)
        time.sleep(0.1)
    return longest


def stop_sequences(log):
    """The last sequence of each broadcast stopped so far, as the plug-in logged it at Stop."""
    return [int(s) for s in re.findall(r"\[ryvo-obs\] stop: queue=\d+ last_sequence=(\d+)", log)]


def primary_agent(server, stream=STREAM):
    """What the development server counted for the stream's primary agent so far."""
    report = server.report()["streams"].get(stream, {})
    return report.get("agents", {}).get("primary", {})


def built_in_endpoint():
    """The ingest endpoint compiled into the module, which names the Secret Service item."""
    cache = Path(BUILD_DIR, "CMakeCache.txt").read_text()
    return re.search(r"^RYVO_DEFAULT_API_ENDPOINT:STRING=(.*)$", cache, re.M).group(1)


def store_api_key(account, key):
    """Stores the key where the plug-in keeps a portal-linked install's key: under its schema
    name, the service named after the built-in endpoint's host and the key's ID."""
    host = urlsplit(built_in_endpoint()).hostname.lower()
    service = "".join(label + "." for label in reversed(host.split(".")) if label) + "obs.api-key"
    subprocess.run(["secret-tool", "store", "--label=Ryvo OBS API key", "xdg:schema",
                    "net.ryvo.obs.ApiKey", "service", service, "account", account],
                   input=key.encode(), check=True, timeout=30)


def delivery_problems(session, last_sequence=None):
    """What keeps a broadcast's session on the server from holding every one of its segments
    (up to `last_sequence`, when given) with a verified digest: [] when nothing does."""
    problems = [f"gaps {session['gaps']}"] if session["gaps"] else []
    if last_sequence is not None and max(session["received"]) != last_sequence:
        problems.append(f"last received {max(session['received'])}, not {last_sequence}")
    if session["digests_failed"]:
        problems.append(f"{session['digests_failed']} digests failed")
    return problems


class ObsTestCase(unittest.TestCase):
    """Skips without a built module (and, with `needs_keyring`, outside with-keyring.sh); runs
    its tests on one private X server of `screen` size."""

    screen = "1280x800x24"
    needs_keyring = False

    @classmethod
    def setUpClass(cls):
        if not Path(BUILD_DIR, "ryvo-obs.so").is_file():
            raise unittest.SkipTest(f"no ryvo-obs.so in RYVO_BINARY_DIR ({BUILD_DIR!r})")
        if cls.needs_keyring and os.environ.get("RYVO_PRIVATE_KEYRING") != "1":
            raise unittest.SkipTest("needs the private keyring of tests/support/with-keyring.sh")
        cls.x = obs_harness.XServer(size=cls.screen).start()

    @classmethod
    def tearDownClass(cls):
        cls.x.stop()

    def session(self, **kwargs):
        """An OBS run of the build under test on the class's X server."""
        return obs_harness.ObsSession(BUILD_DIR, self.x.display, source_dir=SOURCE_DIR,
                                      package_root=PACKAGE_ROOT, **kwargs)

    def portal_session(self, server, **kwargs):
        """An OBS run whose built-in endpoint is the development server and whose Secret
        Service is the one of with-keyring.sh."""
        return self.session(extra_env={"RYVO_DEFAULT_API_ENDPOINT": server.base_url,
                                       "DBUS_SESSION_BUS_ADDRESS":
                                           os.environ["DBUS_SESSION_BUS_ADDRESS"]}, **kwargs)

    def start_link(self, server):
        reply = server.request("POST", LINKS + "/start", b"")
        self.assertEqual(reply.status, 200, reply.body)
        return reply.json()

    def complete_link(self, server, link, stream=STREAM):
        """Approves the link for `stream` as the user would in the portal, then polls it once."""
        server.control("link", {"action": "approve", "code": link["verification_code"],
                                "stream": stream})
        reply = server.request("GET", f"{LINKS}/{link['link_session_id']}",
                               headers={"Authorization": "Bearer " + link["poll_token"]})
        self.assertEqual(reply.status, 200, reply.body)
        answer = reply.json()
        self.assertEqual(answer["status"], "completed")
        return answer

    def link_through_portal(self, server, stream=STREAM):
        """The portal link a user makes from the dock, with the key stored as the plug-in
        stores it; returns the started link and the completed one."""
        link = self.start_link(server)
        linked = self.complete_link(server, link, stream)
        store_api_key(linked["api_key_id"], linked["api_key"])
        return link, linked
