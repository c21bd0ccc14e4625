#include "runtime/sequence_checkpoint.h"

#include <nlohmann/json.hpp>

#include "config/lenient_json.h"
#include "platform/file_system.h"
#include "platform/paths.h"

namespace ryvoobs {
namespace {

constexpr unsigned kStateFileMode = 0600;

void set_error(std::string* error, std::string text) {
    if (error != nullptr) {
        *error = std::move(text);
    }
}

std::string string_member(const nlohmann::json& object, const char* key) {
    const auto it = object.find(key);
    if (it == object.end() || !it->is_string()) {
        return {};
    }
    return it->get<std::string>();
}

}  // namespace

std::string default_state_path() {
    return application_support_root() + "/Ryvo/obs-plugin-state.json";
}

std::optional<SequenceCheckpointState> load_sequence_checkpoint(const std::string& path,
                                                                std::string* error) {
    const std::optional<std::string> text = read_whole_file(path, nullptr);
    if (!text) {
        set_error(error, "state file not found: " + path);
        return std::nullopt;
    }
    const nlohmann::json document = nlohmann::json::parse(*text, nullptr, false);
    if (document.is_discarded() || !document.is_object()) {
        set_error(error, "invalid state JSON");
        return std::nullopt;
    }
    const auto last = document.find("last_sequence");
    std::optional<std::int64_t> sequence;
    if (last != document.end()) {
        sequence = lenient_integer_value(*last);
    }
    if (!sequence) {
        set_error(error, "last_sequence missing");
        return std::nullopt;
    }
    SequenceCheckpointState state;
    state.stream_id = string_member(document, "stream_id");
    state.agent_id = string_member(document, "agent_id");
    state.last_sequence = *sequence;
    return state;
}

bool save_sequence_checkpoint(const std::string& path, const SequenceCheckpointState& state,
                              std::string* error) {
    const std::string directory = parent_directory(path);
    if (!directory.empty() && !create_directories(directory, nullptr)) {
        set_error(error, "failed to create state directory");
        return false;
    }
    nlohmann::json document = nlohmann::json::object();
    document["last_sequence"] = state.last_sequence;
    if (!state.stream_id.empty()) {
        document["stream_id"] = state.stream_id;
    }
    if (!state.agent_id.empty()) {
        document["agent_id"] = state.agent_id;
    }
    std::string text;
    try {
        // Strict UTF-8 handling: a stream ID that is not valid UTF-8 cannot be written as JSON.
        text = document.dump(2) + "\n";
    } catch (const nlohmann::json::exception&) {
        set_error(error, "failed to encode state JSON");
        return false;
    }
    if (!write_file_atomically(path, text, kStateFileMode, nullptr)) {
        set_error(error, "failed to write state file");
        return false;
    }
    return true;
}

}  // namespace ryvoobs
