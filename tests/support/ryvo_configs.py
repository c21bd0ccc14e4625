"""The plug-in configurations the OBS end-to-end runs install."""

# Short segments and a small buffer, so that a run sees deliveries within seconds.
QUICK_DELIVERY = {"segment_duration_ms": 1000, "ram_buffer_minutes": 1}


def manual_config(stream_id, api_key, endpoint, **rest):
    """A manual install, which holds its own key."""
    return {"enabled": True, "auth_mode": "manual", "stream_id": stream_id, "api_key": api_key,
            "api_endpoint": endpoint, "runtime_mode": "full", "capture_mode": "streaming", **rest}


def portal_config(linked, **rest):
    """The install a completed portal link leaves: the built-in endpoint, and the key named by
    its ID only."""
    return {"enabled": True, "auth_mode": "portal", "stream_id": linked["selected_stream_id"],
            "api_key": "", "runtime_mode": "full", "capture_mode": "streaming",
            **{name: linked[name] for name in ("selected_stream_name", "linked_account_email",
                                               "linked_account_name", "api_key_id")}, **rest}
