#include "dock/localized_text_qt.h"

#include <obs-module.h>

#include <cstring>

namespace ryvoobs {

std::string localized_text_utf8(const char* key, const char* fallback) {
    const char* text = obs_module_text(key);
    if (text == nullptr || *text == '\0' || std::strcmp(text, key) == 0) {
        return fallback;
    }
    return text;
}

QString localized_text_qstring(const char* key, const char* fallback) {
    return QString::fromStdString(localized_text_utf8(key, fallback));
}

}  // namespace ryvoobs
