#include "diagnostics/redaction.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

namespace ryvoobs {
namespace {

struct Case {
    const char* input;
    const char* expected;
};

constexpr char kUnparsable[] = "<unable to parse config JSON for redaction>";

TEST(RedactConfigJson, HidesOnlyStringValuesOfListedKeys) {
    const std::array<Case, 7> cases = {{
        {R"({"stream_id": "abc", "my_api_key": "x", "api_keys": "y"})",
         R"({"stream_id": "abc", "my_api_key": "x", "api_keys": "y"})"},
        {R"({"api_key": 5, "api_key_id": true, "portal_link_session_id": null,
             "portal_link_poll_token": {"a": "b"}, "portal_link_verification_code": ["c"]})",
         R"({"api_key": 5, "api_key_id": true, "portal_link_session_id": null,
             "portal_link_poll_token": {"a": "b"}, "portal_link_verification_code": ["c"]})"},
        {R"({"api_key": "a\"b\\", "x": 1})", R"({"api_key": "<redacted>", "x": 1})"},
        {R"({"api_key":""})", R"({"api_key":"<redacted>"})"},
        {"{\"api_key\" :\t\"a\",\n \"api_key\"\r\n:  \"b\"}",
         "{\"api_key\" :\t\"<redacted>\",\n \"api_key\"\r\n:  \"<redacted>\"}"},
        // The key's name as another member's value is not a key.
        {R"({"stream_id": "api_key", "api_key": "s"})",
         R"({"stream_id": "api_key", "api_key": "<redacted>"})"},
        {R"({"api_key": "ok", "api_key_id": "open)", kUnparsable},
    }};
    for (const Case& c : cases) {
        EXPECT_EQ(redact_config_json(c.input), c.expected) << c.input;
    }
    EXPECT_EQ(redact_config_json(R"({"api_key": "ab\)"), kUnparsable);
}

TEST(RedactPathsAndHost, ReplacesHostThenHome) {
    struct PathCase {
        const char* text;
        const char* home;
        const char* host;
        const char* expected;
    };
    const std::array<PathCase, 6> cases = {{
        {"/home/alice/x on box", "", "", "/home/alice/x on box"},
        {"/home/alice/x on box, /home/alice", "/home/alice", "box",
         "/home/<user>/x on <host>, /home/<user>"},
        // The host inside the home path is replaced first, so the home path no longer matches.
        {"/home/box/x", "/home/box", "box", "/home/<host>/x"},
        {"aaa", "", "aa", "<host>a"},
        {"cd /home/alice; ls /home/alice/x", "/home/alice/", "",
         "cd /home/<user>; ls /home/<user>/x"},
        {"/etc/x", "/", "", "/etc/x"},
    }};
    for (const PathCase& c : cases) {
        EXPECT_EQ(redact_paths_and_host(c.text, c.home, c.host), c.expected) << c.text;
    }
}

TEST(RedactSensitiveText, Examples) {
    const std::vector<Case> cases = {
        {"url=rtmp://live.example.com/app/key123?x=1 then more", "url=rtmp://<redacted> then more"},
        {"RTMPS://a/b", "RTMPS://<redacted>"},
        {"(rtmp://h/k)", "(rtmp://<redacted>)"},
        {"api_key=abc123&x=1 next", "api_key=<redacted> next"},
        {R"({"apiKey": "abc"})", R"({"apiKey": "<redacted>"})"},
        {"Token: abc", "Token: <redacted>"},
        {R"(secret = 'a\'b' rest)", R"(secret = '<redacted>' rest)"},
        {"STREAM_KEY:\"unterminated", "STREAM_KEY:\"<redacted>"},
        {"my_token=abc tokens=abc token abc token= token=",
         "my_token=abc tokens=abc token abc token= token="},
        {"token=\"\" access_token=x", "token=\"\" access_token=<redacted>"},
        {"Authorization: Bearer abc.def", "Authorization: Bearer <redacted>"},
        {"Bearer\nabc xBearer abc _bearer abc 1bearer abc bearer",
         "Bearer\nabc xBearer abc _bearer abc 1bearer abc bearer"},
        {"key=sk-live-abc_123,rest", "key=<redacted>,rest"},
        // A value that is itself a secret leaves that secret to its own match.
        {"token: Bearer abc", "token: Bearer <redacted>"},
        {R"(Bearer "" x Bearer 'a\'b)", R"(Bearer "" x Bearer '<redacted>)"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(redact_sensitive_text(c.input), c.expected) << c.input;
    }
}

}  // namespace
}  // namespace ryvoobs
