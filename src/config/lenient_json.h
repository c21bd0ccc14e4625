#pragma once

#include <cstdint>
#include <optional>

#include <nlohmann/json.hpp>

namespace ryvoobs {

// Hand-edited settings files carry "1", 1.0 or "yes" where a boolean or an integer belongs; these
// read such values the way a loosely typed settings reader would instead of rejecting them.

// true and false as they are; a number is true when non-zero; a string is true when, after
// leading white space, an optional sign and leading zeros, it begins with Y, y, T, t or a digit
// 1 to 9. Null, arrays and objects have no truth value.
std::optional<bool> lenient_truth_value(const nlohmann::json& value);

// A number with its fraction dropped; true and false as 1 and 0; a string as the integer at its
// start after white space and an optional sign, or 0. Values beyond the 64-bit range saturate at
// its ends. Null, arrays and objects have no integer value.
std::optional<std::int64_t> lenient_integer_value(const nlohmann::json& value);

// The same, saturated to the 32-bit range.
std::optional<std::int32_t> lenient_int32_value(const nlohmann::json& value);

}  // namespace ryvoobs
