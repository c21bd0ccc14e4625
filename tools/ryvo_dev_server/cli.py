"""Command line, start-up and clean shutdown."""

import argparse
import ipaddress
import json
import os
import signal
import sys
import threading

from .control import BACKFILL_EMPTY_MODES
from .faults import FaultError, FaultPlan
from .records import Records
from .server import DevServer, make_tls_context
from .streams import Streams, load_streams_file, parse_stream_arg


def _loopback_host(text):
    try:
        if ipaddress.ip_address(text).is_loopback:
            return text
    except ValueError:
        pass
    raise argparse.ArgumentTypeError("only loopback addresses are served, not %r" % text)


def _stream(text):
    try:
        return parse_stream_arg(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


_CONTROL_HELP = """control requests (JSON; never faulted, but a refusing outage blocks them):
  GET  /_dev/report    what was received, per stream, capture session and agent
  POST /_dev/faults    {"kind": "upload|heartbeat|backfill|end|link_*", "count": N, "status": S,
                        "body": ..., "retry_after": R, "stream": ID, "sequence": N}
                       {"kind": ..., "action": "delay", "delay_ms": MS [, "status": S]}
                       {"kind": ..., "action": "drop", "stage": "headers|partial|body|stored"}
  POST /_dev/random    {"kind": ..., "seed": N, "faults": [{"percent": P, "status": S, ...}]}
  POST /_dev/outage    {"mode": "refuse|blackhole", "duration_ms": MS} or {"mode": "none"}
  POST /_dev/revoke    {"stream": ID}
  POST /_dev/streams   {"stream": ID, "key": KEY}
  POST /_dev/settings  {"backfill_empty": "not_found|empty_list", "backfill_from": N|null}
  POST /_dev/link      {"action": "approve", "code": C, "stream": ID}, or "deny", "expire",
                       "reject_polls" (every later poll of the link gets 401) with a code
  POST /_dev/reset     {} or {"records": true}
link requests: POST /api/v1/plugin-links/start, GET .../<id>, POST .../<id>/cancel (fault kinds
  link_start, link_poll, link_cancel); the verification page is GET/POST /link
"""


def parse_args(argv):
    parser = argparse.ArgumentParser(
        prog="ryvo-dev-server",
        description="A local ingest server for tests, the demo and benchmarks.",
        epilog=_CONTROL_HELP, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--host", type=_loopback_host, default="127.0.0.1",
                        help="loopback address to bind: 127.0.0.1 (default) or ::1")
    parser.add_argument("--port", type=int, default=0, help="port; 0 (default) picks a free one")
    parser.add_argument("--port-file", help="write the port here once listening")
    parser.add_argument("--stream", type=_stream, action="append", default=[],
                        metavar="ID:KEY", help="a stream and its bearer key (repeatable)")
    parser.add_argument("--streams-file", help='JSON file {"streams": {"ID": "KEY", ...}}')
    parser.add_argument("--data-dir",
                        help="store segments as DIR/<stream>/<capture session>/<sequence>.ts")
    parser.add_argument("--tls-cert", help="PEM certificate: serve HTTPS")
    parser.add_argument("--tls-key", help="PEM private key of --tls-cert")
    parser.add_argument("--backfill-empty", choices=BACKFILL_EMPTY_MODES, default="not_found",
                        help="answer to a backfill poll when nothing is missing: 404 not_found "
                             "(default) or 200 with an empty list")
    parser.add_argument("--backfill-from", type=int, default=None,
                        help="the first sequence expected of every agent (default: the lowest "
                             "received)")
    parser.add_argument("--backfill-limit", type=int, default=1000,
                        help="most sequences listed in one backfill answer")
    parser.add_argument("--max-segment-bytes", type=int, default=64 << 20,
                        help="largest segment body accepted; larger ones get 413")
    parser.add_argument("--faults-file",
                        help='JSON {"faults": [...], "random": [...]} applied at start, in the '
                             "shapes of POST /_dev/faults and /_dev/random")
    parser.add_argument("--parent-pid", type=int,
                        help="exit when this process is no longer the parent")
    parser.add_argument("--verbose", action="store_true", help="log every request to stderr")
    args = parser.parse_args(argv)
    if bool(args.tls_cert) != bool(args.tls_key):
        parser.error("--tls-cert and --tls-key go together")
    if not 0 <= args.port <= 65535:
        parser.error("--port must be from 0 to 65535")
    if args.backfill_limit < 1:
        parser.error("--backfill-limit must be at least 1")
    return args


def _apply_faults_file(path, faults):
    with open(path, encoding="utf-8") as handle:
        data = json.load(handle)
    for rule in data.get("faults", []):
        faults.add_fixed(rule)
    for rules in data.get("random", []):
        faults.set_random(rules)


def _write_port_file(path, port):
    partial = path + ".part"
    with open(partial, "w", encoding="utf-8") as out:
        out.write("%d\n" % port)
    os.replace(partial, path)


def _summary_line(server):
    totals = server.records.summary()
    totals["faults"] = server.faults.injected_total()
    return "ryvo-dev-server summary: " + " ".join("%s=%d" % item for item in totals.items())


def main(argv=None):
    args = parse_args(sys.argv[1:] if argv is None else argv)
    try:
        pairs = list(args.stream)
        if args.streams_file:
            pairs += load_streams_file(args.streams_file)
        faults = FaultPlan()
        if args.faults_file:
            _apply_faults_file(args.faults_file, faults)
        tls = make_tls_context(args.tls_cert, args.tls_key) if args.tls_cert else None
        if args.data_dir:
            os.makedirs(args.data_dir, exist_ok=True)
        records = Records(args.data_dir, args.backfill_from, args.backfill_limit)
        server = DevServer((args.host, args.port), Streams(pairs), records, faults, tls,
                           args.verbose, args.max_segment_bytes, args.backfill_empty)
    except (OSError, ValueError, FaultError) as error:
        print("ryvo-dev-server: %s" % error, file=sys.stderr)
        return 2

    stop = threading.Event()
    for signum in (signal.SIGINT, signal.SIGTERM):
        signal.signal(signum, lambda *_: stop.set())

    host = "[%s]" % args.host if ":" in args.host else args.host
    scheme = "https" if tls else "http"
    if args.port_file:
        _write_port_file(args.port_file, server.port)
    print("ryvo-dev-server listening on %s://%s:%d" % (scheme, host, server.port), flush=True)
    try:
        server.run(stop, args.parent_pid)
    finally:
        server.stop_serving()
        try:
            print(_summary_line(server), flush=True)
        except OSError:
            pass  # nobody reads our output any more
    return 0
