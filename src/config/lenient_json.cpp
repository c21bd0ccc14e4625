#include "config/lenient_json.h"

#include <cmath>
#include <limits>
#include <string>
#include <string_view>

namespace ryvoobs {
namespace {

using Limits = std::numeric_limits<std::int64_t>;

bool is_c_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Skips leading white space and an optional sign; returns whether the sign was a minus.
bool skip_space_and_sign(std::string_view& text) {
    while (!text.empty() && is_c_space(text.front())) {
        text.remove_prefix(1);
    }
    bool negative = !text.empty() && text.front() == '-';
    if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
        text.remove_prefix(1);
    }
    return negative;
}

bool string_truth_value(std::string_view text) {
    skip_space_and_sign(text);
    while (!text.empty() && text.front() == '0') {
        text.remove_prefix(1);
    }
    return !text.empty() &&
           std::string_view("YyTt123456789").find(text.front()) != std::string_view::npos;
}

std::int64_t leading_integer(std::string_view text) {
    bool negative = skip_space_and_sign(text);
    // Accumulating towards the sign's end of the range lets the minimum be reached exactly.
    std::int64_t result = 0;
    for (; !text.empty() && text.front() >= '0' && text.front() <= '9'; text.remove_prefix(1)) {
        int digit = text.front() - '0';
        if (negative) {
            if (result < (Limits::min() + digit) / 10) {
                return Limits::min();
            }
            result = result * 10 - digit;
        } else {
            if (result > (Limits::max() - digit) / 10) {
                return Limits::max();
            }
            result = result * 10 + digit;
        }
    }
    return result;
}

std::int64_t saturated_integer(double number) {
    // 2^63 is exactly representable; every double below it and at or above -2^63 converts safely.
    constexpr double kBound = 9223372036854775808.0;
    double truncated = std::trunc(number);
    if (std::isnan(truncated)) {
        return 0;
    }
    if (truncated >= kBound) {
        return Limits::max();
    }
    if (truncated < -kBound) {
        return Limits::min();
    }
    return static_cast<std::int64_t>(truncated);
}

}  // namespace

std::optional<bool> lenient_truth_value(const nlohmann::json& value) {
    switch (value.type()) {
        case nlohmann::json::value_t::boolean:
            return value.get<bool>();
        case nlohmann::json::value_t::number_integer:
            return value.get<std::int64_t>() != 0;
        case nlohmann::json::value_t::number_unsigned:
            return value.get<std::uint64_t>() != 0;
        case nlohmann::json::value_t::number_float:
            return value.get<double>() != 0.0;
        case nlohmann::json::value_t::string:
            return string_truth_value(value.get_ref<const std::string&>());
        default:
            return std::nullopt;
    }
}

std::optional<std::int64_t> lenient_integer_value(const nlohmann::json& value) {
    switch (value.type()) {
        case nlohmann::json::value_t::boolean:
            return value.get<bool>() ? 1 : 0;
        case nlohmann::json::value_t::number_integer:
            return value.get<std::int64_t>();
        case nlohmann::json::value_t::number_unsigned: {
            std::uint64_t number = value.get<std::uint64_t>();
            return number > static_cast<std::uint64_t>(Limits::max())
                       ? Limits::max()
                       : static_cast<std::int64_t>(number);
        }
        case nlohmann::json::value_t::number_float:
            return saturated_integer(value.get<double>());
        case nlohmann::json::value_t::string:
            return leading_integer(value.get_ref<const std::string&>());
        default:
            return std::nullopt;
    }
}

std::optional<std::int32_t> lenient_int32_value(const nlohmann::json& value) {
    std::optional<std::int64_t> number = lenient_integer_value(value);
    if (!number) {
        return std::nullopt;
    }
    using Limits32 = std::numeric_limits<std::int32_t>;
    if (*number > Limits32::max()) {
        return Limits32::max();
    }
    if (*number < Limits32::min()) {
        return Limits32::min();
    }
    return static_cast<std::int32_t>(*number);
}

}  // namespace ryvoobs
