"""The listening side: a threaded HTTP/1.1 server on a loopback address that can close and reopen
its listening socket (a refused-connections outage) and shuts down without waiting on anyone."""

import http.server
import os
import select
import socket
import ssl
import sys
import threading
import time

from .handler import DevServerHandler
from .links import Links

_POLL_SECONDS = 0.05
_HANDSHAKE_SECONDS = 10
_REBIND_SECONDS = 5


class DevServer(http.server.ThreadingHTTPServer):
    daemon_threads = True
    block_on_close = False
    allow_reuse_address = True

    def __init__(self, address, streams, records, faults, tls_context=None, verbose=False,
                 max_segment_bytes=64 << 20, backfill_empty="not_found"):
        self.address_family = socket.AF_INET6 if ":" in address[0] else socket.AF_INET
        super().__init__(address, DevServerHandler)
        self.streams = streams
        self.links = Links(streams)
        self.records = records
        self.faults = faults
        self.tls_context = tls_context
        self.verbose = verbose
        self.max_segment_bytes = max_segment_bytes
        self.backfill_empty = backfill_empty
        self.port = self.server_address[1]
        self._listening = True
        self._connections_lock = threading.Lock()
        self._connections = set()
        self._idle = threading.Condition(self._connections_lock)
        self._active = 0

    # -- connections -------------------------------------------------------------------------

    def process_request(self, request, client_address):
        self.records.count_connection()
        with self._connections_lock:
            self._active += 1
        super().process_request(request, client_address)

    def finish_request(self, request, client_address):
        try:
            if self.tls_context is None:
                super().finish_request(request, client_address)
                return
            request.settimeout(_HANDSHAKE_SECONDS)
            with self.tls_context.wrap_socket(request, server_side=True) as connection:
                super().finish_request(connection, client_address)
        finally:
            with self._connections_lock:
                self._active -= 1
                self._idle.notify_all()

    def handle_error(self, request, client_address):
        # A client that hangs up mid-exchange or fails the TLS handshake is routine here.
        if self.verbose or not isinstance(sys.exc_info()[1], OSError):
            super().handle_error(request, client_address)

    def track_connection(self, connection):
        with self._connections_lock:
            self._connections.add(connection)

    def untrack_connection(self, connection):
        with self._connections_lock:
            self._connections.discard(connection)

    def close_connections(self):
        """Ends every open connection; their handlers see end of input and finish."""
        with self._connections_lock:
            connections = list(self._connections)
        for connection in connections:
            try:
                connection.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    # -- the listening socket ----------------------------------------------------------------

    def _close_listener(self):
        self.socket.close()
        self._listening = False
        self.close_connections()

    def _reopen_listener(self):
        fresh = socket.socket(self.address_family, socket.SOCK_STREAM)
        fresh.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        deadline = time.monotonic() + _REBIND_SECONDS
        while True:
            try:
                fresh.bind(self.server_address)
                break
            except OSError:
                if time.monotonic() >= deadline:
                    fresh.close()
                    raise
                time.sleep(_POLL_SECONDS)
        fresh.listen(self.request_queue_size)
        self.socket = fresh
        self._listening = True

    def run(self, stop, parent_pid=None):
        """Serves until `stop` is set (or the parent process named is gone)."""
        while not stop.is_set():
            if parent_pid is not None and _parent_gone(parent_pid):
                break
            refusing = self.faults.outage() == "refuse"
            if refusing and self._listening:
                self._close_listener()
            elif not refusing and not self._listening:
                self._reopen_listener()
            if not self._listening:
                stop.wait(_POLL_SECONDS)
                continue
            try:
                readable, _, _ = select.select([self.socket], [], [], _POLL_SECONDS)
            except InterruptedError:
                continue
            if readable:
                self._handle_request_noblock()

    def stop_serving(self, grace_seconds=3.0):
        """Releases held requests, closes every connection and waits a bounded time for the
        handler threads; any still running are daemons and die with the process."""
        self.faults.close()
        if self._listening:
            self.socket.close()
            self._listening = False
        self.close_connections()
        deadline = time.monotonic() + grace_seconds
        with self._idle:
            while self._active > 0:
                left = deadline - time.monotonic()
                if left <= 0:
                    break
                self._idle.wait(left)


def _parent_gone(parent_pid):
    return os.getppid() != parent_pid


def make_tls_context(cert_path, key_path):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert_path, key_path)
    return context
