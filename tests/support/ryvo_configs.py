"""The plug-in configurations the OBS end-to-end runs install: a manual install that holds its
own key, and a portal-linked install whose key sits in the Secret Service."""

# Short segments and a small buffer, so that a run sees deliveries within seconds.
QUICK_DELIVERY = {"segment_duration_ms": 1000, "ram_buffer_minutes": 1}


def manual_config(stream_id, api_key, endpoint=None, capture_mode="streaming", **rest):
    """A manual install; without `endpoint` the module's built-in endpoint applies."""
    config = {"enabled": True, "auth_mode": "manual", "stream_id": stream_id,
              "api_key": api_key}
    if endpoint is not None:
        config["api_endpoint"] = endpoint
    return {**config, "runtime_mode": "full", "capture_mode": capture_mode, **rest}


def portal_config(linked, capture_mode="streaming", **rest):
    """The install a completed portal link leaves: the file names the key by its ID only."""
    return {
        "enabled": True,
        "auth_mode": "portal",
        "stream_id": linked["selected_stream_id"],
        "selected_stream_name": linked["selected_stream_name"],
        "linked_account_email": linked["linked_account_email"],
        "linked_account_name": linked["linked_account_name"],
        "api_key": "",
        "api_key_id": linked["api_key_id"],
        "runtime_mode": "full",
        "capture_mode": capture_mode,
        **rest,
    }
