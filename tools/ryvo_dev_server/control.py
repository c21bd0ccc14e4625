"""The /_dev/ control requests: JSON in, JSON out."""

import json

from . import link_routes
from .faults import FaultError
from .links import LinkError

BACKFILL_EMPTY_MODES = ("not_found", "empty_list")


def _report(server, _request):
    report = server.records.report()
    report["faults"] = server.faults.report()
    report["revoked"] = server.streams.revoked()
    report["settings"] = _settings_of(server)
    report["links"] = server.links.report()
    return report


def _settings_of(server):
    return {"backfill_empty": server.backfill_empty,
            "backfill_from": server.records.backfill_from,
            "backfill_limit": server.records.backfill_limit}


def _faults(server, request):
    server.faults.add_fixed(request)
    return {"ok": True}


def _random(server, request):
    server.faults.set_random(request)
    return {"ok": True}


def _outage(server, request):
    return {"ok": True}, server.faults.set_outage(request)


def _reset(server, request):
    clear_records = bool(request.get("records"))
    server.faults.reset(counts=clear_records)
    server.streams.reset()
    server.links.reset()
    if clear_records:
        server.records.clear()
    return {"ok": True}


def _revoke(server, request):
    try:
        server.streams.revoke(request.get("stream"))
    except KeyError:
        raise FaultError("unknown stream") from None
    return {"ok": True}


def _streams(server, request):
    try:
        server.streams.set_key(request.get("stream"), request.get("key"))
    except ValueError as error:
        raise FaultError(str(error)) from None
    return {"ok": True, "streams": server.streams.ids()}


def _settings(server, request):
    if "backfill_empty" in request:
        if request["backfill_empty"] not in BACKFILL_EMPTY_MODES:
            raise FaultError("backfill_empty must be one of " + ", ".join(BACKFILL_EMPTY_MODES))
        server.backfill_empty = request["backfill_empty"]
    if "backfill_from" in request:
        value = request["backfill_from"]
        if value is not None and (isinstance(value, bool) or not isinstance(value, int)):
            raise FaultError("backfill_from must be an integer or null")
        server.records.backfill_from = value
    return _settings_of(server)


def _link(server, request):
    try:
        return link_routes.control(server, request)
    except LinkError as error:
        raise FaultError(str(error)) from None


_ROUTES = {
    ("GET", "report"): _report,
    ("POST", "faults"): _faults,
    ("POST", "random"): _random,
    ("POST", "outage"): _outage,
    ("POST", "reset"): _reset,
    ("POST", "revoke"): _revoke,
    ("POST", "streams"): _streams,
    ("POST", "settings"): _settings,
    ("POST", "link"): _link,
}


def handle(server, method, name, body):
    """Returns (HTTP status, JSON-able answer, a call to make after answering or None)."""
    route = _ROUTES.get((method, name))
    if route is None:
        known = any(key[1] == name for key in _ROUTES)
        return (405 if known else 404,
                {"error": "method_not_allowed" if known else "not_found"}, None)
    try:
        request = json.loads(body.decode("utf-8")) if body.strip() else {}
    except (UnicodeDecodeError, ValueError):
        return 400, {"error": "invalid_json"}, None
    if not isinstance(request, dict):
        return 400, {"error": "invalid_json", "message": "expected a JSON object"}, None
    try:
        answer = route(server, request)
    except FaultError as error:
        return 400, {"error": "bad_request", "message": str(error)}, None
    return (200,) + answer if isinstance(answer, tuple) else (200, answer, None)
