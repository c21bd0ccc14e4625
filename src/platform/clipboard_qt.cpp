#include "platform/clipboard_qt.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QString>

namespace ryvoobs {

void copy_bundle_to_clipboard(std::string_view bundle) {
    // Qt's clipboard exists only inside a GUI application; asking for it elsewhere crashes.
    if (qobject_cast<QGuiApplication*>(QCoreApplication::instance()) == nullptr) {
        return;
    }
    QClipboard* clipboard = QGuiApplication::clipboard();
    if (clipboard == nullptr) {
        return;
    }
    clipboard->setText(QString::fromUtf8(bundle.data(), static_cast<qsizetype>(bundle.size())),
                       QClipboard::Clipboard);
}

}  // namespace ryvoobs
