#include "capture/service_backup_rules.h"

#include <gtest/gtest.h>

namespace ryvoobs {
namespace {

PluginConfig backed_up(const std::string& profile) {
    PluginConfig config;
    apply_service_backup({"rtmp_custom", profile, R"({"server":"rtmp://a"})", ""}, &config);
    return config;
}

TEST(ServiceRestorePlan, RecreatesOnlyABackupOfTheCurrentProfile) {
    EXPECT_EQ(plan_service_restore(std::nullopt, "", "A").refusal, "Ryvo config is unavailable");
    EXPECT_EQ(plan_service_restore(std::nullopt, "config file not found: /x", "A").refusal,
              "config file not found: /x");
    EXPECT_EQ(plan_service_restore(backed_up(""), "", "A").refusal,
              "saved service predates profile-aware backups; select the intended OBS service once "
              "in this profile");
    EXPECT_EQ(plan_service_restore(backed_up("A"), "", "B").refusal,
              "saved service belongs to OBS profile 'A', not current profile 'B'");
    EXPECT_EQ(plan_service_restore(backed_up("A"), "", "").refusal,
              "saved service belongs to OBS profile 'A', not current profile 'unknown'");

    PluginConfig without_id = backed_up("A");
    without_id.previous_service_id.clear();
    const ServiceRestorePlan nothing = plan_service_restore(without_id, "", "A");
    EXPECT_FALSE(nothing.recreate);
    EXPECT_EQ(nothing.refusal, "no previous OBS streaming service backup was saved");

    const ServiceRestorePlan same = plan_service_restore(backed_up("A"), "", "A");
    EXPECT_TRUE(same.recreate);
    EXPECT_EQ(same.refusal, "");
}

}  // namespace
}  // namespace ryvoobs
