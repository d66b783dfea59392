#include "ui/filesettings.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QShowEvent>
#include <QTabWidget>
#include <QTextDocument>
#include <QVBoxLayout>

#include <stdexcept>
#include <string>

#include "ecu/ecu.h"
#include "ecu/ecuctl.h"
#include "platform/convert.h"
#include "platform/serialidentity.h"
#include "platform/sio.h"
#include "ui/ecuwork.h"

namespace {

constexpr const char* typeItems[] = {"Network", "Serial"};
constexpr int networkItem = 0, serialItem = 1;
constexpr const char* protocolItems[] = {"Honda PGMFI", "Orvane RTP", "VIVU v3"};
constexpr int protocolShown = 2;  // "VIVU v3"
constexpr int comPorts = 8;       // "Com1" .. "Com8"
constexpr int lowestTcpPort = 1, highestTcpPort = 65535;
constexpr int labelWidth = 72;  // one label column across the type and the panels

void addRow(QFormLayout* form, const char* label, QWidget* field) {
    auto* text = new QLabel(QString::fromLatin1(label));
    text->setMinimumWidth(labelWidth);
    text->setBuddy(field);
    form->addRow(text, field);
}

QComboBox* comboBox(QWidget* parent, const char* name, const QStringList& items) {
    auto* box = new QComboBox(parent);
    box->setObjectName(QLatin1String(name));
    box->setEditable(true);
    box->setInsertPolicy(QComboBox::NoInsert);
    box->addItems(items);
    return box;
}

template <size_t N>
QStringList texts(const char* const (&items)[N]) {
    QStringList list;
    for (const char* item : items) list << QString::fromLatin1(item);
    return list;
}

QStringList rateTexts() {
    QStringList list;
    for (const auto& rd : ecu_protocol::rateDivisors) list << QString::number(rd.rate);
    return list;
}

std::string textOf(const QComboBox* box) { return box->currentText().toStdString(); }

// A whole number, or the conversion error to report.
struct TNumber {
    int value = 0;
    std::string error;  // empty when the text held a whole number
};

TNumber wholeNumber(const std::string& text) {
    try {
        return {strToInt(text), {}};
    } catch (const EConvertError& e) {
        return {0, e.what()};
    }
}

}  // namespace

TF_Settings::TF_Settings(TEcuController& controller, TPreferences& prefs, TMainServices& messages,
                         QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::MSWindowsFixedSizeDialogHint),
      controller(controller),
      prefs(prefs),
      messages(messages) {
    setObjectName(QStringLiteral("F_Settings"));
    setWindowTitle(QStringLiteral("Settings"));
    setFixedSize(clientWidth, clientHeight);

    PageControl1 = new QTabWidget(this);
    PageControl1->setObjectName(QStringLiteral("PageControl1"));
    PageControl1->addTab(communicationsPage(), QStringLiteral("Communications"));
    PageControl1->addTab(preferencesPage(), QStringLiteral("Preferences"));
    PageControl1->setCurrentIndex(0);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(PageControl1, 1);
    layout->addLayout(buttonRow());

    connect(cbxType, &QComboBox::currentIndexChanged, this, &TF_Settings::cbxTypeChange);
    connect(BTN_Exit, &QPushButton::clicked, this, &TF_Settings::BTN_ExitClick);
    connect(BTN_Cancel, &QPushButton::clicked, this, &QDialog::reject);
}

// ---- The form ---------------------------------------------------------------------------

