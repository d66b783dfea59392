// The settings dialog on a controller with the product's links (never opened here), over a
// store in memory: what it shows of the running link, and what OK and Cancel store and change.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QTextDocument>

#include <map>
#include <memory>

#include "ecu/ecuctl.h"
#include "link/linkfactory.h"
#include "support/fakes.h"
#include "support/realpeers.h"
#include "ui/filesettings.h"

namespace {

struct SettingsDialog : ::testing::Test {
    TFakeOperator<TFastClock> fake;
    std::unique_ptr<TEcuController> controller;
    std::unique_ptr<TF_Settings> dialog;
    int linkChanges = 0;

    // The dialog over a controller whose link was built from `stored`.
    void open(std::map<std::string, std::string> stored) {
        fake.prefs.values = std::move(stored);
        controller = std::make_unique<TEcuController>(fake.op, realLinkFactory());
        dialog = std::make_unique<TF_Settings>(*controller, fake.prefs, fake.window);
        dialog->beforeLinkChange = [this] { return ++linkChanges > 0; };
        dialog->show();
    }
    void choose(QComboBox* box, const QString& text) {
        box->setCurrentIndex(box->findText(text));
        if (box->currentIndex() < 0) box->setEditText(text);
    }
    void TearDown() override {
        dialog.reset();
        controller.reset();
    }
};

using Store = std::map<std::string, std::string>;

}  // namespace

TEST_F(SettingsDialog, TheFormAsItOpens) {
    open({});
    EXPECT_EQ(dialog->windowTitle(), "Settings");
    EXPECT_EQ(dialog->size(), QSize(360, 343));
    const auto items = [](QComboBox* box) {
        QStringList list;
        for (int i = 0; i < box->count(); ++i) list << box->itemText(i);
        return list.join('|');
    };
    EXPECT_EQ(items(dialog->cbxType), "Network|Serial");
    EXPECT_EQ(items(dialog->CBX_protocol), "Honda PGMFI|Orvane RTP|VIVU v3");
    EXPECT_EQ(items(dialog->CBX_ComPort), "Com1|Com2|Com3|Com4|Com5|Com6|Com7|Com8");
    EXPECT_EQ(items(dialog->CBX_BaudRate), "9600|19200|38400|57600|115200");
    EXPECT_EQ(dialog->PageControl1->tabText(0) + "|" + dialog->PageControl1->tabText(1), "Communications|Preferences");
    EXPECT_TRUE(dialog->CHK_HDuplex->isChecked() && !dialog->CHK_HDuplex->isEnabled());
    EXPECT_TRUE(dialog->RAD_ShowAFR->isChecked());
    // No link type stored: nothing chosen, neither panel, the fields' initial texts.
    EXPECT_EQ(dialog->cbxType->currentIndex(), -1);
    EXPECT_FALSE(dialog->pnlNetwork->isVisible() || dialog->pnlSerial->isVisible());
    EXPECT_EQ(dialog->hostname->text() + "|" + dialog->port->text(), "hostname|port");

    // The panel rule follows the operator's choice.
    choose(dialog->cbxType, "Serial");
    EXPECT_TRUE(dialog->pnlSerial->isVisible() && !dialog->pnlNetwork->isVisible());
    choose(dialog->cbxType, "Network");
    EXPECT_TRUE(!dialog->pnlSerial->isVisible() && dialog->pnlNetwork->isVisible());
}

TEST_F(SettingsDialog, FillsFromTheRunningLinkEachTimeItOpens) {
    const struct {
        Store stored;
        QString type, comPort, baudRate, host, port;
        bool serialPanel, networkPanel;
    } cases[] = {
        {{{"com.Type", "serial"}, {"comm.comport", "3"}, {"comm.baudrate", "57600"}},
         "Serial", "Com3", "57600", "hostname", "port", true, false},
        // A rate the ECU does not know reads as 9600; a port past Com8 selects none.
        {{{"com.Type", "serial"}, {"comm.comport", "12"}, {"comm.baudrate", "14400"}},
         "Serial", "", "9600", "hostname", "port", true, false},
        {{{"com.Type", "network"}, {"comm.hostname", "ecu.local"}, {"comm.portnum", "4000"}},
         "Network", "", "", "ecu.local", "4000", false, true},
        {{{"com.Type", "network"}}, "Network", "", "", "127.0.0.1", "32000", false, true},
        // Neither value (the comparison is exact): nothing is filled in.
        {{{"com.Type", "Serial"}, {"comm.comport", "2"}}, "", "", "", "hostname", "port", false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.type.toStdString() + " " + c.host.toStdString());
        open(c.stored);
        EXPECT_EQ(dialog->cbxType->currentText(), c.type);
        EXPECT_EQ(dialog->CBX_ComPort->currentText(), c.comPort);
        EXPECT_EQ(dialog->CBX_BaudRate->currentText(), c.baudRate);
        EXPECT_EQ(dialog->hostname->text(), c.host);
        EXPECT_EQ(dialog->port->text(), c.port);
        EXPECT_EQ(dialog->pnlSerial->isVisible(), c.serialPanel);
        EXPECT_EQ(dialog->pnlNetwork->isVisible(), c.networkPanel);
        EXPECT_EQ(dialog->CBX_protocol->currentText(), "VIVU v3");
    }

    // Opened again, the fields show the running link, not the edits of the last opening.
    dialog->hide();
    dialog->hostname->setText("edited");
    dialog->CBX_protocol->setCurrentIndex(0);
    fake.prefs.values["com.Type"] = "network";
    dialog->show();
    EXPECT_EQ(dialog->hostname->text(), "127.0.0.1");
    EXPECT_EQ(dialog->CBX_protocol->currentText(), "VIVU v3");
}

