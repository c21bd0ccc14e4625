#pragma once

#include <QString>

#include <string>

namespace ryvoobs {

// The module's translation of `key`, or `fallback` when OBS has none: its lookup answers a
// missing key with the key itself.
std::string localized_text_utf8(const char* key, const char* fallback);
QString localized_text_qstring(const char* key, const char* fallback);

}  // namespace ryvoobs
