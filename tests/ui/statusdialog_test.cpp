// The progress dialog on the offscreen platform.

#include "ui/statusdialog.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QProgressBar>
#include <QTest>
#include <QTimer>

namespace {

// Runs `during` once the dialog waits modally, and ends a wait that would otherwise hang.
bool runModal(TStatusBarDlg& dlg, const std::function<void()>& during) {
    bool rescued = false;
    QTimer::singleShot(20, &dlg, during);
    QTimer rescue;
    rescue.setSingleShot(true);
    QObject::connect(&rescue, &QTimer::timeout, &dlg, [&] {
        rescued = true;
        dlg.done(0);
    });
    rescue.start(5000);
    dlg.showModal();
    return !rescued;
}

}  // namespace

TEST(StatusBarDlg, PositionsAreClampedToTheBarsRange) {
    TStatusBarDlg dlg;
    const std::vector<std::pair<int, int>> cases = {{42, 42}, {150, 100}, {-5, 0}, {100, 100}, {0, 0}};
    for (const auto& [set, shown] : cases) {
        dlg.setPosition(set);
        EXPECT_EQ(dlg.getPosition(), shown) << set;
        EXPECT_EQ(dlg.progressBar->value(), shown) << set;
    }
    dlg.showStep("Loading Settings...", 25);
    EXPECT_EQ(dlg.statusText(), "Loading Settings...");
    EXPECT_EQ(dlg.getPosition(), 25);
    EXPECT_EQ(dlg.windowTitle(), "Progress...");
    dlg.setCaption("Connecting...");
    EXPECT_EQ(dlg.windowTitle(), "Connecting...");
}

TEST(StatusBarDlg, ShowHideAndCloseWithoutAModalWait) {
    TStatusBarDlg dlg;
    EXPECT_FALSE(dlg.isVisible());
    dlg.show();
    EXPECT_TRUE(dlg.isVisible());
    EXPECT_FALSE(dlg.isModal());
    QTest::keyClick(&dlg, Qt::Key_Escape);  // the operator cannot close it
    EXPECT_TRUE(dlg.isVisible());
    dlg.hide();
    EXPECT_FALSE(dlg.isVisible());
    dlg.show();
    dlg.close();
    EXPECT_FALSE(dlg.isVisible());
}

TEST(StatusBarDlg, CloseEndsTheModalWaitAndNothingElseDoes) {
    TStatusBarDlg dlg;
    dlg.show();  // shown modeless first, as the worker does before the GUI thread waits
    bool sawModal = false, stillModal = false;
    ASSERT_TRUE(runModal(dlg, [&] {
        sawModal = dlg.isShownModal() && dlg.isVisible() && QApplication::activeModalWidget() == &dlg;
        dlg.show();
        QTest::keyClick(&dlg, Qt::Key_Escape);
        dlg.setStatusText("still here");
        QApplication::processEvents();
        stillModal = dlg.isShownModal() && dlg.isVisible();
        dlg.close();
    }));
    EXPECT_TRUE(sawModal);
    EXPECT_TRUE(stillModal);
    EXPECT_FALSE(dlg.isVisible());
    EXPECT_FALSE(dlg.isShownModal());
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}