TEST_F(SettingsDialog, ComItemsShowTheirDevices) {
    TSerialPortsSetting ports("/dev/ttyFirst::/dev/<b>x</b>");
    open({});
    const auto shownTip = [&](int i) {  // laid out as a tool tip takes it: markup
        QTextDocument page;
        page.setHtml(dialog->CBX_ComPort->itemData(i, Qt::ToolTipRole).toString());
        return page.toPlainText();
    };
    const QString tips[] = {"/dev/ttyFirst", "no device", "/dev/<b>x</b>", "no device"};
    for (int i = 0; i < 4; ++i) EXPECT_EQ(shownTip(i), tips[i]) << i;
    EXPECT_EQ(shownTip(7), "no device");
}

TEST_F(SettingsDialog, OkStoresTheLinkTypeAndReplacesTheLink) {
    const struct {
        const char* name;
        QString type, comPort, baudRate, host, port;
        Store stored;            // what the store holds afterwards
        std::string address;     // the running link afterwards
        int rate;
        const char* message;     // empty: none
        bool closes;
    } cases[] = {
        {"serial", "Serial", "Com3", "57600", "", "",
         {{"com.Type", "serial"}, {"comm.comport", "3"}, {"comm.baudrate", "57600"}}, "3", 57600, "", true},
        {"network, no host", "Network", "", "", "", "4000",
         {{"com.Type", "network"}, {"comm.hostname", ""}, {"comm.portnum", "4000"}}, "", 4000, "", true},
        // A port or rate that is not a whole number: the type is stored, the link stays.
        {"port text", "Network", "", "", "host", "port", {{"com.Type", "network"}}, "127.0.0.1", 32000,
         "'port' is not a valid integer value", true},
        {"no rate", "Serial", "Com2", "", "", "", {{"com.Type", "serial"}}, "127.0.0.1", 32000,
         "'' is not a valid integer value", true},
        // A rate the ECU does not know, a port TCP has not: refused, nothing stored.
        {"unknown rate", "Serial", "Com1", "230400", "", "", {}, "127.0.0.1", 32000,
         "The ECU knows only the bit rates 9600, 19200, 38400, 57600 and 115200: 230400 bit/s would leave it at a "
         "rate the tool never uses.",
         false},
        {"port 70000", "Network", "", "", "host", "70000", {}, "127.0.0.1", 32000,
         "The port must be a number from 1 to 65535, not 70000.", false},
        // Any other type: nothing at all.
        {"other type", "Bluetooth", "", "", "", "", {}, "127.0.0.1", 32000, "", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        open({});
        linkChanges = 0;
        choose(dialog->cbxType, c.type);
        if (!c.comPort.isEmpty()) choose(dialog->CBX_ComPort, c.comPort);
        choose(dialog->CBX_BaudRate, c.baudRate);
        dialog->hostname->setText(c.host);
        dialog->port->setText(c.port);
        fake.window.forget();

        dialog->BTN_Exit->click();
        EXPECT_EQ(fake.prefs.values, c.stored);
        EXPECT_EQ(controller->getLinkAddress(), c.address);
        EXPECT_EQ(controller->getLinkBaudRate(), c.rate);
        const auto messages = fake.window.messages();
        EXPECT_EQ(messages, *c.message ? std::vector<std::string>{c.message} : std::vector<std::string>{});
        EXPECT_EQ(dialog->isVisible(), !c.closes);
        if (c.closes) {
            EXPECT_EQ(dialog->result(), QDialog::Accepted);
        }
        EXPECT_EQ(linkChanges, c.address == "127.0.0.1" ? 0 : 1);
    }
}

TEST_F(SettingsDialog, CancelChangesNothingAndIsRefusedWhileDisabled) {
    open({{"com.Type", "network"}, {"comm.portnum", "4100"}});
    dialog->port->setText("5000");
    choose(dialog->cbxType, "Serial");

    dialog->BTN_Cancel->setEnabled(false);  // as the first-run check does
    dialog->reject();                        // Escape
    EXPECT_TRUE(dialog->isVisible());
    dialog->BTN_Cancel->setEnabled(true);
    dialog->BTN_Cancel->click();
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(dialog->result(), QDialog::Rejected);
    EXPECT_EQ(fake.prefs.values, (Store{{"com.Type", "network"}, {"comm.portnum", "4100"}}));
    EXPECT_EQ(controller->getLinkBaudRate(), 4100);
    EXPECT_EQ(linkChanges, 0);
}
