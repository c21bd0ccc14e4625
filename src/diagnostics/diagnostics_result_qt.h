#pragma once

#include <string_view>

class QLabel;

namespace ryvoobs {

// Hands a finished bundle to the user: the clipboard first, so that it holds the bundle even when
// the Desktop file cannot be written, then the Desktop; the label (when not null) says where it
// went or why the file is missing.
void deliver_diagnostic_bundle(std::string_view bundle, QLabel* result_label);

}  // namespace ryvoobs
