// The module's text lookup, driven by real libobs loading the built module with its locale data.

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <malloc.h>
#include <obs.h>

namespace {

constexpr const char* kModulePath = RYVO_BINARY_DIR "/ryvo-obs.so";

// A locale without a file of its own reads the default texts; once libobs has freed the module's
// locale, every key reads as itself. The module itself stays mapped through this test's handle.
TEST(ModuleLocale, LookupsFollowTheLocaleAndStaySafeOnceItIsFreed) {
    // Freed memory gets overwritten, so that a lookup kept past its destruction shows up as wrong
    // texts instead of reading stale but intact data.
    mallopt(M_PERTURB, 0xa5);
    void* handle = dlopen(kModulePath, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << dlerror();
    const auto text =
        reinterpret_cast<const char* (*)(const char*)>(dlsym(handle, "obs_module_text"));
    const auto get_string = reinterpret_cast<bool (*)(const char*, const char**)>(
        dlsym(handle, "obs_module_get_string"));
    ASSERT_TRUE(text != nullptr && get_string != nullptr);
    // libobs opens the module the way OBS does at start-up, which hands it the module pointer
    // and the locale.
    ASSERT_TRUE(obs_startup("de-DE", nullptr, nullptr));
    obs_module_t* module = nullptr;
    ASSERT_EQ(obs_open_module(&module, kModulePath, RYVO_SOURCE_DIR "/data"), MODULE_SUCCESS);
    EXPECT_STREQ(text("RyvoObs.ServiceName"), "Ryvo Delayed Stream");
    EXPECT_STREQ(text("RyvoObs.NoSuchKey"), "RyvoObs.NoSuchKey");
    const char* out = nullptr;
    EXPECT_TRUE(get_string("RyvoObs.StatusTitle", &out));
    EXPECT_STREQ(out, "Ryvo Stream Status");

    obs_shutdown();
    EXPECT_STREQ(text("RyvoObs.ServiceName"), "RyvoObs.ServiceName");
    out = "untouched";
    EXPECT_FALSE(get_string("RyvoObs.ServiceName", &out));
    EXPECT_STREQ(out, "untouched");
    dlclose(handle);
}

}  // namespace
