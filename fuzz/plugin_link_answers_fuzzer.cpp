#include "fuzz_support.h"
#include "link/plugin_link_answers.h"

using namespace ryvoobs;

// Input: one byte choosing the request (start, poll, cancel) and whether the transport failed,
// two bytes of HTTP status, then the body.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) {
        return 0;
    }
    HttpResponse response;
    response.status_code = (data[1] << 8 | data[2]) % 600;
    response.ok = response.status_code >= 200 && response.status_code <= 299;
    if ((data[0] & 4) != 0) {
        response.ok = false;
        response.error = "connection reset";
    } else {
        response.body.assign(reinterpret_cast<const char*>(data + 3), size - 3);
    }
    std::string error = "untouched";
    bool succeeded = false;
    bool complete = true;
    if (data[0] % 3 == 0) {
        const auto link = read_start_answer(response, &error);
        succeeded = link.has_value();
        complete = !link || (!link->link_session_id.empty() && !link->verification_url.empty() &&
                             !link->poll_token.empty());
    } else if (data[0] % 3 == 1) {
        const auto poll = read_poll_answer(response, "https://ingest.invalid", &error);
        succeeded = poll.has_value();
        complete = !poll || !poll->status.empty();
    } else {
        succeeded = read_cancel_answer(response, &error);
    }
    // Success needs a 2xx answer, carries what the caller needs and clears the reason; a failure
    // always gives one.
    fuzz::require(complete && (succeeded ? response.ok && error.empty()
                                         : !error.empty() && error != "untouched"));
    return 0;
}
