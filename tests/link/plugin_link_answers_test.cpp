#include "link/plugin_link_answers.h"

#include <gtest/gtest.h>

#include <string>

namespace ryvoobs {
namespace {

HttpResponse answer(std::int64_t status, std::string body) {
    HttpResponse response;
    response.status_code = status;
    response.ok = status >= 200 && status <= 299;
    response.body = std::move(body);
    return response;
}

// Found by fuzzing: a refusal whose "error" was an empty string failed every request without a
// reason, leaving the dock nothing to show.
TEST(PluginLinkAnswers, ARefusalWithAnEmptyErrorStillGivesAReason) {
    const std::string body = R"({"error":""})";
    std::string error = "stale";
    EXPECT_FALSE(read_poll_answer(answer(401, body), "https://ingest.invalid", &error));
    EXPECT_EQ(error, body);
    error = "stale";
    EXPECT_FALSE(read_start_answer(answer(503, body), &error));
    EXPECT_EQ(error, body);
    error = "stale";
    EXPECT_FALSE(read_cancel_answer(answer(409, body), &error));
    EXPECT_EQ(error, body);
}

}  // namespace
}  // namespace ryvoobs
