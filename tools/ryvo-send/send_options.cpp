#include "send_options.h"

#include <charconv>
#include <string_view>
#include <utility>

namespace ryvoobs {
namespace {

void set_error(std::string* error, std::string text) {
    if (error != nullptr) {
        *error = std::move(text);
    }
}

std::optional<std::int32_t> parse_positive(std::string_view text) {
    std::int32_t value = 0;
    const auto [end, status] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (status != std::errc() || end != text.data() + text.size() || value < 1) {
        return std::nullopt;
    }
    return value;
}

// Reads the value of a flag given as "--flag value" or "--flag=value"; advances `index` past a
// separate value.
std::optional<std::string> take_value(std::span<const char* const> arguments, std::size_t& index,
                                      std::string_view flag,
                                      std::optional<std::string_view> inline_value,
                                      std::string* error) {
    if (inline_value) {
        return std::string(*inline_value);
    }
    if (index + 1 >= arguments.size()) {
        set_error(error, std::string(flag) + " needs a value");
        return std::nullopt;
    }
    ++index;
    return std::string(arguments[index]);
}

// `flag` is one that is_valued_flag() accepts.
bool apply_valued_flag(SendOptions& options, std::string_view flag, std::string value,
                       std::string* error) {
    if (flag == "--config") {
        options.config_path = std::move(value);
    } else if (flag == "--state") {
        options.state_path = std::move(value);
    } else if (flag == "--endpoint") {
        options.endpoint = std::move(value);
    } else if (flag == "--stream-id") {
        options.stream_id = std::move(value);
    } else if (flag == "--api-key") {
        options.api_key = std::move(value);
    } else if (flag == "--agent") {
        options.agent = std::move(value);
    } else {
        const std::optional<std::int32_t> number = parse_positive(value);
        if (!number) {
            set_error(error, std::string(flag) + " needs a whole number of at least 1, not '" +
                                 value + "'");
            return false;
        }
        if (flag == "--loop") {
            options.loops = *number;
        } else {
            options.segment_ms = *number;
        }
    }
    return true;
}

bool is_valued_flag(std::string_view flag) {
    return flag == "--config" || flag == "--state" || flag == "--endpoint" ||
           flag == "--stream-id" || flag == "--api-key" || flag == "--agent" ||
           flag == "--segment-ms" || flag == "--loop";
}

bool is_boolean_flag(std::string_view flag) {
    return flag == "--fast" || flag == "--quiet" || flag == "-q" || flag == "--status-json" ||
           flag == "--help" || flag == "-h";
}

void apply_boolean_flag(SendOptions& options, std::string_view flag) {
    if (flag == "--fast") {
        options.fast = true;
    } else if (flag == "--quiet" || flag == "-q") {
        options.quiet = true;
    } else if (flag == "--status-json") {
        options.status_json = true;
    } else {
        options.help = true;
    }
}

}  // namespace

bool SendOptions::overrides_configuration() const {
    return endpoint || stream_id || api_key || segment_ms || agent;
}

std::optional<SendOptions> parse_send_options(std::span<const char* const> arguments,
                                              const char* env_api_key, std::string* error) {
    SendOptions options;
    std::optional<std::string> media_path;
    bool options_ended = false;
    for (std::size_t index = 0; index < arguments.size(); ++index) {
        const std::string_view argument = arguments[index];
        const bool is_flag = !options_ended && argument.size() > 1 && argument.front() == '-';
        if (!is_flag) {
            if (media_path) {
                set_error(error, "only one media file can be sent at a time");
                return std::nullopt;
            }
            media_path = std::string(argument);
            continue;
        }
        if (argument == "--") {
            options_ended = true;
            continue;
        }
        std::string_view flag = argument;
        std::optional<std::string_view> inline_value;
        if (const auto equals = argument.find('='); equals != std::string_view::npos) {
            flag = argument.substr(0, equals);
            inline_value = argument.substr(equals + 1);
        }
        if (is_boolean_flag(flag)) {
            if (inline_value) {
                set_error(error, std::string(flag) + " takes no value");
                return std::nullopt;
            }
            apply_boolean_flag(options, flag);
            continue;
        }
        if (!is_valued_flag(flag)) {
            set_error(error, "unknown option " + std::string(flag));
            return std::nullopt;
        }
        std::optional<std::string> value = take_value(arguments, index, flag, inline_value, error);
        if (!value || !apply_valued_flag(options, flag, std::move(*value), error)) {
            return std::nullopt;
        }
    }
    if (options.help) {
        return options;
    }
    if (!media_path) {
        set_error(error, "no media file given");
        return std::nullopt;
    }
    options.media_path = std::move(*media_path);
    if (!options.api_key && env_api_key != nullptr && env_api_key[0] != '\0') {
        options.api_key = std::string(env_api_key);
    }
    return options;
}

}  // namespace ryvoobs
