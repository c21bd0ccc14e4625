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

// A backup saved before backups named their profile is bound to the current profile only when
// that profile's service is exactly the one saved: any one difference leaves it unbound.
TEST(LegacyServiceBackup, BindsOnlyToTheSameServiceInANamedProfile) {
    PluginConfig legacy = backed_up("");
    legacy.previous_service_hotkeys_json = R"({"hk":1})";
    const ServiceBackupSnapshot same{"rtmp_custom", "A", R"({"server":"rtmp://a"})", R"({"hk":1})"};
    EXPECT_TRUE(legacy_backup_binds_to(legacy, same, false));

    ServiceBackupSnapshot other_id = same;
    other_id.id = "rtmp_common";
    ServiceBackupSnapshot other_settings = same;
    other_settings.settings_json = R"({"server":"rtmp://b"})";
    ServiceBackupSnapshot other_hotkeys = same;
    other_hotkeys.hotkeys_json = "{}";
    ServiceBackupSnapshot no_profile = same;
    no_profile.profile.clear();
    for (const ServiceBackupSnapshot& current :
         {other_id, other_settings, other_hotkeys, no_profile}) {
        EXPECT_FALSE(legacy_backup_binds_to(legacy, current, false)) << current.profile;
    }
    EXPECT_FALSE(legacy_backup_binds_to(legacy, same, true)) << "the current service is Ryvo's";
    EXPECT_FALSE(legacy_backup_binds_to(backed_up("A"), same, false)) << "already bound";
}

}  // namespace
}  // namespace ryvoobs
