#include "ui/helpabout.h"

#include <QFrame>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QShowEvent>

#include "ui/pictures.h"

namespace {

const char* const legalNotice =
    "Copyright \u00a9 Harnwick. Veltrace comes without warranty of any kind. Keep the ECU "
    "powered and connected for the whole of a firmware update.";

QLabel* addLabel(QWidget* parent, const char* name, const QString& text, const QRect& geometry) {
    auto* label = new QLabel(parent);
    label->setTextFormat(Qt::PlainText);  // the version comes from the program's file
    label->setText(text);
    label->setObjectName(QLatin1String(name));
    label->setGeometry(geometry);
    return label;
}

}  // namespace

TAboutBox::TAboutBox(const TVersionReader& version, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint), version(version) {
    setObjectName(QStringLiteral("AboutBox"));
    setWindowTitle(QStringLiteral("About"));
    setFixedSize(499, 179);

    // A groove around the picture and the texts: lowered outside, raised inside.
    auto* panel = new QFrame(this);
    panel->setObjectName(QStringLiteral("Panel1"));
    panel->setFrameStyle(QFrame::Box | QFrame::Sunken);
    panel->setGeometry(10, 10, 479, 119);

    QLabel* icon = addLabel(panel, "ProgramIcon", {}, QRect(8, 8, 80, 70));
    icon->setAlignment(Qt::AlignCenter);
    icon->setPixmap(programIcon().pixmap(icon->size()));

    QLabel* product =
        addLabel(panel, "ProductName", QStringLiteral("Veltrace"), QRect(104, 12, 360, 28));
    QFont productFont = product->font();
    productFont.setBold(true);
    productFont.setPointSizeF(productFont.pointSizeF() * 1.5);
    product->setFont(productFont);

    versionLabel =
        addLabel(panel, "Version", QStringLiteral("(ver)(build)"), QRect(104, 46, 360, 20));

    QLabel* notice =
        addLabel(panel, "Copyright", QString::fromUtf8(legalNotice), QRect(8, 82, 463, 34));
    notice->setAlignment(Qt::AlignCenter);
    notice->setWordWrap(true);

    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setObjectName(QStringLiteral("OKButton"));
    ok->setGeometry(212, 140, 75, 27);
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}

void TAboutBox::showEvent(QShowEvent* event) {
    if (!event->spontaneous()) {
        versionLabel->setText(QStringLiteral("Version: ") +
                              QString::fromLatin1(version.getVersionInfo("FileVersion")));
        if (const QScreen* where = screen()) {
            QRect frame = frameGeometry();
            frame.moveCenter(where->availableGeometry().center());
            move(frame.topLeft());
        }
    }
    QDialog::showEvent(event);
}
