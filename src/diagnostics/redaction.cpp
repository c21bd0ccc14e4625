#include "diagnostics/redaction.h"

#include <algorithm>
#include <array>
#include <cstddef>

namespace ryvoobs {
namespace {

constexpr std::string_view kMarker = "<redacted>";
constexpr std::string_view kUnparsableConfig = "<unable to parse config JSON for redaction>";
constexpr std::string_view kHostMarker = "<host>";
#ifdef __APPLE__
constexpr std::string_view kHomeMarker = "/Users/<user>";
#else
constexpr std::string_view kHomeMarker = "/home/<user>";
#endif

constexpr std::array<std::string_view, 8> kSecretKeyNames = {
    "stream_key",   "streamKey",   "api_key", "apiKey",
    "access_token", "accessToken", "token",   "secret",
};

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool is_json_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool is_word(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

bool is_quote(char c) {
    return c == '"' || c == '\'';
}

// The slash, question mark, ampersand, equals sign, colon and full stop belong to a value, so that
// a URL or a key=value query survives whole into the value.
bool is_secret_value_delimiter(char c) {
    switch (c) {
        case '"':
        case '\'':
        case '(':
        case ')':
        case ',':
        case ';':
        case '<':
        case '>':
        case '[':
        case ']':
        case '{':
        case '}':
            return true;
        default:
            return is_space(c);
    }
}

char fold(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool matches_at(const std::string& text, std::size_t pos, std::string_view needle) {
    if (pos > text.size() || text.size() - pos < needle.size()) {
        return false;
    }
    for (std::size_t i = 0; i < needle.size(); ++i) {
        if (fold(text[pos + i]) != fold(needle[i])) {
            return false;
        }
    }
    return true;
}

std::size_t find_folded(const std::string& text, std::string_view needle, std::size_t from) {
    for (std::size_t pos = from; pos + needle.size() <= text.size(); ++pos) {
        if (matches_at(text, pos, needle)) {
            return pos;
        }
    }
    return std::string::npos;
}

std::size_t value_end(const std::string& text, std::size_t from) {
    while (from < text.size() && !is_secret_value_delimiter(text[from])) {
        ++from;
    }
    return from;
}

std::size_t skip_space(const std::string& text, std::size_t from) {
    while (from < text.size() && is_space(text[from])) {
        ++from;
    }
    return from;
}

// The index of the closing quote `quote` of a value that starts at `from`, honouring backslash
// escapes; the text's size when the value never closes.
std::size_t closing_quote(const std::string& text, std::size_t from, char quote) {
    while (from < text.size() && text[from] != quote) {
        from += text[from] == '\\' ? 2 : 1;
    }
    return std::min(from, text.size());
}

void replace_all(std::string& text, std::string_view needle, std::string_view replacement) {
    std::size_t pos = 0;
    while ((pos = text.find(needle, pos)) != std::string::npos) {
        text.replace(pos, needle.size(), replacement);
        pos += replacement.size();
    }
}

void redact_rtmp_urls(std::string& text) {
    std::size_t pos = 0;
    while (true) {
        const std::size_t plain = find_folded(text, "rtmp://", pos);
        const std::size_t secure = find_folded(text, "rtmps://", pos);
        if (plain == std::string::npos && secure == std::string::npos) {
            return;
        }
        const std::size_t body = plain < secure ? plain + 7 : secure + 8;
        const std::size_t end = value_end(text, body);
        // A bare scheme already followed by the marker was redacted before; marking it again
        // would grow the text on every pass.
        if (end == body && text.compare(body, kMarker.size(), kMarker) == 0) {
            pos = body + kMarker.size();
            continue;
        }
        text.replace(body, end - body, kMarker);
        pos = body + kMarker.size();
    }
}

// Where a secret key's assignment begins at `pos` ("token=", "'apiKey':"), the index just after
// its separator; npos otherwise.
std::size_t key_assignment_end(const std::string& text, std::size_t pos, std::string_view key) {
    if (!matches_at(text, pos, key)) {
        return std::string::npos;
    }
    const std::size_t key_end = pos + key.size();
    if ((pos > 0 && is_word(text[pos - 1])) || (key_end < text.size() && is_word(text[key_end]))) {
        return std::string::npos;
    }
    std::size_t i = key_end;
    if (i < text.size() && is_quote(text[i])) {
        ++i;
    }
    i = skip_space(text, i);
    if (i >= text.size() || (text[i] != '=' && text[i] != ':')) {
        return std::string::npos;
    }
    return i + 1;
}

// Where a bearer token follows "bearer" at `pos`, the token's start (its opening quote when it is
// quoted); npos otherwise.
std::size_t bearer_token_start(const std::string& text, std::size_t pos) {
    constexpr std::string_view kBearer = "bearer";
    const std::size_t after = pos + kBearer.size();
    if (!matches_at(text, pos, kBearer) || (pos > 0 && is_word(text[pos - 1])) ||
        after >= text.size() || !is_space(text[after])) {
        return std::string::npos;
    }
    std::size_t start = after;
    while (start < text.size() && (text[start] == ' ' || text[start] == '\t')) {
        ++start;
    }
    return start < text.size() && (is_quote(text[start]) || !is_secret_value_delimiter(text[start]))
               ? start
               : std::string::npos;
}

// Whether the would-be value at `pos` is itself another secret's assignment or bearer token, as in
// "token: secret: abc" or "token: Bearer abc". Replacing it as a value would destroy the inner key
// and leave the inner secret behind, so it is left for the inner match.
bool starts_nested_secret(const std::string& text, std::size_t pos) {
    // Whether the token after "bearer" is there or was redacted already does not matter, so that
    // a second redaction sees the same.
    if (matches_at(text, pos, "bearer ") || matches_at(text, pos, "bearer\t")) {
        return true;
    }
    return std::any_of(kSecretKeyNames.begin(), kSecretKeyNames.end(), [&](std::string_view key) {
        return key_assignment_end(text, pos, key) != std::string::npos;
    });
}

// Replaces the value starting at `start` (a quoted value between its quotes, as some clients log
// "Bearer \"abc\"") and returns where the search goes on.
std::size_t redact_value_at(std::string& text, std::size_t start) {
    std::size_t end = 0;
    if (start < text.size() && is_quote(text[start])) {
        const char quote = text[start];
        ++start;
        end = closing_quote(text, start, quote);
    } else {
        end = value_end(text, start);
    }
    if (end == start || starts_nested_secret(text, start)) {
        return start;
    }
    text.replace(start, end - start, kMarker);
    return start + kMarker.size();
}

void redact_key_values(std::string& text, std::string_view key) {
    std::size_t pos = 0;
    while (pos + key.size() <= text.size()) {
        if (!matches_at(text, pos, key)) {
            ++pos;
            continue;
        }
        const std::size_t separator_end = key_assignment_end(text, pos, key);
        if (separator_end == std::string::npos) {
            pos += key.size();
            continue;
        }
        pos = redact_value_at(text, skip_space(text, separator_end));
    }
}

void redact_bearer_tokens(std::string& text) {
    std::size_t pos = 0;
    while (pos + 6 <= text.size()) {
        const std::size_t start = bearer_token_start(text, pos);
        if (start == std::string::npos) {
            ++pos;
            continue;
        }
        pos = redact_value_at(text, start);
    }
}

void redact_live_secret_keys(std::string& text) {
    std::size_t pos = 0;
    while (pos + 8 <= text.size()) {
        if (!matches_at(text, pos, "sk-live-")) {
            ++pos;
            continue;
        }
        text.replace(pos, value_end(text, pos) - pos, kMarker);
        pos += kMarker.size();
    }
}

}  // namespace

std::string redact_config_json(std::string_view text) {
    std::string out(text);
    for (std::string_view field : kRedactedFields) {
        const std::string needle = "\"" + std::string(field) + "\"";
        std::size_t pos = 0;
        while ((pos = out.find(needle, pos)) != std::string::npos) {
            const std::size_t after = pos + needle.size();
            std::size_t i = after;
            while (i < out.size() && is_json_space(out[i])) {
                ++i;
            }
            if (i >= out.size() || out[i] != ':') {
                pos = after;
                continue;
            }
            ++i;
            while (i < out.size() && is_json_space(out[i])) {
                ++i;
            }
            if (i >= out.size() || out[i] != '"') {
                pos = after;
                continue;
            }
            const std::size_t end = closing_quote(out, i + 1, '"');
            if (end >= out.size()) {
                return std::string(kUnparsableConfig);
            }
            out.replace(i + 1, end - i - 1, kMarker);
            pos = i + 1 + kMarker.size() + 1;
        }
    }
    return out;
}

std::string redact_paths_and_host(std::string_view text, std::string_view home_directory,
                                  std::string_view host_name) {
    std::string out(text);
    if (!host_name.empty()) {
        replace_all(out, host_name, kHostMarker);
    }
    // "/home/alice/" must also hide a bare "/home/alice"; a home of "/" names nobody.
    while (!home_directory.empty() && home_directory.back() == '/') {
        home_directory.remove_suffix(1);
    }
    if (!home_directory.empty()) {
        replace_all(out, home_directory, kHomeMarker);
    }
    return out;
}

std::string redact_sensitive_text(std::string_view text) {
    std::string out(text);
    redact_rtmp_urls(out);
    for (std::string_view key : kSecretKeyNames) {
        redact_key_values(out, key);
    }
    redact_bearer_tokens(out);
    redact_live_secret_keys(out);
    return out;
}

}  // namespace ryvoobs
