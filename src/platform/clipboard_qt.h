#pragma once

#include <string_view>

namespace ryvoobs {

// Replaces the clipboard's content with the bundle as plain UTF-8 text. Does nothing without a
// running Qt GUI application; a failure is silent, since the bundle is also saved to a file.
void copy_bundle_to_clipboard(std::string_view bundle);

}  // namespace ryvoobs
