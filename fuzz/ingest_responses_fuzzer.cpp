#include "api/ingest_requests.h"
#include "fuzz_support.h"

using namespace ryvoobs;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string body(reinterpret_cast<const char*>(data), size);
    parse_backfill_response(body);
    parse_error_code(body);
    return 0;
}
