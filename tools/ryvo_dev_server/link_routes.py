"""The plug-in link requests and the verification page, on a DevServerHandler."""

import html
import re
import urllib.parse

from .links import LinkError

_LINK_PATH = re.compile(
    r"^.*/api/v1/plugin-links/(?:(?P<start>start)|(?P<session>[^/]+)(?P<cancel>/cancel)?)$")
PAGE_PATH = "/link"
_HOST = re.compile(r"^[A-Za-z0-9.\-]+(?::[0-9]{1,5})?$|^\[[0-9A-Fa-f:.]+\](?::[0-9]{1,5})?$")
_MAX_FORM_BODY = 1 << 16


def route(handler, method, path):
    """Answers the request when it is a link request or the page; False when it is neither."""
    if path == PAGE_PATH:
        _page(handler, method)
        return True
    match = _LINK_PATH.match(path)
    if match is None:
        return False
    if match.group("start"):
        kind, wanted = "link_start", "POST"
    elif match.group("cancel"):
        kind, wanted = "link_cancel", "POST"
    else:
        kind, wanted = "link_poll", "GET"
    handler.read_body(_MAX_FORM_BODY, required=False)
    if method != wanted:
        handler.send_json(405, {"error": "method_not_allowed"})
    elif not _faulted(handler, kind):
        _answer(handler, kind, match.group("session"))
    return True


def _faulted(handler, kind):
    """Applies an injected fault or outage; True when it has dealt with the request."""
    faults = handler.server.faults
    if faults.outage() == "blackhole":
        faults.hold_through_outage()
        handler.abandon()
        return True
    fault = faults.pick(kind, None)
    if fault is None:
        return False
    if fault.action == "drop":
        handler.abandon()
        return True
    if fault.action == "delay" and not faults.hold(fault.delay_ms) and faults.closed:
        handler.abandon()
        return True
    if fault.status is None:
        return False
    handler.send_body(fault.status, fault.body_bytes(), fault.retry_after)
    return True


def _answer(handler, kind, session_id):
    links = handler.server.links
    authorization = handler.headers.get("Authorization")
    if kind == "link_start":
        handler.send_json(200, links.start(_base_url(handler) + PAGE_PATH))
        return
    if kind == "link_poll":
        status, answer = links.poll(session_id, authorization, _base_url(handler))
    else:
        status, answer = links.cancel(session_id, authorization)
    handler.send_json(status, answer)


def _base_url(handler):
    """This server as the client reached it: the Host it named, else the listening port."""
    host = handler.headers.get("Host", "")
    if not _HOST.match(host):
        host = "127.0.0.1:%d" % handler.server.port
    return "%s://%s" % ("https" if handler.server.tls_context else "http", host)


# -- the verification page -------------------------------------------------------------------

_STYLE = """body{font-family:system-ui,sans-serif;background:#f4f5f7;color:#1d2330;margin:0}
main{max-width:26rem;margin:4rem auto;background:#fff;border-radius:10px;padding:2rem;
box-shadow:0 2px 10px rgba(0,0,0,.08)}h1{font-size:1.3rem;margin-top:0}
label{display:block;margin:1rem 0 .3rem;font-weight:600}
input,select{width:100%;box-sizing:border-box;padding:.5rem;font-size:1rem;
border:1px solid #c5cad3;border-radius:6px}input{letter-spacing:.15em;text-transform:uppercase}
.actions{display:flex;gap:.6rem;margin-top:1.5rem}button{flex:1;padding:.6rem;font-size:1rem;
border:0;border-radius:6px;cursor:pointer}.approve{background:#1f7a4d;color:#fff}
.deny{background:#e4e6ea;color:#1d2330}.note{padding:.6rem .8rem;border-radius:6px}
.ok{background:#e3f4ea}.bad{background:#fbe5e5}"""


def _page(handler, method):
    links = handler.server.links
    if method == "GET":
        query = urllib.parse.parse_qs(urllib.parse.urlsplit(handler.path).query)
        _send_page(handler, 200, _form(handler, query.get("code", [""])[0]))
        return
    if method != "POST":
        handler.read_body(_MAX_FORM_BODY, required=False)
        handler.send_json(405, {"error": "method_not_allowed"})
        return
    body = handler.read_body(_MAX_FORM_BODY, required=False)
    form = urllib.parse.parse_qs(body.decode("utf-8", "replace"))
    code = form.get("code", [""])[0]
    stream = form.get("stream", [""])[0]
    try:
        if form.get("decision", [""])[0] == "approve":
            links.approve(code, stream)
            text = "Linked. OBS now streams to %s; you can close this page." % stream
        else:
            links.deny(code)
            text = "The link was denied; nothing was shared with OBS."
    except LinkError as error:
        _send_page(handler, 400, _form(handler, code, str(error)))
        return
    _send_page(handler, 200, '<p class="note ok">%s</p>' % html.escape(text))


def _form(handler, code, problem=None):
    options = "".join('<option value="%s">%s</option>' % (html.escape(s), html.escape(s))
                      for s in handler.server.streams.ids())
    note = '<p class="note bad">%s</p>' % html.escape(problem) if problem else ""
    return ("%s<p>Enter the code OBS shows and choose the stream it should deliver to.</p>"
            '<form method="post" action="%s"><label for="code">Verification code</label>'
            '<input id="code" name="code" value="%s" autocomplete="off" required>'
            '<label for="stream">Stream</label><select id="stream" name="stream">%s</select>'
            '<div class="actions"><button class="approve" name="decision" value="approve">'
            'Approve</button><button class="deny" name="decision" value="deny" formnovalidate>'
            "Deny</button></div></form>" % (note, PAGE_PATH, html.escape(code), options))


def _send_page(handler, status, content):
    page = ("<!DOCTYPE html><html lang=\"en\"><head><meta charset=\"utf-8\">"
            "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
            "<title>Link OBS with Ryvo</title><style>%s</style></head><body><main>"
            "<h1>Link OBS with Ryvo</h1>%s</main></body></html>" % (_STYLE, content))
    handler.send_body(status, page.encode("utf-8"), content_type="text/html; charset=utf-8")


# -- control ---------------------------------------------------------------------------------

def control(server, request):
    """POST /_dev/link: {"action": "approve", "code": C, "stream": ID} or "deny", "expire",
    "reject_polls" with a code."""
    links = server.links
    action = request.get("action")
    code = request.get("code")
    if not isinstance(code, str):
        raise LinkError("code must be a string")
    if action == "approve":
        links.approve(code, request.get("stream"))
    elif action == "deny":
        links.deny(code)
    elif action == "expire":
        links.expire(code)
    elif action == "reject_polls":
        links.reject_polls(code)
    else:
        raise LinkError("action must be approve, deny, expire or reject_polls")
    return {"ok": True}
