"""Runs tools/ryvo-dev-server as a child process for Python tests.

    with DevServer(streams={"stream-1": "key-1"}) as server:
        ... point the plug-in at server.base_url ...
        server.control("faults", {"kind": "upload", "status": 503})
        report = server.report()

The child always ends with the `with` block (SIGTERM, then SIGKILL after a bounded wait), and it
exits by itself should this process die first.
"""

import hashlib
import http.client
import json
import os
import shutil
import signal
import ssl
import subprocess
import tempfile
import time

SOURCE_DIR = os.environ.get(
    "RYVO_SOURCE_DIR", os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))
SCRIPT = os.path.join(SOURCE_DIR, "tools", "ryvo-dev-server")
PYTHON = "/usr/bin/python3"


class DevServerError(RuntimeError):
    pass


def segment_headers(key, body, agent_id="primary", capture_session_id=None, duration_ms=2000,
                    **overrides):
    """The headers the plug-in sends with a segment; keyword overrides replace or (with None)
    remove single headers, named with underscores (X_Segment_SHA256=...)."""
    headers = {
        "Authorization": "Bearer " + key,
        "Content-Type": "application/octet-stream",
        "X-Segment-SHA256": hashlib.sha256(body).hexdigest(),
        "X-Segment-Duration-Ms": str(duration_ms),
        "X-Agent-ID": agent_id,
        "X-Agent-Version": "1.0.0",
    }
    if capture_session_id:
        headers["X-Capture-Session-ID"] = capture_session_id
    for name, value in overrides.items():
        name = name.replace("_", "-")
        if value is None:
            headers.pop(name, None)
        else:
            headers[name] = value
    return headers


class Reply:
    def __init__(self, status, headers, body):
        self.status = status
        self.headers = headers
        self.body = body

    def json(self):
        return json.loads(self.body)


class DevServer:
    def __init__(self, streams=None, data_dir=None, tls_cert=None, tls_key=None, host="127.0.0.1",
                 extra_args=(), start_timeout=20.0):
        self.streams = {"stream-1": "key-1"} if streams is None else dict(streams)
        self.data_dir = data_dir
        self.tls_cert = tls_cert
        self.tls_key = tls_key
        self.host = host
        self.extra_args = list(extra_args)
        self.start_timeout = start_timeout
        self.port = None
        self.process = None
        self.exit_code = None
        self._work_dir = None
        self._log = None

    # -- lifecycle ---------------------------------------------------------------------------

    def start(self):
        self._work_dir = tempfile.mkdtemp(prefix="ryvo-dev-server-")
        port_file = os.path.join(self._work_dir, "port")
        args = [PYTHON, SCRIPT, "--host", self.host, "--port", "0", "--port-file", port_file,
                "--parent-pid", str(os.getpid())]
        for stream_id, key in self.streams.items():
            args += ["--stream", "%s:%s" % (stream_id, key)]
        if self.data_dir:
            args += ["--data-dir", self.data_dir]
        if self.tls_cert:
            args += ["--tls-cert", self.tls_cert, "--tls-key", self.tls_key]
        args += self.extra_args
        self._log = open(os.path.join(self._work_dir, "server.log"), "w+b")
        self.process = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=self._log,
                                        stderr=subprocess.STDOUT)
        deadline = time.monotonic() + self.start_timeout
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                output = self.output()
                self.close()
                raise DevServerError("dev server exited with %s: %s"
                                     % (self.process.returncode, output))
            try:
                with open(port_file, encoding="utf-8") as handle:
                    self.port = int(handle.read())
                return self
            except (OSError, ValueError):
                time.sleep(0.01)
        output = self.output()
        self.close()
        raise DevServerError("dev server not ready within %.0f s: %s"
                             % (self.start_timeout, output))

    def stop(self, timeout=5.0):
        """SIGTERM, then SIGKILL when it takes longer than `timeout`; returns the exit code."""
        if self.process is not None and self.exit_code is None:
            if self.process.poll() is None:
                self.process.send_signal(signal.SIGTERM)
            try:
                self.exit_code = self.process.wait(timeout)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.exit_code = self.process.wait()
        return self.exit_code

    def close(self):
        self.stop()
        if self._log is not None:
            self._log.close()
            self._log = None
        if self._work_dir is not None:
            shutil.rmtree(self._work_dir, ignore_errors=True)
            self._work_dir = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *_exc):
        self.close()

    def output(self):
        """Everything the server printed so far (ready line, exit summary, errors)."""
        self._log.flush()
        with open(self._log.name, encoding="utf-8", errors="replace") as handle:
            return handle.read()

    # -- requests ----------------------------------------------------------------------------

    @property
    def scheme(self):
        return "https" if self.tls_cert else "http"

    @property
    def base_url(self):
        host = "[%s]" % self.host if ":" in self.host else self.host
        return "%s://%s:%d" % (self.scheme, host, self.port)

    def connection(self, timeout=10.0):
        """A fresh keep-alive connection to the server (TLS without verification: the
        certificate is a throw-away one for a loopback child)."""
        if self.tls_cert:
            context = ssl.create_default_context()
            context.check_hostname = False
            context.verify_mode = ssl.CERT_NONE
            return http.client.HTTPSConnection(self.host, self.port, timeout=timeout,
                                               context=context)
        return http.client.HTTPConnection(self.host, self.port, timeout=timeout)

    def request(self, method, path, body=None, headers=None, timeout=10.0):
        connection = self.connection(timeout)
        try:
            connection.request(method, path, body=body, headers=headers or {})
            response = connection.getresponse()
            return Reply(response.status, dict(response.getheaders()), response.read())
        finally:
            connection.close()

    def control(self, name, request=None):
        reply = self.request("POST", "/_dev/" + name, json.dumps(request or {}).encode(),
                             {"Content-Type": "application/json"})
        if reply.status != 200:
            raise DevServerError("control %s: %d %r" % (name, reply.status, reply.body))
        return reply.json()

    def report(self):
        reply = self.request("GET", "/_dev/report")
        if reply.status != 200:
            raise DevServerError("report: %d %r" % (reply.status, reply.body))
        return reply.json()

    def upload(self, stream_id, key, sequence, body, **header_args):
        return self.request("POST", "/api/v1/streams/%s/segments/%d" % (stream_id, sequence),
                            body, segment_headers(key, body, **header_args))
