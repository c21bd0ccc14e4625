"""tools/ryvo-dev-server as a child process for Python tests and scripts, `with DevServer(...)
as server:`; the child ends with the block, and exits by itself should this process die first."""

import http.client
import json
import os
import subprocess
import tempfile
import time

SOURCE_DIR = os.environ.get(
    "RYVO_SOURCE_DIR", os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))


class DevServerError(RuntimeError):
    pass


class Reply:
    def __init__(self, status, body):
        self.status = status
        self.body = body

    def json(self):
        return json.loads(self.body)


class DevServer:
    def __init__(self, streams=None, data_dir=None, extra_args=()):
        streams = {"stream-1": "key-1"} if streams is None else streams
        self.args = [arg for stream in streams.items() for arg in ("--stream", "%s:%s" % stream)]
        self.args += (["--data-dir", data_dir] if data_dir else []) + list(extra_args)
        self.port = None
        self.process = None
        # The server's ready line, exit summary and errors, for output().
        self._log = tempfile.NamedTemporaryFile(prefix="ryvo-dev-server-", suffix=".log")

    def start(self):
        port_file = self._log.name + ".port"
        self.process = subprocess.Popen(
            ["/usr/bin/python3", os.path.join(SOURCE_DIR, "tools", "ryvo-dev-server"),
             "--port-file", port_file, "--parent-pid", str(os.getpid()), *self.args],
            stdin=subprocess.DEVNULL, stdout=self._log, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + 20
        while self.port is None:
            if self.process.poll() is not None or time.monotonic() > deadline:
                output = self.output()
                self.close()
                raise DevServerError("the dev server did not start: " + output)
            try:
                with open(port_file, encoding="utf-8") as handle:
                    self.port = int(handle.read())
                os.remove(port_file)
            except OSError:
                time.sleep(0.01)
        return self

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(5)
            except subprocess.TimeoutExpired:
                self.process.kill()
        return self.process.wait()

    def close(self):
        if self.process is not None:
            self.stop()
        self._log.close()

    def __enter__(self):
        return self.start()

    def __exit__(self, *_exc):
        self.close()

    def output(self):
        with open(self._log.name, encoding="utf-8", errors="replace") as handle:
            return handle.read()

    @property
    def base_url(self):
        return "http://127.0.0.1:%d" % self.port

    def request(self, method, path, body=None, headers=None):
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=10)
        try:
            connection.request(method, path, body=body, headers=headers or {})
            response = connection.getresponse()
            return Reply(response.status, response.read())
        finally:
            connection.close()

    def control(self, name, request=None):
        return self._dev("POST", name, json.dumps(request or {}).encode())

    def report(self):
        return self._dev("GET", "report")

    def _dev(self, method, name, body=None):
        reply = self.request(method, "/_dev/" + name, body)
        if reply.status != 200:
            raise DevServerError("%s: %d %r" % (name, reply.status, reply.body))
        return reply.json()
