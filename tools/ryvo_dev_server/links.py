"""Account links: the portal's side of the plug-in link API. An install starts a link and polls
it with its poll token; a person approves it on the verification page (or a test does so through
/_dev/link), choosing one of the server's streams, and the next poll hands out a fresh API key
that the ingest side accepts for that stream."""

import secrets
import threading
import time

PENDING, COMPLETED, DENIED, EXPIRED, CANCELLED = (
    "pending", "completed", "denied", "expired", "cancelled")
LIFETIME_SECONDS = 600
ACCOUNT = {"linked_account_email": "dev@ryvo.invalid", "linked_account_name": "Ryvo Dev"}
# No 0/O or 1/I: the code is read off a screen and typed in.
_CODE_ALPHABET = "ABCDEFGHJKLMNPQRSTUVWXYZ23456789"


class LinkError(ValueError):
    """A decision that cannot be taken (no such code, not pending, unknown stream)."""


def normalize_code(text):
    return "".join(ch for ch in (text or "").upper() if ch.isalnum())


def _new_code():
    raw = "".join(secrets.choice(_CODE_ALPHABET) for _ in range(8))
    return raw[:4] + "-" + raw[4:]


def _iso(seconds):
    return time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(seconds))


class Link:
    def __init__(self, now):
        self.session_id = "pl_" + secrets.token_hex(12)
        self.code = _new_code()
        self.poll_token = secrets.token_urlsafe(24)
        self.expires = now + LIFETIME_SECONDS
        self.status = PENDING
        self.stream = None
        self.api_key = None
        self.api_key_id = None
        self.polls = 0
        # Set through /_dev/link: every poll of this link is answered 401 from then on.
        self.reject_polls = False

    def to_report(self):
        return {"link_session_id": self.session_id, "verification_code": self.code,
                "status": self.status, "stream": self.stream, "polls": self.polls,
                "rejecting_polls": self.reject_polls}


class Links:
    """Thread-safe set of the links started since start-up (or the last reset)."""

    def __init__(self, streams, clock=time.time):
        self._streams = streams
        self._clock = clock
        self._lock = threading.Lock()
        self._links = {}
        self._counts = {}

    def _count_locked(self, what):
        self._counts[what] = self._counts.get(what, 0) + 1

    def _expire_locked(self, link):
        if link.status == PENDING and self._clock() >= link.expires:
            link.status = EXPIRED
            self._count_locked("expired")

    def _by_code_locked(self, code):
        wanted = normalize_code(code)
        for link in self._links.values():
            if normalize_code(link.code) == wanted:
                self._expire_locked(link)
                return link
        raise LinkError("no link with code %r" % code)

    def _authorized_locked(self, session_id, authorization):
        """(link, None) or (None, (status, error answer))."""
        link = self._links.get(session_id)
        if link is None:
            return None, (404, {"error": "not_found"})
        if link.reject_polls or authorization != "Bearer " + link.poll_token:
            self._count_locked("unauthorized")
            return None, (401, {"error": "unauthorized"})
        self._expire_locked(link)
        return link, None

    def start(self, verification_page):
        """The start answer; the page URL gets the code as its query."""
        with self._lock:
            link = Link(self._clock())
            self._links[link.session_id] = link
            self._count_locked("started")
            return {"link_session_id": link.session_id, "verification_code": link.code,
                    "verification_url": verification_page + "?code=" + link.code,
                    "poll_token": link.poll_token, "expires_at": _iso(link.expires)}

    def poll(self, session_id, authorization, api_endpoint):
        """(HTTP status, answer) for a poll."""
        with self._lock:
            link, refusal = self._authorized_locked(session_id, authorization)
            if refusal is not None:
                return refusal
            link.polls += 1
            self._count_locked("polls")
            if link.status != COMPLETED:
                return 200, {"status": link.status}
            self._count_locked("credentials_handed_out")
            answer = {"status": COMPLETED, "selected_stream_id": link.stream,
                      "selected_stream_name": "Dev stream " + link.stream,
                      "api_key": link.api_key, "api_key_id": link.api_key_id,
                      "api_endpoint": api_endpoint}
            answer.update(ACCOUNT)
            return 200, answer

    def cancel(self, session_id, authorization):
        with self._lock:
            link, refusal = self._authorized_locked(session_id, authorization)
            if refusal is not None:
                return refusal
            if link.status != PENDING:
                return 409, {"error": "link is already " + link.status}
            link.status = CANCELLED
            self._count_locked("cancelled")
            return 200, {"status": CANCELLED}

    def approve(self, code, stream):
        """Completes a pending link for `stream` with a new key, which the stream accepts from
        now on (beside its other keys)."""
        with self._lock:
            link = self._by_code_locked(code)
            if link.status != PENDING:
                raise LinkError("the link is %s" % link.status)
            if stream not in self._streams.ids():
                raise LinkError("no stream %r" % stream)
            link.api_key = "ryvo_" + secrets.token_urlsafe(24)
            link.api_key_id = "key_" + secrets.token_hex(6)
            self._streams.add_key(stream, link.api_key)
            link.stream = stream
            link.status = COMPLETED
            self._count_locked("approved")
            return link.session_id

    def deny(self, code):
        self._finish(code, DENIED, "denied")

    def expire(self, code):
        self._finish(code, EXPIRED, "expired")

    def _finish(self, code, status, counter):
        with self._lock:
            link = self._by_code_locked(code)
            if link.status != PENDING:
                raise LinkError("the link is %s" % link.status)
            link.status = status
            self._count_locked(counter)

    def reject_polls(self, code):
        with self._lock:
            self._by_code_locked(code).reject_polls = True


    def reset(self):
        with self._lock:
            self._links = {}
            self._counts = {}

    def report(self):
        with self._lock:
            for link in self._links.values():
                self._expire_locked(link)
            return {"counts": dict(self._counts),
                    "links": [link.to_report() for link in self._links.values()]}
