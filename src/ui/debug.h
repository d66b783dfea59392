#pragma once
// The debug log window: the links echo the traffic into it, sent bytes in red, received bytes in
// blue and the texts they wait for in green. Hidden until the operator shows it with its
// toggle action ("Debug Window", for the Tools menu); while it is shown the main window keeps
// the traffic echo on. It keeps the newest maxLines lines. Its context menu clears it or saves
// it as a plain text file.
//
// A GUI-thread object: calls from the ECU worker go through TGuiDebugLog (guiseams.h).

#include <QDialog>
#include <QElapsedTimer>
#include <QTextCursor>

#include <string>
#include <vector>

#include "platform/services.h"

class QAction;
class QPlainTextEdit;
class QTimer;

class TDebugDlg : public QDialog, public TDebugLog {
    Q_OBJECT

public:
    explicit TDebugDlg(QWidget* owner = nullptr);

    // A fragment holding a carriage return starts a new line after the last one, and each
    // carriage return in it a further line; the GUI then handles its pending events (at most
    // every eventRoundMs), so that the log repaints during a blocking exchange. Any other
    // fragment extends the last line. Each byte is one character (line feeds are not drawn: a
    // carriage return ends a line). Takes the same time however long the log has grown.
    void appendText(const std::string& text, TColor color) override;

    // The log keeps the newest this many lines; older ones are dropped as new ones come.
    static constexpr int maxLines = 100000;

    // Fragments are laid into the log in batches: at every line start, and otherwise the next
    // time the GUI handles its events. Laying out each byte alone would cost more than the
    // traffic it shows.
    static constexpr int eventRoundMs = 20;

    // The checkable action that shows and hides the window; it follows the window.
    QAction* toggleAction() const { return toggle; }
    // Whether the traffic echo should be on: while the window is shown.
    bool echoWanted() const { return isVisible(); }

    void clearLog();
    // The log as plain text, one line per line, bytes as they came. False when the file
    // cannot be written; `error` then says why.
    bool saveLog(const QString& fileName, QString* error = nullptr);
    // Every line of the log, in order (none for an empty log).
    QStringList lines();

    QPlainTextEdit* debugLog = nullptr;
    const TColor sentColor = ::sentColor;
    const TColor receivedColor = ::receivedColor;
    const TColor expectedColor = ::expectedColor;

signals:
    // The window was shown or hidden.
    void shownChanged(bool shown);

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    // Text not yet laid into the log: a run of one colour, on a new line or not.
    struct TRun {
        bool newLine;
        QString text;
        TColor color;
    };
    void addText(QString text, TColor color);
    void addLine(TColor color);
    void flush();
    void showContextMenu(const QPoint& at);
    void saveAs();

    QAction* toggle = nullptr;
    QTimer* flushSoon = nullptr;
    QTextCursor tail;      // always at the end of the log
    bool hasLine = false;  // a log that has no line yet takes the next text as its first line
    std::vector<TRun> pending;
    QElapsedTimer sinceEventRound;
};
