#include "ui/debug.h"

#include <QAction>
#include <QCoreApplication>
#include <QFile>
#include <QFileDialog>
#include <QMenu>
#include <QPlainTextEdit>
#include <QScreen>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QTextBlock>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>

#include "ui/devicetext.h"
#include "ui/messagebox.h"

namespace {

constexpr int clientWidth = 510, clientHeight = 301;
constexpr int fontPixels = 13;

// As the ECU's bytes show everywhere; line feeds are left out (a carriage return ends a line).
QString shown(const std::string& text, size_t from, size_t to) {
    QString out = deviceText(std::string_view(text).substr(from, to - from));
    out.remove(QLatin1Char('\n'));
    return out;
}

}  // namespace

TDebugDlg::TDebugDlg(QWidget* owner)
    : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint) {
    setObjectName("TDebugDlg");
    setWindowTitle("Debug Window");
    setFixedSize(clientWidth, clientHeight);

    debugLog = new QPlainTextEdit(this);
    debugLog->setObjectName("debugLog");
    debugLog->setReadOnly(true);
    debugLog->setLineWrapMode(QPlainTextEdit::NoWrap);
    debugLog->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    debugLog->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    debugLog->setFocusPolicy(Qt::ClickFocus);  // no tab stop
    debugLog->document()->setUndoRedoEnabled(false);  // the log only grows: no history to keep
    debugLog->setMaximumBlockCount(maxLines);         // the oldest lines go first
    QFont font("Courier");
    font.setStyleHint(QFont::TypeWriter);
    font.setFixedPitch(true);
    font.setPixelSize(fontPixels);
    debugLog->setFont(font);
    debugLog->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(debugLog, &QWidget::customContextMenuRequested, this, &TDebugDlg::showContextMenu);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(debugLog);

    toggle = new QAction("Debug Window", this);
    toggle->setObjectName("DebugWindow1");
    toggle->setCheckable(true);
    connect(toggle, &QAction::toggled, this, [this](bool on) { setVisible(on); });

    flushSoon = new QTimer(this);
    flushSoon->setSingleShot(true);
    flushSoon->setInterval(0);
    connect(flushSoon, &QTimer::timeout, this, &TDebugDlg::flush);

    tail = QTextCursor(debugLog->document());
    tail.movePosition(QTextCursor::End);
    if (QScreen* s = screen()) move(s->availableGeometry().center() - rect().center());
}

void TDebugDlg::appendText(const std::string& text, TColor color) {
    if (text.empty()) return;
    const bool startsLines = text.find('\r') != std::string::npos;
    if (startsLines && hasLine) addLine(color);
    for (size_t from = 0;;) {
        const size_t cr = text.find('\r', from);
        const size_t to = cr == std::string::npos ? text.size() : cr;
        if (to > from) addText(shown(text, from, to), color);
        if (cr == std::string::npos) break;
        addLine(color);
        from = cr + 1;
    }
    hasLine = true;

    if (!startsLines) {
        if (!flushSoon->isActive()) flushSoon->start();
        return;
    }
    flush();
    if (QThread::currentThread() == thread() &&
        (!sinceEventRound.isValid() || sinceEventRound.elapsed() >= eventRoundMs)) {
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
        sinceEventRound.start();
    }
}

void TDebugDlg::addText(QString text, TColor color) {
    if (!pending.empty() && pending.back().color == color)
        pending.back().text += text;
    else
        pending.push_back({false, std::move(text), color});
}

void TDebugDlg::addLine(TColor color) { pending.push_back({true, QString(), color}); }

void TDebugDlg::flush() {
    if (pending.empty()) return;
    QScrollBar* bar = debugLog->verticalScrollBar();
    const bool following = bar->value() >= bar->maximum();
    QTextCharFormat format;
    tail.beginEditBlock();
    for (const TRun& run : pending) {
        format.setForeground(QColor(run.color.r, run.color.g, run.color.b));
        if (run.newLine) tail.insertBlock(QTextBlockFormat(), format);
        if (!run.text.isEmpty()) tail.insertText(run.text, format);
    }
    tail.endEditBlock();
    pending.clear();
    if (following) bar->setValue(bar->maximum());
}

void TDebugDlg::clearLog() {
    pending.clear();
    debugLog->clear();
    debugLog->document()->setUndoRedoEnabled(false);
    debugLog->setMaximumBlockCount(maxLines);
    tail = QTextCursor(debugLog->document());
    tail.movePosition(QTextCursor::End);
    hasLine = false;
}

QStringList TDebugDlg::lines() {
    flush();
    QStringList out;
    if (!hasLine) return out;
    for (QTextBlock b = debugLog->document()->begin(); b.isValid(); b = b.next()) out << b.text();
    return out;
}

bool TDebugDlg::saveLog(const QString& fileName, QString* error) {
    QFile file(fileName);
    QByteArray bytes;
    for (const QString& line : lines()) bytes += line.toLatin1() + '\n';
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size() ||
        !file.flush()) {
        if (error) *error = file.errorString();
        return false;
    }
    return true;
}

void TDebugDlg::showContextMenu(const QPoint& at) {
    QMenu* menu = debugLog->createStandardContextMenu(at);
    menu->addSeparator();
    menu->addAction("Clear", this, &TDebugDlg::clearLog)->setObjectName("ClearLog1");
    menu->addAction("Save As...", this, &TDebugDlg::saveAs)->setObjectName("SaveLog1");
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(debugLog->viewport()->mapToGlobal(at));
}

void TDebugDlg::saveAs() {
    const QString name = QFileDialog::getSaveFileName(this, "Save Debug Log", "debug-log.txt",
                                                      "Text File (*.txt);;All Files (*)");
    if (name.isEmpty()) return;
    QString error;
    if (!saveLog(name, &error))
        TMessageBox(QMessageBox::Warning, windowTitle(), "Cannot save the debug log to " + name + ": " + error, QString(),
                    QMessageBox::Ok, this)
            .exec();
}

void TDebugDlg::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    const QSignalBlocker quiet(toggle);
    toggle->setChecked(true);
    emit shownChanged(true);
}

void TDebugDlg::hideEvent(QHideEvent* event) {
    QDialog::hideEvent(event);
    const QSignalBlocker quiet(toggle);
    toggle->setChecked(false);
    emit shownChanged(false);
}
