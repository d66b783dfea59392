// The debug log window on the offscreen platform.

#include "ui/debug.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QPlainTextEdit>
#include <QTextBlock>

#include <fstream>
#include <sstream>

#include "support/tempdir.h"

namespace {

struct TFragment {
    std::string text;
    TColor color;
};

// The runs of one line, once the log has been drawn: text and colour of each.
std::vector<std::pair<QString, QColor>> runs(TDebugDlg& dlg, int line) {
    QApplication::processEvents();
    std::vector<std::pair<QString, QColor>> out;
    const QTextBlock block = dlg.debugLog->document()->findBlockByNumber(line);
    for (auto it = block.begin(); !it.atEnd(); ++it)
        out.emplace_back(it.fragment().text(), it.fragment().charFormat().foreground().color());
    return out;
}

}  // namespace

TEST(DebugDlg, CarriageReturnsStartLinesAndOtherFragmentsExtendTheLast) {
    struct TCase {
        const char* what;
        std::vector<std::string> fragments;
        QStringList lines;
    };
    const std::vector<TCase> cases = {
        {"nothing", {}, {}},
        {"an empty fragment", {""}, {}},
        {"fragments collect on one line", {"ab", "cd"}, {"abcd"}},
        {"the expect line stands on its own",
         {"Man", "\rExpect: Hello>\r", "Hel", "lo>"},
         {"Man", "", "Expect: Hello>", "Hello>"}},
        {"a first fragment with returns", {"\rExpect: bye\r"}, {"", "Expect: bye", ""}},
        {"line feeds are not drawn", {"a=01", "\r", "\n", "b=02"}, {"a=01", "", "b=02"}},
        {"one byte, one character", {std::string("\xe9\x01", 2)}, {QString("\u00e9\u0001")}},
    };
    for (const TCase& c : cases) {
        TDebugDlg dlg;
        for (const auto& f : c.fragments) dlg.appendText(f, sentColor);
        EXPECT_EQ(dlg.lines(), c.lines) << c.what;
    }
}

TEST(DebugDlg, EachFragmentKeepsItsOwnColour) {
    TDebugDlg dlg;
    EXPECT_EQ(dlg.sentColor, (TColor{255, 0, 0}));
    EXPECT_EQ(dlg.receivedColor, (TColor{0, 0, 255}));
    EXPECT_EQ(dlg.expectedColor, (TColor{0, 128, 0}));
    dlg.appendText("mdV", dlg.sentColor);
    dlg.appendText("\rExpect: \n\r", dlg.expectedColor);
    dlg.appendText("1", dlg.receivedColor);
    dlg.appendText("mcd", dlg.sentColor);
    const auto red = QColor(255, 0, 0), green = QColor(0, 128, 0), blue = QColor(0, 0, 255);
    EXPECT_EQ(runs(dlg, 0), (std::vector<std::pair<QString, QColor>>{{"mdV", red}}));
    EXPECT_EQ(runs(dlg, 2), (std::vector<std::pair<QString, QColor>>{{"Expect: ", green}}));
    EXPECT_EQ(runs(dlg, 3), (std::vector<std::pair<QString, QColor>>{{"1", blue}, {"mcd", red}}));
}

TEST(DebugDlg, ALineStartLetsTheGuiHandleItsEventsAndAnExtensionDoesNot) {
    TDebugDlg dlg;
    int handled = 0;
    QMetaObject::invokeMethod(&dlg, [&] { ++handled; }, Qt::QueuedConnection);
    dlg.appendText("x", receivedColor);
    EXPECT_EQ(handled, 0);
    dlg.appendText("\r", receivedColor);
    EXPECT_EQ(handled, 1);
}

TEST(DebugDlg, ClearAndSaveAsPlainText) {
    TTempDir dir;
    TDebugDlg dlg;
    dlg.appendText("Man", sentColor);
    dlg.appendText("\rExpect: Hello>\r", expectedColor);
    dlg.appendText("caf\xe9", receivedColor);
    const std::string file = dir.path + "/log.txt";
    ASSERT_TRUE(dlg.saveLog(QString::fromStdString(file)));
    std::ifstream in(file, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(), "Man\n\nExpect: Hello>\ncaf\xe9\n");

    QString error;
    EXPECT_FALSE(dlg.saveLog(QString::fromStdString(dir.path), &error));  // a folder
    EXPECT_FALSE(error.isEmpty());

    dlg.clearLog();
    EXPECT_TRUE(dlg.lines().isEmpty());
    dlg.appendText("\rbye\r", sentColor);  // the first line again, without an empty one before
    EXPECT_EQ(dlg.lines(), (QStringList{"", "bye", ""}));
}

TEST(DebugDlg, TheToggleActionFollowsTheWindow) {
    TDebugDlg dlg;
    std::vector<bool> told;
    QObject::connect(&dlg, &TDebugDlg::shownChanged, [&](bool shown) { told.push_back(shown); });
    EXPECT_FALSE(dlg.isVisible());
    EXPECT_EQ(dlg.toggleAction()->text(), "Debug Window");
    dlg.toggleAction()->trigger();
    EXPECT_TRUE(dlg.isVisible());
    EXPECT_TRUE(dlg.echoWanted());
    dlg.hide();
    EXPECT_FALSE(dlg.toggleAction()->isChecked());
    EXPECT_FALSE(dlg.echoWanted());
    EXPECT_EQ(told, (std::vector<bool>{true, false}));
}

TEST(DebugDlg, KeepsTheNewestLinesOnly) {
    TDebugDlg dlg;
    for (int round = 0; round < 2; ++round) {  // and again after a clear
        std::string text;
        for (int i = 0; i < TDebugDlg::maxLines + 5; ++i) text += "line " + std::to_string(i) + "\r";
        dlg.appendText(text, sentColor);
        dlg.appendText("last", receivedColor);  // extends the line the last CR started
        const QStringList lines = dlg.lines();
        ASSERT_EQ(lines.size(), TDebugDlg::maxLines);
        EXPECT_EQ(lines.first(), "line 6");
        EXPECT_EQ(lines.last(), "last");
        dlg.clearLog();
    }
}
