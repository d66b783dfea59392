#include "ui/form2d.h"

#include <QChart>
#include <QChartView>
#include <QGraphicsLayout>
#include <QLineSeries>
#include <QMdiArea>
#include <QValueAxis>

TtableEdit2D::TtableEdit2D(QMdiArea* area) {
    setObjectName(QStringLiteral("tableEdit2D"));
    setWindowTitle(QStringLiteral("tableEdit2D"));
    setAttribute(Qt::WA_DeleteOnClose);

    auto* series = new QLineSeries;
    series->setObjectName(QStringLiteral("Series1"));
    series->setPen(QPen(Qt::red, 2));
    series->setPointsVisible(false);
    series->setPointLabelsVisible(false);

    auto* chart = new QChart;
    chart->legend()->hide();
    chart->setBackgroundRoundness(0);
    chart->setPlotAreaBackgroundVisible(false);
    chart->layout()->setContentsMargins(0, 0, 0, 0);
    chart->setMargins(QMargins(4, 8, 12, 4));
    chart->addSeries(series);
    for (Qt::Alignment side : {Qt::AlignBottom, Qt::AlignLeft}) {
        auto* axis = new QValueAxis;
        chart->addAxis(axis, side);
        series->attachAxis(axis);
    }

    auto* view = new QChartView(chart);
    view->setObjectName(QStringLiteral("Chart1"));
    view->setFrameShape(QFrame::NoFrame);
    view->setRenderHint(QPainter::Antialiasing);
    setWidget(view);

    area->addSubWindow(this);
    resize(469, 371);
    show();
}
