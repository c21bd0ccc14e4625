#include "runtime/sha256.h"

#include <gtest/gtest.h>

#include <string_view>

namespace ryvoobs {
namespace {

std::vector<std::uint8_t> bytes_of(std::string_view text) {
    return {text.begin(), text.end()};
}

TEST(Sha256Hex, MatchesStandardVectorsInLowerCase) {
    EXPECT_EQ(sha256_hex(bytes_of("")),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(sha256_hex(bytes_of("abc")),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(sha256_hex(bytes_of("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(sha256_hex(std::vector<std::uint8_t>(1'000'000, 'a')),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(Sha256Hex, SpanOverloadDigestsOnlyTheViewedRange) {
    const auto text = bytes_of("xabcx");
    EXPECT_EQ(sha256_hex(std::span<const std::uint8_t>(text).subspan(1, 3)),
              sha256_hex(bytes_of("abc")));
}

}  // namespace
}  // namespace ryvoobs
