#pragma once

#include <chrono>
#include <string>

namespace ryvoobs {

enum class BrowserOpenResult { opened, invalid_url, failed };

// Hands an http or https URL to xdg-open (found on PATH), which opens it in the user's default
// browser. The URL is passed as an argument of its own, never through a shell. Any other scheme
// is refused as invalid: the page comes from a server, and a file: or custom-scheme URL could
// open something local. Failed when the opener cannot be started or exits non-zero within
// `wait`; an opener still running after `wait` (one that keeps the browser in the foreground)
// counts as opened.
BrowserOpenResult open_in_default_browser(
    const std::string& url, std::chrono::milliseconds wait = std::chrono::milliseconds(5'000));

}  // namespace ryvoobs
