#include "ui/notstored.h"

#include <QPushButton>

#include <exception>

#include "ecu/ecu.h"
#include "platform/services.h"
#include "ui/devicetext.h"
#include "ui/messagebox.h"
#include "ui/modalrunner.h"

TNotStoredPanel::TNotStoredPanel(QWidget* parent) : QLabel(parent) {
    setObjectName(QStringLiteral("NotStoredPanel"));
    setFrameStyle(QFrame::Panel | QFrame::Sunken);
    setTextFormat(Qt::PlainText);
    hide();
}

void TNotStoredPanel::showCount(int count) {
    setText(count > 0 ? QStringLiteral(" Not stored: %1 setting%2 ").arg(count).arg(count == 1 ? "" : "s")
                      : QString());
    setVisible(count > 0);
}

std::string notStoredQuestion(int count) {
    return "The ECU holds " + std::to_string(count) + " changed setting" + (count == 1 ? "" : "s") +
           " it has not stored; they are lost when it is switched off.";
}

bool settleUnstored(TECU& ecu, TModalRunner& runner, TMainServices& window, QWidget* parent) {
    const int count = ecu.unstored.count();
    if (count == 0 || !ecu.isOnline() || ecu.link->isLost()) return true;
    TMessageBox box(QMessageBox::Warning, QStringLiteral("Veltrace"), deviceText(notStoredQuestion(count)),
                    QString(), QMessageBox::Save | QMessageBox::Discard | QMessageBox::Cancel, parent);
    box.setObjectName(QStringLiteral("notStoredQuestion"));
    box.button(QMessageBox::Save)->setText(QStringLiteral("Store"));
    box.button(QMessageBox::Discard)->setText(QStringLiteral("Don't Store"));
    box.setDefaultButton(QMessageBox::Save);
    box.setEscapeButton(QMessageBox::Cancel);
    const int answer = runner.run(box);
    if (answer == QMessageBox::Discard) return true;
    if (answer != QMessageBox::Save) return false;
    try {
        ecu.storeConfirmed();
    } catch (const std::exception& e) {
        window.reportMessage(e.what());
    }
    return true;
}
