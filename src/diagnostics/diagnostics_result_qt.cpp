#include "diagnostics/diagnostics_result_qt.h"

#include <QLabel>
#include <QString>
#include <string>

#include "diagnostics/bundle_to_desktop.h"
#include "platform/clipboard_qt.h"

namespace ryvoobs {

void deliver_diagnostic_bundle(std::string_view bundle, QLabel* result_label) {
    copy_bundle_to_clipboard(bundle);
    std::string path;
    std::string error;
    const bool saved = write_bundle_to_desktop(bundle, &path, &error);
    if (result_label == nullptr) {
        return;
    }
    if (saved) {
        result_label->setStyleSheet(
            "QLabel { color: #9ed6b3; font-size: 11px; font-weight: 600; }");
        result_label->setText("Copied to clipboard. Saved to " + QString::fromStdString(path));
    } else {
        result_label->setStyleSheet(
            "QLabel { color: #ffcc8a; font-size: 11px; font-weight: 600; }");
        result_label->setText("Copied to clipboard. " + QString::fromStdString(error));
    }
}

}  // namespace ryvoobs