QWidget* TF_Settings::communicationsPage() {
    auto* comms = new QWidget;
    comms->setObjectName(QStringLiteral("TabSheet1"));
    cbxType = comboBox(comms, "cbxType", texts(typeItems));
    CBX_protocol = comboBox(comms, "CBX_protocol", texts(protocolItems));
    CHK_HDuplex = new QCheckBox(QStringLiteral("Half Duplex"), comms);
    CHK_HDuplex->setObjectName(QStringLiteral("CHK_HDuplex"));
    CHK_HDuplex->setChecked(true);
    CHK_HDuplex->setEnabled(false);
    pnlNetwork = networkPanel(comms);
    pnlSerial = serialPanel(comms);

    // Nothing is chosen until the stored link type or the operator chooses.
    for (QComboBox* box : {cbxType, CBX_protocol, CBX_ComPort, CBX_BaudRate}) box->setCurrentIndex(-1);
    pnlNetwork->hide();
    pnlSerial->hide();

    auto* form = new QFormLayout;
    addRow(form, "Type", cbxType);
    addRow(form, "Protocol", CBX_protocol);
    form->addRow(new QLabel, CHK_HDuplex);
    auto* layout = new QVBoxLayout(comms);
    layout->addLayout(form);
    layout->addWidget(pnlNetwork);
    layout->addWidget(pnlSerial);
    layout->addStretch(1);
    return comms;
}

QWidget* TF_Settings::networkPanel(QWidget* page) {
    auto* panel = new QWidget(page);
    panel->setObjectName(QStringLiteral("pnlNetwork"));
    hostname = new QLineEdit(QStringLiteral("hostname"), panel);
    hostname->setObjectName(QStringLiteral("hostname"));
    port = new QLineEdit(QStringLiteral("port"), panel);
    port->setObjectName(QStringLiteral("port"));
    auto* form = new QFormLayout(panel);
    form->setContentsMargins(0, 0, 0, 0);
    addRow(form, "Hostname", hostname);
    addRow(form, "Port", port);
    return panel;
}

QWidget* TF_Settings::serialPanel(QWidget* page) {
    auto* panel = new QWidget(page);
    panel->setObjectName(QStringLiteral("pnlSerial"));
    QStringList comItems;
    for (int i = 1; i <= comPorts; ++i) comItems << QStringLiteral("Com%1").arg(i);
    CBX_ComPort = comboBox(panel, "CBX_ComPort", comItems);
    CBX_BaudRate = comboBox(panel, "CBX_BaudRate", rateTexts());
    auto* form = new QFormLayout(panel);
    form->setContentsMargins(0, 0, 0, 0);
    addRow(form, "Com Port", CBX_ComPort);
    addRow(form, "Baud Rate", CBX_BaudRate);
    return panel;
}

QWidget* TF_Settings::preferencesPage() {
    auto* preferences = new QWidget;
    preferences->setObjectName(QStringLiteral("TabSheet2"));
    RBG_lambda = new QGroupBox(preferences);
    RBG_lambda->setObjectName(QStringLiteral("RBG_lambda"));
    RAD_ShowAFR = new QRadioButton(QStringLiteral("AFR"), RBG_lambda);
    RAD_ShowAFR->setObjectName(QStringLiteral("RAD_ShowAFR"));
    RAD_ShowAFR->setChecked(true);
    RAD_ShowLambda = new QRadioButton(QStringLiteral("Lambda"), RBG_lambda);
    RAD_ShowLambda->setObjectName(QStringLiteral("RAD_ShowLambda"));
    auto* radios = new QVBoxLayout(RBG_lambda);
    radios->addWidget(RAD_ShowAFR);
    radios->addWidget(RAD_ShowLambda);
    auto* layout = new QVBoxLayout(preferences);
    layout->addWidget(RBG_lambda);
    layout->addStretch(1);
    return preferences;
}

QLayout* TF_Settings::buttonRow() {
    BTN_Exit = new QPushButton(QStringLiteral("Ok"), this);
    BTN_Exit->setObjectName(QStringLiteral("BTN_Exit"));
    BTN_Exit->setDefault(true);
    BTN_Cancel = new QPushButton(QStringLiteral("Cancel"), this);
    BTN_Cancel->setObjectName(QStringLiteral("BTN_Cancel"));
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(BTN_Exit);
    buttons->addWidget(BTN_Cancel);
    return buttons;
}

// ---- Handlers ---------------------------------------------------------------------------

void TF_Settings::showEvent(QShowEvent* event) {
    // Filled when it opens, not when the operator comes back to it from another program: the
    // edits made meanwhile stay.
    if (!event->spontaneous()) fillFromLink();
    QDialog::showEvent(event);
}

