#pragma once
// The table-chart window: a child window of the main window's document area holding an empty
// two-dimensional line chart, one red line.

#include <QMdiSubWindow>

class QMdiArea;

class TtableEdit2D : public QMdiSubWindow {
    Q_OBJECT
public:
    // A new chart window inside `area`, shown at once; closing it deletes it.
    explicit TtableEdit2D(QMdiArea* area);
};
