#pragma once
// Values written to the ECU that no store has followed live in it only until it is switched
// off. The status bar shows how many there are in a panel of its own, and whatever would leave
// them behind (going offline, closing the app, a new link) asks first, only while there are any.

#include <QLabel>

#include <string>

class TECU;
class TMainServices;
class TModalRunner;

// "Not stored: N settings"; hidden while nothing is pending.
class TNotStoredPanel : public QLabel {
    Q_OBJECT

public:
    explicit TNotStoredPanel(QWidget* parent = nullptr);
    void showCount(int count);
};

// The question's text for `count` pending settings.
std::string notStoredQuestion(int count);

// While the ECU is online and holds unstored writes, asks: Store (the ECU stores them), Don't
// Store, or Cancel. False when the operator cancelled: nothing must be left. True at once when
// nothing is pending. A store that fails is reported and counts as done: the link is gone.
bool settleUnstored(TECU& ecu, TModalRunner& runner, TMainServices& window, QWidget* parent);
