#include "ui/messagebox.h"

#include <QLabel>
#include <QScreen>
#include <QStyle>
#include <QTextEdit>

#include <climits>
#include <functional>

namespace {

// Kept free for the window manager's title bar and frame, which the style cannot know.
constexpr int frameAllowance = 48;
constexpr int detailsSpacing = 12;  // between the buttons and the details

// Every label of the box shows plain text, and follows no link.
void plainLabels(QWidget& box) {
    for (QLabel* label : box.findChildren<QLabel*>()) {
        label->setTextFormat(Qt::PlainText);
        label->setOpenExternalLinks(false);
        label->setTextInteractionFlags(label->textInteractionFlags() & ~Qt::LinksAccessibleByMouse &
                                       ~Qt::LinksAccessibleByKeyboard);
    }
}

// Sets the longest cut of `full` with which `fits` holds: its first lines and its last line
// with the number of lines left out between them, or, for one line too long for that, its start.
void shrink(const QString& full, const std::function<bool(const QString&)>& fits) {
    QString text = full;
    while (text.endsWith(QLatin1Char('\n'))) text.chop(1);  // the last line is the last one with text
    const QStringList lines = text.split(QLatin1Char('\n'));
    const auto byLines = [&](qsizetype head) {
        QStringList kept = lines.mid(0, head);
        kept << QStringLiteral("... and %1 more lines (Show Details lists them all)").arg(lines.size() - head - 1)
             << lines.last();
        return kept.join(QLatin1Char('\n'));
    };
    if (lines.size() >= 3 && fits(byLines(0))) {
        qsizetype lo = 0, hi = lines.size() - 2;  // byLines(lo) fits
        while (lo < hi) {
            const qsizetype mid = (lo + hi + 1) / 2;
            if (fits(byLines(mid))) lo = mid;
            else hi = mid - 1;
        }
        fits(byLines(lo));
        return;
    }
    const auto byChars = [&](qsizetype count) {
        return text.left(count) + QStringLiteral("... (Show Details shows the whole text)");
    };
    qsizetype lo = 0, hi = text.size();
    while (lo < hi) {
        const qsizetype mid = (lo + hi + 1) / 2;
        if (fits(byChars(mid))) lo = mid;
        else hi = mid - 1;
    }
    fits(byChars(lo));
}

}  // namespace

TMessageBox::TMessageBox(Icon icon, const QString& title, const QString& text, const QString& detail,
                         StandardButtons buttons, QWidget* parent)
    : QMessageBox(icon, title, QString(), buttons, parent), whole(text), wholeDetail(detail) {
    // Plain before the first text arrives: a text laid out as markup would already have loaded
    // what it names.
    setTextFormat(Qt::PlainText);
    plainLabels(*this);
    setText(text);
    if (!detail.isEmpty()) setPlainInformative(detail);
}

void TMessageBox::setPlainInformative(const QString& text) {
    // The label of the smaller text is made by its first text: a harmless one, then plain.
    QMessageBox::setInformativeText(QStringLiteral(" "));
    plainLabels(*this);
    QMessageBox::setInformativeText(text);
}

int TMessageBox::roomOnScreen() const {
    const QScreen* where = screen();
    if (!where) return INT_MAX;
    return where->availableGeometry().height() - style()->pixelMetric(QStyle::PM_TitleBarHeight, nullptr, this) -
           frameAllowance;
}

void TMessageBox::showEvent(QShowEvent* event) {
    QMessageBox::showEvent(event);  // sizes the box for its texts
    if (height() > roomOnScreen()) fitScreen();
}

void TMessageBox::fitScreen() {
    setDetailedText(wholeDetail.isEmpty() ? whole : whole + QStringLiteral("\n\n") + wholeDetail);
    // Room is kept for the details as well, for when the operator shows them.
    int room = roomOnScreen();
    if (const QTextEdit* details = findChild<QTextEdit*>()) room -= details->minimumSizeHint().height() + detailsSpacing;
    // The box lays itself out anew for every text it is given while it is shown.
    shrink(whole, [&](const QString& text) {
        setText(text);
        return height() <= room;
    });
    if (height() > room && !wholeDetail.isEmpty()) {
        shrink(wholeDetail, [&](const QString& text) {
            setPlainInformative(text);
            return height() <= room;
        });
    }
}
