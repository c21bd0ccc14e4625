#include "config/config_file.h"

#include "config/config_store.h"
#include "config/plugin_config.h"

#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <limits>
#include <thread>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "isolated_home.h"
#include "platform/file_system.h"

namespace ryvoobs {
namespace {

class ConfigFileTest : public ::testing::Test {
  protected:
    void write(const std::string& text) { std::ofstream(path_, std::ios::binary) << text; }
    std::string contents() const { return read_whole_file(path_, nullptr).value_or(""); }
    std::optional<PluginConfig> read(const std::string& text) {
        write(text);
        error_.clear();
        return read_config_file(path_, &error_);
    }

    testing::IsolatedHome home_;
    // Away from the default path, so that no credential store is involved.
    std::string path_ = home_.file("obs-plugin.json");
    std::string error_;
};

TEST_F(ConfigFileTest, AbsentMembersTakeTheDefaultsAndUnknownOnesAreIgnored) {
    EXPECT_EQ(read("{}"), PluginConfig{});
    EXPECT_EQ(read(R"({"future_setting": [1, 2], "stream_id": 42, "auth_mode": 1})"),
              PluginConfig{});
    EXPECT_EQ(read(R"({"stream_id": " \"abc-123\", "})")->stream_id, "abc-123");
    EXPECT_EQ(default_config_path(), home_.file(".config/Ryvo/obs-plugin.json"));
}

TEST_F(ConfigFileTest, EnabledAcceptsAnythingWithATruthValue) {
    const std::pair<const char*, bool> cases[] = {
        {"false", false},  {"0.0", false},     {"0.5", true},      {"\" \\t+007\"", true},
        {"\"-0\"", false}, {"\"no\"", false},  {"\"+-1\"", false}, {"null", true},
        {"{}", true},      {"\"000T\"", true}, {"-2", true},
    };
    for (auto [value, expected] : cases) {
        auto config = read(std::string(R"({"enabled": )") + value + "}");
        ASSERT_TRUE(config) << value;
        EXPECT_EQ(config->enabled, expected) << value;
    }
}

TEST_F(ConfigFileTest, IntegersAreReadLooselyAndSaturateAtThe32BitLimits) {
    constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
    constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();
    const std::pair<const char*, std::int32_t> cases[] = {
        {"\"1500\"", 1500},  {"-2.9", -2},
        {"[3]", 2000},       {"true", 1},
        {"\" -12ms\"", -12}, {"4294967297", kMax},
        {"-1e300", kMin},    {"\"-9223372036854775809\"", kMin},
    };
    for (auto [value, expected] : cases) {
        auto config = read(std::string(R"({"segment_duration_ms": )") + value + "}");
        ASSERT_TRUE(config) << value;
        EXPECT_EQ(config->segment_duration_ms, expected) << value;
    }
}

TEST_F(ConfigFileTest, FailuresCarryTheirReasonAndTheFirstBadModeWins) {
    const std::pair<const char*, const char*> cases[] = {
        {"[]", "invalid config JSON"},
        {"{\"stream_id\": \"\xff\"}", "invalid config JSON"},
        {R"({"runtime_mode": "Full", "auth_mode": "Portal"})",
         "auth_mode must be manual or portal"},
        {R"({"runtime_mode": "fast", "capture_mode": "x"})",
         "runtime_mode must be tap_only, runtime_only, or full"},
        {R"({"capture_mode": " either"})", "capture_mode must be streaming, recording, or either"},
    };
    for (auto [text, expected] : cases) {
        EXPECT_FALSE(read(text)) << text;
        EXPECT_EQ(error_, expected) << text;
    }
    std::filesystem::remove(path_);
    EXPECT_FALSE(read_config_file(path_, &error_));
    EXPECT_EQ(error_, "config file not found: " + path_);
    EXPECT_FALSE(load_config_file(path_, nullptr));

    write("{}");
    error_ = "untouched";
    EXPECT_TRUE(read_config_file(path_, &error_));
    EXPECT_TRUE(load_config_file(path_, &error_));
    EXPECT_EQ(error_, "untouched");
}

TEST_F(ConfigFileTest, PortalInstallsUseTheBuiltInEndpointAndNeverTapRecordingAlone) {
    const auto read_modes = [&](const std::string& auth, const std::string& capture) {
        return read(R"({"api_endpoint": "https://other.example", "auth_mode": ")" + auth +
                    R"(", "capture_mode": ")" + capture + "\"}")
            .value();
    };
    EXPECT_EQ(read_modes("portal", "recording").capture_mode, CaptureMode::streaming);
    EXPECT_EQ(read_modes("portal", "either").capture_mode, CaptureMode::either);
    EXPECT_EQ(read_modes("portal", "either").api_endpoint, kDefaultApiEndpoint);
    const PluginConfig manual = read_modes("manual", "recording");
    EXPECT_EQ(manual.capture_mode, CaptureMode::recording);
    EXPECT_EQ(manual.api_endpoint, "https://other.example");
}

PluginConfig every_field_set() {
    PluginConfig config;
    config.enabled = false;
    config.auth_mode = AuthMode::manual;
    config.stream_id = "stream-7";
    config.selected_stream_name = "Main \"stage\" / night";
    config.linked_account_email = "a@example.com";
    config.linked_account_name = "Änne";
    config.portal_link_session_id = "s";
    config.portal_link_verification_code = "ABCD-1234";
    config.portal_link_verification_url = "https://example.com/link";
    config.portal_link_poll_token = "p";
    config.portal_link_expires_at = "2026-12-06T10:00:00Z";
    config.api_key = "key-1";
    config.api_key_id = "kid";
    config.api_endpoint = "https://other.example";
    config.agent_id = "backup";
    config.previous_service_id = "rtmp_common";
    config.previous_service_profile = "Untitled";
    config.previous_service_settings_json = R"({"key":"x\ny"})";
    config.previous_service_hotkeys_json = "{}";
    config.runtime_mode = RuntimeMode::full;
    config.capture_mode = CaptureMode::recording;
    config.segment_duration_ms = 1500;
    config.ram_buffer_minutes = 15;
    config.estimated_bitrate_kbps = -1;
    return config;
}

TEST_F(ConfigFileTest, SaveWritesAnOwnerOnlyFileThatReadsBackTheSame) {
    std::string nested = home_.file("new/dirs/obs-plugin.json");
    PluginConfig config = every_field_set();
    config.stream_id = "[stream-7];";
    ASSERT_TRUE(save_config_file(nested, config, &error_)) << error_;
    EXPECT_EQ(read_config_file(nested, nullptr), every_field_set());

    // A file left readable by others is replaced by an owner-only one.
    write("{}");
    chmod(path_.c_str(), 0644);
    PluginConfig portal;
    portal.stream_id = "s";
    portal.api_key = "key-in-file";
    ASSERT_TRUE(save_config_file(path_, portal, &error_)) << error_;
    struct stat info {};
    ASSERT_EQ(stat(path_.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    std::string text = contents();
    EXPECT_EQ(text.back(), '\n');
    auto json = nlohmann::json::parse(text);
    EXPECT_EQ(json.size(), 24u);
    EXPECT_EQ(json["api_key"], "key-in-file") << "away from the default path the key stays";
}

TEST_F(ConfigFileTest, SaveWarnsAboutABrokenRuleButLoadRefusesIt) {
    PluginConfig config;
    config.ram_buffer_minutes = 0;
    EXPECT_TRUE(save_config_file(path_, config, &error_));
    EXPECT_EQ(error_, "ram_buffer_minutes must be between 1 and 15");
    error_.clear();
    EXPECT_FALSE(load_config_file(path_, &error_));
    EXPECT_EQ(error_, "ram_buffer_minutes must be between 1 and 15");
    EXPECT_TRUE(read_config_file(path_, nullptr));
}

TEST_F(ConfigFileTest, FailedSaveSaysWhyAndLeavesTheOldFile) {
    write("old");
    PluginConfig config;
    config.linked_account_name = "\xc3";  // cut-off UTF-8
    EXPECT_FALSE(save_config_file(path_, config, &error_));
    EXPECT_EQ(error_, "failed to encode config JSON");
    EXPECT_EQ(contents(), "old");

    EXPECT_FALSE(save_config_file(path_ + "/obs-plugin.json", PluginConfig{}, &error_));
    EXPECT_EQ(error_, "failed to create config directory: Not a directory");
    EXPECT_FALSE(save_config_file(home_.path(), PluginConfig{}, &error_));
    EXPECT_EQ(error_, "failed to write config file: Is a directory");
    EXPECT_EQ(contents(), "old");
}

TEST_F(ConfigFileTest, TheStoreSavesOnlyOverAVersionItCouldRead) {
    ConfigStore store([this] { return path_; }, KeyStorage::in_file);
    ConfigReading reading = store.read();
    ASSERT_EQ(reading.state, ConfigReading::State::missing);
    PluginConfig config = reading.config;
    config.stream_id = "stream-1";
    ASSERT_TRUE(store.save(config, reading.generation, &error_)) << error_;
    EXPECT_EQ(store.read().config, config);

    // Another writer's version is taken in; a save over the one read before it is refused. OBS's
    // UI thread, looking through current(), is answered with the version before while the new
    // one is read elsewhere.
    std::filesystem::remove(path_);
    write(R"({"stream_id": "theirs"})");
    const std::uint64_t stale = reading.generation;
    EXPECT_EQ(store.current().config.stream_id, "stream-1");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (store.current().config.stream_id != "theirs" &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    reading = store.current();
    EXPECT_EQ(reading.config.stream_id, "theirs");
    EXPECT_FALSE(store.save(config, stale, &error_));
    EXPECT_EQ(error_, "The Ryvo settings changed meanwhile; try again");
    EXPECT_EQ(contents(), R"({"stream_id": "theirs"})");

    write(R"({"auth_mode": "Portal"})");
    reading = store.read();
    ASSERT_FALSE(reading.readable());
    const std::string reason = "auth_mode must be manual or portal";
    EXPECT_EQ(reading.unreadable_message(), "Could not read the Ryvo settings: " + reason);
    EXPECT_FALSE(store.load(&error_));
    EXPECT_EQ(error_, reason);
    EXPECT_FALSE(store.save(PluginConfig{}, reading.generation, &error_));
    EXPECT_EQ(error_, reading.unreadable_message());
}

using Messages = std::vector<std::string>;
constexpr const char* kRamRule = "ram_buffer_minutes must be between 1 and 15";
constexpr const char* kPortalRule = "portal mode requires both stream_id and api_key when linked";

TEST(PluginConfigValidate, ReportsEveryBrokenRuleInRuleOrderAndCredentialsOnlyWhenEnabled) {
    PluginConfig config;
    EXPECT_TRUE(config.validate().empty());
    config.auth_mode = AuthMode::manual;
    config.segment_duration_ms = 0;
    config.ram_buffer_minutes = 0;
    config.agent_id = "Primary";
    EXPECT_EQ(config.validate(), (Messages{"stream_id is required", "api_key is required",
                                           "segment_duration_ms must be positive", kRamRule,
                                           "agent_id must be primary or backup"}));
    config = PluginConfig{};
    config.enabled = false;
    config.auth_mode = AuthMode::manual;
    EXPECT_TRUE(config.validate().empty());
}

TEST(PluginConfigValidate, PortalNeedsBothOrNeitherCredentialAndTheBufferBoundsAreInclusive) {
    PluginConfig config;
    config.stream_id = "abc";
    EXPECT_EQ(config.validate(), Messages{kPortalRule});
    config.stream_id.clear();
    config.api_key = "key";
    EXPECT_EQ(config.validate(), Messages{kPortalRule});
    config.stream_id = "abc";
    for (const auto& [minutes, expected] :
         {std::pair{1, Messages{}}, {15, Messages{}}, {16, Messages{kRamRule}}}) {
        config.ram_buffer_minutes = minutes;
        EXPECT_EQ(config.validate(), expected) << minutes;
    }
}

TEST(PluginConfigValidate, PlainHttpEndpointOnlyToThisMachine) {
    const auto messages = [](const char* endpoint) {
        PluginConfig config;
        config.auth_mode = AuthMode::manual;
        config.stream_id = "s";
        config.api_key = "k";
        config.api_endpoint = endpoint;
        return config.validate();
    };
    for (const char* local : {"HTTPS://ingest.invalid", "http://127.255.0.9/path?q#f",
                              "http://[0:0:0:0:0:0:0:1]", "HTTP://LocalHost"}) {
        EXPECT_EQ(messages(local), Messages{}) << local;
    }
    for (const char* remote :
         {"Http://ingest.invalid:80", "http://128.0.0.1", "http://localhost.ingest.invalid",
          "http://127.1", "http://[::2]", "http://[::1", "http://127.0.0.1@ingest.invalid",
          "http://ingest.invalid\\@127.0.0.1", "http://127.0.0.1:80x", "http:ingest.invalid"}) {
        EXPECT_EQ(messages(remote), Messages{kClearTextEndpointMessage}) << remote;
    }
    // Not this rule's business: the HTTP layer refuses what it cannot use.
    EXPECT_FALSE(sends_key_in_clear_text("ftp://ingest.invalid"));
}

TEST(NormalizeStreamId, StripsPastingDebrisButNothingInside) {
    for (const auto& [pasted, id] : {std::pair{"'{abc}'", "abc"},
                                     {"a b", "a b"},
                                     {"(((", ""},
                                     {"Id.With.Dots.", "Id.With.Dots"}}) {
        EXPECT_EQ(normalize_stream_id(pasted), id) << pasted;
    }
}

}  // namespace
}  // namespace ryvoobs
