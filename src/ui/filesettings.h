#pragma once
// The software settings dialog: where the operator chooses how the tool reaches the ECU, a
// serial port and bit rate or a TCP host and port. OK stores the link type and puts a new link
// with the chosen parameters in place of the running one, which then stores its own
// parameters; Cancel changes nothing.

#include <QDialog>

#include <functional>

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLayout;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QTabWidget;
class QWidget;
class TEcuController;
class TMainServices;
class TPreferences;

class TF_Settings : public QDialog {
    Q_OBJECT

public:
    // Messages (a conversion error, a refused bit rate) go to `messages`. The three outlive
    // the dialog.
    TF_Settings(TEcuController& controller, TPreferences& prefs, TMainServices& messages,
                QWidget* parent = nullptr);

    // Called by OK right before the running link is replaced: the main window says goodbye
    // and goes offline there, so that it never shows "online" over a link that is gone. False:
    // the operator kept the running link; nothing is stored and the dialog stays open.
    std::function<bool()> beforeLinkChange;

    // Fills the type, address and bit-rate fields from the running link and the stored link
    // type; runs each time the dialog opens.
    void fillFromLink();
    // The OK button: stores and replaces the link, then closes with the result OK. A bit rate
    // the ECU does not know or a port outside 1..65535 is refused with a message instead, and
    // the dialog stays open with nothing stored.
    void BTN_ExitClick();

    QTabWidget* PageControl1 = nullptr;
    QComboBox* cbxType = nullptr;
    QComboBox* CBX_protocol = nullptr;
    QCheckBox* CHK_HDuplex = nullptr;
    QWidget* pnlNetwork = nullptr;
    QLineEdit* hostname = nullptr;
    QLineEdit* port = nullptr;
    QWidget* pnlSerial = nullptr;
    QComboBox* CBX_ComPort = nullptr;
    QComboBox* CBX_BaudRate = nullptr;
    QGroupBox* RBG_lambda = nullptr;
    QRadioButton* RAD_ShowAFR = nullptr;
    QRadioButton* RAD_ShowLambda = nullptr;
    QPushButton* BTN_Exit = nullptr;
    QPushButton* BTN_Cancel = nullptr;

    static constexpr int clientWidth = 360;
    static constexpr int clientHeight = 343;
    // The text of a Com item whose place in the serial port list is empty or missing.
    static constexpr const char* noDevice = "no device";

    // Escape and the window manager's close act as Cancel, and do nothing while Cancel is
    // disabled (the first-run check).
    void reject() override;

protected:
    void showEvent(QShowEvent* event) override;

private:
    // Network first, Serial second: the matching panel shows; with no item chosen nothing
    // changes.
    void cbxTypeChange();
    // Each Com item's tool tip: the device it opens.
    void showComDevices();
    // The OK action proper; false when the dialog must stay open.
    bool applyLink();

    // ---- The form, part by part
    // "Communications": the link's type, protocol and the panel of the type chosen.
    QWidget* communicationsPage();
    // Host name and port, on `page`.
    QWidget* networkPanel(QWidget* page);
    // Com port and bit rate, on `page`.
    QWidget* serialPanel(QWidget* page);
    // "Preferences": shown only, nothing reads it.
    QWidget* preferencesPage();
    // "Ok" and "Cancel" under the pages.
    QLayout* buttonRow();

    TEcuController& controller;
    TPreferences& prefs;
    TMainServices& messages;
};
