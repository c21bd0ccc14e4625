// The module boilerplate that libobs looks up in every loaded module: the module pointer, the API
// version, the description and the text lookup of the module's locale files.

#include <obs-module.h>

namespace {

obs_module_t* module_pointer = nullptr;
lookup_t* module_lookup = nullptr;

constexpr const char* kDefaultLocale = "en-US";

}  // namespace

extern "C" {

MODULE_EXPORT void obs_module_set_pointer(obs_module_t* module) {
    module_pointer = module;
}

obs_module_t* obs_current_module(void) {
    return module_pointer;
}

// The API version of the headers this build compiled against, so that libobs can refuse a module
// that is newer than itself.
MODULE_EXPORT uint32_t obs_module_ver(void) {
    return LIBOBS_API_VER;
}

MODULE_EXPORT const char* obs_module_description(void) {
#if defined(__APPLE__)
    return "Ryvo Networks Stream native macOS plugin";
#elif defined(_WIN32)
    return "Ryvo Networks Stream native Windows plugin";
#elif defined(__linux__)
    return "Ryvo Networks Stream native Linux plugin";
#else
#error "no module description for this platform"
#endif
}

MODULE_EXPORT void obs_module_set_locale(const char* locale) {
    if (module_lookup != nullptr) {
        text_lookup_destroy(module_lookup);
    }
    // The default locale's file fills in every key that the requested locale lacks.
    module_lookup = obs_module_load_locale(module_pointer, kDefaultLocale, locale);
}

MODULE_EXPORT void obs_module_free_locale(void) {
    text_lookup_destroy(module_lookup);
    module_lookup = nullptr;
}

const char* obs_module_text(const char* key) {
    const char* text = key;
    text_lookup_getstr(module_lookup, key, &text);
    return text;
}

MODULE_EXPORT bool obs_module_get_string(const char* key, const char** out) {
    return text_lookup_getstr(module_lookup, key, out);
}

}  // extern "C"
