#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "link/plugin_link_answers.h"

using namespace ryvoobs;

namespace {

void require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

}  // namespace

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
    const std::string endpoint = "https://ingest.invalid";
    std::string error = "untouched";
    bool succeeded = false;
    switch (data[0] % 3) {
        case 0:
            if (const auto link = read_start_answer(response, &error)) {
                require(!link->link_session_id.empty() && !link->verification_url.empty() &&
                        !link->poll_token.empty());
                succeeded = true;
            }
            break;
        case 1:
            if (const auto poll = read_poll_answer(response, endpoint, &error)) {
                require(!poll->status.empty());
                succeeded = true;
            }
            break;
        default:
            succeeded = read_cancel_answer(response, &error);
            break;
    }
    // Success needs a 2xx answer and clears the reason; a failure always gives one.
    require(succeeded ? response.ok && error.empty() : !error.empty() && error != "untouched");
    return 0;
}