void TF_Settings::reject() {
    if (BTN_Cancel->isEnabled()) QDialog::reject();
}

void TF_Settings::cbxTypeChange() {
    const int item = cbxType->currentIndex();
    if (item != networkItem && item != serialItem) return;
    pnlNetwork->setVisible(item == networkItem);
    pnlSerial->setVisible(item == serialItem);
}

void TF_Settings::showComDevices() {
    const std::vector<std::string> devices = serialPortList();
    for (int i = 0; i < CBX_ComPort->count(); ++i) {
        const bool known = i < static_cast<int>(devices.size()) && !devices[i].empty();
        // The device, its by-id name and adapter (Com1 is whatever comes first in the list
        // today). A tool tip takes markup: the text goes in as plain text.
        const QString tip = known ? QString::fromStdString(serialDeviceDescription(devices[i]))
                                  : QString::fromLatin1(noDevice);
        CBX_ComPort->setItemData(i, Qt::convertFromPlainText(tip, Qt::WhiteSpacePre), Qt::ToolTipRole);
    }
}

void TF_Settings::fillFromLink() {
    showComDevices();
    CBX_protocol->setCurrentIndex(protocolShown);
    const std::string type = prefs.readPreference("com.Type");
    // No running link to show (the ECU object could not be made): the fields stay.
    guarded(messages, [&] {
        if (type == "serial") {
            cbxType->setCurrentIndex(serialItem);
            cbxTypeChange();
            const TNumber number = wholeNumber(controller.getLinkAddress());
            const int item = number.error.empty() ? number.value - 1 : -1;
            CBX_ComPort->setCurrentIndex(item >= 0 && item < comPorts ? item : -1);
            const int rate = controller.getLinkBaudRate();
            CBX_BaudRate->setCurrentIndex(ecu_protocol::isKnownBaudRate(rate)
                                              ? CBX_BaudRate->findText(QString::number(rate))
                                              : CBX_BaudRate->findText(QString::number(ecu_protocol::handshakeRate)));
        } else if (type == "network") {
            cbxType->setCurrentIndex(networkItem);
            cbxTypeChange();
            hostname->setText(QString::fromStdString(controller.getLinkAddress()));
            port->setText(QString::number(controller.getLinkBaudRate()));
        }
    });
}

void TF_Settings::BTN_ExitClick() {
    bool close = true;
    guarded(messages, [&] { close = applyLink(); });
    if (close) accept();
}

bool TF_Settings::applyLink() {
    const std::string type = textOf(cbxType);
    const bool network = type == typeItems[networkItem];
    if (!network && type != typeItems[serialItem]) return true;

    const TNumber number = wholeNumber(network ? port->text().toStdString() : textOf(CBX_BaudRate));
    // A number the link cannot use is refused here, before anything is stored.
    if (number.error.empty()) {
        if (network && (number.value < lowestTcpPort || number.value > highestTcpPort)) {
            messages.reportMessage("The port must be a number from " + std::to_string(lowestTcpPort) + " to " +
                                   std::to_string(highestTcpPort) + ", not " + std::to_string(number.value) + ".");
            return false;
        }
        if (!network && !ecu_protocol::isKnownBaudRate(number.value)) {
            messages.reportMessage("The ECU knows only the bit rates " + ecu_protocol::knownBaudRatesText() +
                                   ": " + std::to_string(number.value) +
                                   " bit/s would leave it at a rate the tool never uses.");
            return false;
        }
    }

    // The running link may go: the main window may ask first, and a "Cancel" changes nothing.
    if (number.error.empty() && beforeLinkChange && !beforeLinkChange()) return false;
    prefs.writePreference("com.Type", network ? "network" : "serial");
    if (!number.error.empty()) {
        // The link stays as it was; the dialog still closes.
        messages.reportMessage(number.error);
        return true;
    }
    if (network) {
        controller.useNetworkLink(hostname->text().toStdString(), number.value);
    } else {
        const int item = CBX_ComPort->currentIndex();
        controller.useSerialLink(std::to_string(item < 0 ? 0 : item + 1), number.value);
    }
    controller.saveLinkSettings();
    return true;
}
