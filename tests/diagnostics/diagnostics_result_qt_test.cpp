#include "diagnostics/diagnostics_result_qt.h"

#include <gtest/gtest.h>
#include <QApplication>
#include <QClipboard>
#include <QLabel>

#include <filesystem>
#include <fstream>
#include <string>

#include "isolated_home.h"

namespace ryvoobs {
namespace {

class DiagnosticsResult : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        static int argc = 1;
        static char name[] = "diagnostics_result_qt_test";
        static char* argv[] = {name, nullptr};
        static QApplication application(argc, argv);
    }
};

TEST_F(DiagnosticsResult, ClipboardHoldsTheBundleEvenWhenTheDesktopFileFails) {
    testing::IsolatedHome home;
    QLabel label;
    const std::string bundle = "# Ryvo OBS diagnostic bundle\n\u2014\n";

    std::ofstream(home.file("Desktop")) << "not a folder";
    deliver_diagnostic_bundle(bundle, &label);
    EXPECT_EQ(QApplication::clipboard()->text().toStdString(), bundle);
    EXPECT_EQ(label.text().toStdString(),
              "Copied to clipboard. Could not write diagnostic bundle: Not a directory");
    EXPECT_EQ(label.styleSheet().toStdString(),
              "QLabel { color: #ffcc8a; font-size: 11px; font-weight: 600; }");

    std::filesystem::remove(home.file("Desktop"));
    QApplication::clipboard()->clear();
    deliver_diagnostic_bundle(bundle, &label);
    EXPECT_EQ(QApplication::clipboard()->text().toStdString(), bundle);
    const std::string saved = "Copied to clipboard. Saved to ";
    const std::string text = label.text().toStdString();
    ASSERT_TRUE(text.starts_with(saved + home.file("Desktop/ryvo-diagnostics-"))) << text;
    EXPECT_TRUE(std::filesystem::is_regular_file(text.substr(saved.size())));
    EXPECT_EQ(label.styleSheet().toStdString(),
              "QLabel { color: #9ed6b3; font-size: 11px; font-weight: 600; }");
    deliver_diagnostic_bundle(bundle, nullptr);
}

}  // namespace
}  // namespace ryvoobs
