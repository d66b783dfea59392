// The about box, the chart windows and the pictures.
#include <gtest/gtest.h>

#include <QChartView>
#include <QLabel>
#include <QLegend>
#include <QLineSeries>
#include <QMdiArea>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QTest>

#include "ui/form2d.h"
#include "ui/helpabout.h"
#include "ui/pictures.h"

TEST(AboutBox, ShowsTheFileVersionEachTimeItOpens) {
    const TVersionReader withoutBlock(VELTRACE_ECUSIM_PATH);
    const struct {
        const TVersionReader& reader;
        QString expected;
    } cases[] = {{programVersion(), QStringLiteral("Version: " VELTRACE_PROJECT_VERSION)},
                 {withoutBlock, QStringLiteral("Version: ")}};
    for (const auto& c : cases) {
        TAboutBox box(c.reader);
        auto* version = box.findChild<QLabel*>(QStringLiteral("Version"));
        ASSERT_TRUE(version);
        EXPECT_EQ(version->text(), QStringLiteral("(ver)(build)"));
        EXPECT_EQ(box.windowTitle(), QStringLiteral("About"));
        EXPECT_EQ(box.minimumSize(), QSize(499, 179));
        EXPECT_EQ(box.maximumSize(), QSize(499, 179));

        for (int round = 0; round < 2; ++round) {
            version->setText(QStringLiteral("stale"));
            box.show();
            EXPECT_EQ(version->text(), c.expected);
            const QRect screen = box.screen()->availableGeometry();
            EXPECT_LE((box.frameGeometry().center() - screen.center()).manhattanLength(), 2)
                << box.frameGeometry().x() << "," << box.frameGeometry().y() << " on "
                << screen.width() << "x" << screen.height();
            auto* ok = box.findChild<QPushButton*>(QStringLiteral("OKButton"));
            ASSERT_TRUE(ok);
            EXPECT_TRUE(ok->isDefault());
            QTest::mouseClick(ok, Qt::LeftButton);
            EXPECT_FALSE(box.isVisible());
            EXPECT_EQ(box.result(), QDialog::Accepted);
        }
    }
}

TEST(ChartWindow, EachIsAnIndependentChildDestroyedWhenClosed) {
    QMdiArea area;
    area.resize(900, 700);
    area.show();
    QPointer<TtableEdit2D> first = new TtableEdit2D(&area);
    QPointer<TtableEdit2D> second = new TtableEdit2D(&area);
    ASSERT_EQ(area.subWindowList().size(), 2);
    for (TtableEdit2D* window : {first.data(), second.data()}) {
        EXPECT_TRUE(window->isVisible());
        EXPECT_EQ(window->windowTitle(), QStringLiteral("tableEdit2D"));
        EXPECT_EQ(window->size(), QSize(469, 371));
        auto* view = window->findChild<QChartView*>(QStringLiteral("Chart1"));
        ASSERT_TRUE(view);
        EXPECT_FALSE(view->chart()->legend()->isVisible());
        ASSERT_EQ(view->chart()->series().size(), 1);
        auto* series = qobject_cast<QLineSeries*>(view->chart()->series().first());
        ASSERT_TRUE(series);
        EXPECT_EQ(series->pen().color(), QColor(Qt::red));
        EXPECT_FALSE(series->pointsVisible());
        EXPECT_EQ(series->count(), 0);
    }
    EXPECT_NE(first->findChild<QChartView*>(), second->findChild<QChartView*>());

    first->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(first.isNull());
    ASSERT_FALSE(second.isNull());
    EXPECT_TRUE(second->isVisible());
    EXPECT_EQ(area.subWindowList(), QList<QMdiSubWindow*>{second.data()});
}

TEST(Pictures, IndicatorLampsOnTheWindowGrey) {
    // The mean colour of the lamp's middle.
    auto lampColour = [](const QImage& image) {
        int r = 0, g = 0, b = 0, n = 0;
        for (int y = 10; y < 22; ++y)
            for (int x = 10; x < 22; ++x, ++n) {
                const QColor c = image.pixelColor(x, y);
                r += c.red(), g += c.green(), b += c.blue();
            }
        return QColor(r / n, g / n, b / n);
    };
    const struct {
        TConnectionPicture which;
        bool (*looksRight)(const QColor&);
    } cases[] = {
        {TConnectionPicture::idle,
         [](const QColor& c) {
             return c.blue() > c.green() && c.green() > c.red() && c.red() > 120;  // pale
         }},
        {TConnectionPicture::connected,
         [](const QColor& c) { return c.green() > c.red() + 60 && c.green() > c.blue() + 60; }},
        {TConnectionPicture::activity,
         [](const QColor& c) { return c.red() > c.green() + 80 && c.red() > c.blue() + 80; }},
    };
    for (const auto& c : cases) {
        const QImage image = connectionPicture(c.which).toImage();
        ASSERT_EQ(image.size(), QSize(32, 32));
        for (QPoint corner : {QPoint(0, 0), QPoint(31, 0), QPoint(0, 31), QPoint(31, 31)})
            EXPECT_EQ(image.pixelColor(corner), QColor(212, 208, 200));
        const QColor lamp = lampColour(image);
        EXPECT_TRUE(c.looksRight(lamp)) << int(c.which) << ": " << lamp.name().toStdString();
    }
}

TEST(Pictures, ProgramIconIsBuiltIn) {
    const QIcon icon = programIcon();
    EXPECT_TRUE(icon.availableSizes().contains(QSize(48, 48)));
    EXPECT_TRUE(icon.availableSizes().contains(QSize(128, 128)));
    EXPECT_FALSE(icon.pixmap(128).isNull());
}
