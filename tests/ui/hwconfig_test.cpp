// The hardware configuration editor against the simulated ECU: what each control writes, and
// what it must not.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QFocusEvent>
#include <QFrame>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <QToolButton>

#include <csignal>
#include <numeric>

#include "simecu.h"
#include "ui/hwconfig.h"

namespace {

using Events = std::vector<std::string>;

enum Page { lcd, wbo2, knock, trigger, outputs, outputDebug };

struct HwConfigTest : ::testing::Test {
    std::unique_ptr<TSimEcu> ecu;
    std::unique_ptr<ThardwareConfig> dialog;

    void open(const TSimLayout& layout = {}) {
        ecu = std::make_unique<TSimEcu>(layout);
        ASSERT_TRUE(ecu->connected);
        dialog = std::make_unique<ThardwareConfig>(*ecu->ecu, ecu->fake.op);
        dialog->show();
        ecu->events();
    }
    void showPage(Page page) { dialog->hwConfigs->setCurrentIndex(page); }
    QLineEdit* box(const char* name) { return dialog->box(name); }
    // Replaces the box's text as the operator does: everything selected, then typed over.
    void type(QLineEdit* field, const QString& text) {
        field->selectAll();
        if (text.isEmpty()) QTest::keyClick(field, Qt::Key_Backspace);
        QTest::keyClicks(field, text);
    }
    void leave(QLineEdit* field) {
        QFocusEvent out(QEvent::FocusOut, Qt::TabFocusReason);
        QApplication::sendEvent(field, &out);
    }
    std::vector<std::string> messages() { return ecu->fake.window.messages(); }
    void TearDown() override {
        dialog.reset();
        ecu.reset();
    }
};

}  // namespace

TEST_F(HwConfigTest, OpensOnOutputDebugAndFillsEachPageWhenItComesIntoView) {
    open();
    EXPECT_EQ(dialog->windowTitle(), "hardwareConfig");
    EXPECT_EQ(dialog->hwConfigs->currentIndex(), outputDebug);
    EXPECT_FALSE(dialog->btnSave->isEnabled());
    ASSERT_EQ(dialog->boxes.size(), 29u);
    ASSERT_EQ(dialog->panels.size(), 25u);
    EXPECT_EQ(box("lcd_c0")->text(), "");

    // Every box shows its own setting once its page is shown, and again after the table
    // changed behind it.
    for (int round = 0; round < 2; ++round) {
        showPage(lcd);
        showPage(wbo2);
        showPage(outputs);
        for (QLineEdit* field : dialog->boxes) {
            std::string name = field->objectName().toStdString();
            if (name.rfind("lcd_offs", 0) == 0) name = "lcd_offs[" + name.substr(8) + "]";
            EXPECT_EQ(field->text().toInt(), ecu->value(name)) << name;
        }
        EXPECT_EQ(dialog->wbo2_nernstdc_target->text().toInt(), ecu->value("wbo2_nernstdc_target"));
        EXPECT_EQ(dialog->calPosition, ecu->value("wbo2_nernstdc_target"));
        for (const char* name : {"lcd_c0", "wbo2_ri_confidence_scale", "fan_temp"}) {
            const int slot = ecu->ecu->settings->findName(name, 0);
            ecu->ecu->settings->setValue(static_cast<uint8_t>(slot), static_cast<uint8_t>(round + 3));
        }
    }
    EXPECT_TRUE(ecu->events().empty());
    EXPECT_TRUE(messages().empty());
}

TEST_F(HwConfigTest, HeaterGainIsWrittenAtEveryChangeOtherBoxesWhenLeftChanged) {
    open();
    showPage(wbo2);
    QLineEdit* kp = box("wbo2_heater_pid_kp");
    type(kp, "1");
    QTest::keyClicks(kp, "20");
    EXPECT_EQ(ecu->events(), (Events{ecu->set("wbo2_heater_pid_kp", 1), ecu->set("wbo2_heater_pid_kp", 12),
                                     ecu->set("wbo2_heater_pid_kp", 120)}));
    EXPECT_TRUE(dialog->btnSave->isEnabled());
    type(kp, "");
    EXPECT_EQ(messages(), Events{"'' is not a valid integer value"});

    // A plain box on leaving it: a number from 0 to 255 is written, anything else refused.
    const struct {
        const char* typed;
        const char* message;  // null: written
    } cases[] = {
        {"0", nullptr}, {"255", nullptr}, {"256", "Range check error"}, {"-1", "Range check error"},
        {"4x", "'4x' is not a valid integer value"}, {"", "'' is not a valid integer value"},
    };
    for (const auto& c : cases) {
        ecu->fake.window.forget();
        QLineEdit* field = box("wbo2_pump_pid_ki");
        type(field, c.typed);
        EXPECT_TRUE(ecu->events().empty()) << "written before leaving: " << c.typed;
        leave(field);
        if (c.message) {
            EXPECT_EQ(messages(), Events{c.message}) << c.typed;
            EXPECT_TRUE(ecu->events().empty()) << c.typed;
            type(field, "8");
            leave(field);
            ecu->events();
        } else {
            EXPECT_TRUE(messages().empty()) << c.typed;
            EXPECT_EQ(ecu->events(), Events{ecu->set("wbo2_pump_pid_ki", std::atoi(c.typed))}) << c.typed;
            EXPECT_EQ(ecu->value("wbo2_pump_pid_ki"), std::atoi(c.typed));
        }
    }

    // Leaving a box the operator has not changed (or already committed) writes nothing.
    leave(box("wbo2_pump_pid_ki"));
    showPage(lcd);
    leave(box("lcd_backlight"));
    EXPECT_TRUE(ecu->events().empty());

    // "Save Changes" has the ECU store them, once.
    QTest::mouseClick(dialog->btnSave, Qt::LeftButton);
    EXPECT_FALSE(dialog->btnSave->isEnabled());
    QTest::mouseClick(dialog->btnSave, Qt::LeftButton);
    EXPECT_EQ(ecu->events(), Events{"store"});
}

TEST_F(HwConfigTest, FanOffTemperatureChannelAndTest) {
    open({{{"fan_temp", 95}, {"fan_hyst", 100}, {"fan_channel", 15}}, {}});
    showPage(outputs);
    EXPECT_EQ(dialog->fan_off_temp->text(), "0");
    EXPECT_EQ(dialog->fan_channel->currentText(), "Misc A");

    type(dialog->fan_off_temp, "90");
    leave(dialog->fan_off_temp);
    type(dialog->fan_off_temp, "100");
    leave(dialog->fan_off_temp);
    EXPECT_EQ(dialog->fan_off_temp->text(), "0");
    EXPECT_EQ(ecu->events(), (Events{ecu->set("fan_hyst", 5), ecu->set("fan_hyst", 0)}));

    dialog->fan_channel->activated(0);
    QTest::keyClick(dialog->fan_channel, Qt::Key_Down);  // "Misc B"
    EXPECT_EQ(ecu->events(), (Events{ecu->set("fan_channel", 1), ecu->set("fan_channel", 17)}));

    // "Test Fan": 0, a second, then what the box holds; pending changes stay as they were.
    dialog->setChangesPending(false);
    type(box("fan_temp"), "88");
    const size_t pausedBefore = ecu->fake.clock.pauses().size();
    QTest::mouseClick(dialog->testFanBtn, Qt::LeftButton);
    const std::vector<int> pauses = ecu->fake.clock.pauses();
    EXPECT_EQ(std::accumulate(pauses.begin() + pausedBefore, pauses.end(), 0), ThardwareConfig::testFanPauseMs);
    EXPECT_EQ(ecu->events(), (Events{ecu->set("fan_temp", 0), ecu->set("fan_temp", 88)}));
    EXPECT_FALSE(dialog->btnSave->isEnabled());
    type(box("fan_temp"), "999");
    QTest::mouseClick(dialog->testFanBtn, Qt::LeftButton);
    EXPECT_EQ(messages(), Events{"Range check error"});
    EXPECT_EQ(ecu->events(), Events{ecu->set("fan_temp", 0)});
    EXPECT_EQ(ecu->value("fan_temp"), 0);
}

TEST_F(HwConfigTest, WidebandSwitchAndCalibration) {
    open({{{"config13", 5}, {"wbo2_nernstdc_target", 254}}, {}});
    showPage(wbo2);
    EXPECT_EQ(dialog->btn_wbenable->text(), "Enable WBO2");
    QTest::mouseClick(dialog->btn_wbenable, Qt::LeftButton);
    EXPECT_EQ(dialog->btn_wbenable->text(), "Disable WBO2");
    QTest::mouseClick(dialog->btn_wbenable, Qt::LeftButton);
    EXPECT_EQ(dialog->btn_wbenable->text(), "Enable WBO2");
    EXPECT_EQ(ecu->events(), (Events{ecu->set("ego_conf", 7), ecu->set("config13", 2), ecu->set("ego_conf", 0),
                                     ecu->set("config13", 0)}));

    // The arrows step one at a time and stop at 255 and 0; every step is written.
    QToolButton* up = dialog->btnCalUp;
    QToolButton* down = dialog->btnCalDown;
    for (QToolButton* arrow : {up, up}) QTest::mouseClick(arrow, Qt::LeftButton);
    EXPECT_EQ(dialog->wbo2_nernstdc_target->text(), "255");
    dialog->wbo2_nernstdc_target->setText("1");
    for (QToolButton* arrow : {down, down}) QTest::mouseClick(arrow, Qt::LeftButton);
    EXPECT_EQ(dialog->wbo2_nernstdc_target->text(), "0");
    const std::string target = "wbo2_nernstdc_target";
    EXPECT_EQ(ecu->events(), (Events{ecu->set(target, 255), ecu->set(target, 255), ecu->set(target, 0),
                                     ecu->set(target, 0)}));

    // "Calibrate WBO2" only switches the output test mode on.
    dialog->setChangesPending(false);
    QTest::mouseClick(dialog->btnCalibrate, Qt::LeftButton);
    EXPECT_EQ(ecu->events(), Events{"output-test on"});
    EXPECT_FALSE(dialog->btnSave->isEnabled());
}

TEST_F(HwConfigTest, OutputPanelsSwitchAndAreSwitchedOffWhenTheDialogCloses) {
    open();
    QFrame* coil3 = dialog->panel("COIL3");
    QFrame* led1 = dialog->panel("LED1");
    for (QFrame* panel : dialog->panels) EXPECT_EQ(panel->frameShadow(), QFrame::Raised) << panel->objectName().toStdString();
    QTest::mouseClick(coil3, Qt::LeftButton);
    EXPECT_EQ(coil3->frameShadow(), QFrame::Sunken);
    QTest::mouseClick(coil3, Qt::LeftButton);
    EXPECT_EQ(coil3->frameShadow(), QFrame::Raised);
    QTest::mouseClick(led1, Qt::LeftButton);
    QTest::mouseClick(dialog->panel("Panel9"), Qt::LeftButton);
    EXPECT_EQ(ecu->events(), (Events{"output 50 on", "output 50 off", "output 39 on", "output 112 on"}));
    EXPECT_FALSE(dialog->btnSave->isEnabled());

    QTest::mouseClick(dialog->Close, Qt::LeftButton);
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(dialog->result(), QDialog::Accepted);
    EXPECT_EQ(ecu->events(), (Events{"output 39 off", "output 112 off"}));
    const std::string log = ecu->fake.log.all();
    EXPECT_NE(log.find("LED1 (onboard) (output 39) switched off"), std::string::npos) << log;
    EXPECT_NE(log.find("Injector Pos #8 (output 112) switched off"), std::string::npos) << log;

    // Destroyed with an output on (closed some other way): switched off as well.
    dialog->show();
    QTest::mouseClick(dialog->panel("Panel1"), Qt::LeftButton);
    dialog.reset();
    EXPECT_EQ(ecu->events(), (Events{"output 83 on", "output 83 off"}));
}

TEST_F(HwConfigTest, AnOutputLeftOnWhenTheLinkIsCutIsNamedAsItClosesAndItsPanelStaysOn) {
    open();
    QFrame* coil2 = dialog->panel("COIL2");
    QTest::mouseClick(coil2, Qt::LeftButton);
    ASSERT_EQ(ecu->events(), Events{"output 34 on"});
    ecu->sim->stop(SIGKILL);

    QTest::mouseClick(dialog->Close, Qt::LeftButton);
    const auto shown = messages();
    ASSERT_EQ(shown.size(), 1u);
    for (const char* part : {"COIL2 (36-34) (output 34) may still be on", "Power the ECU down"})
        EXPECT_NE(shown[0].find(part), std::string::npos) << shown[0];
    EXPECT_EQ(coil2->frameShadow(), QFrame::Sunken);
    EXPECT_NE(ecu->fake.log.all().find("COIL2 (36-34) (output 34) may still be on"), std::string::npos);
}

TEST_F(HwConfigTest, AnOutputThatIsOnIsRedAndMarkedAndPanelsWorkByKeyboard) {
    open();
    const auto redShare = [](QFrame* panel) {  // of its pixels, in the colour of an output that is on
        const QImage image = panel->grab().toImage();
        int red = 0;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x) red += image.pixelColor(x, y) == QColor(0xd0, 0x10, 0x10);
        return double(red) / (image.width() * image.height());
    };
    QFrame* inj = dialog->panel("INJ0");
    QLabel* mark = inj->findChild<QLabel*>("onMark");
    ASSERT_TRUE(mark);
    EXPECT_EQ(inj->focusPolicy(), Qt::StrongFocus);
    for (const bool on : {true, false}) {
        QTest::keyClick(inj, Qt::Key_Space);
        EXPECT_EQ(ecu->events(), Events{on ? "output 0 on" : "output 0 off"});
        EXPECT_EQ(inj->frameShadow(), on ? QFrame::Sunken : QFrame::Raised);
        EXPECT_EQ(mark->isVisible(), on);
        EXPECT_EQ(mark->text(), "ON");
        EXPECT_EQ(redShare(inj) > 0.5, on);
    }

    // Ctrl+Tab and Ctrl+Shift+Tab turn the pages from a panel and from the buttons below.
    QTest::keyClick(inj, Qt::Key_Tab, Qt::ControlModifier);
    EXPECT_EQ(dialog->hwConfigs->currentIndex(), lcd);
    QTest::keyClick(dialog->Close, Qt::Key_Tab, Qt::ControlModifier);
    EXPECT_EQ(dialog->hwConfigs->currentIndex(), wbo2);
    QTest::keyClick(dialog->Close, Qt::Key_Backtab, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(dialog->hwConfigs->currentIndex(), lcd);
}

TEST_F(HwConfigTest, ASettingTheTableLacksStopsWithAMessageAndWritesNothing) {
    open({{{"fan_channel", 17}}, {"fan_temp"}});
    dialog->fan_off_temp->setText("keep");
    showPage(outputs);
    EXPECT_EQ(messages(), Events{"This ECU has no setting named fan_temp"});
    EXPECT_EQ(dialog->fan_channel->currentText(), "Misc B");  // filled before the missing one
    EXPECT_EQ(dialog->fan_off_temp->text(), "keep");

    ecu->fake.window.forget();
    type(box("fan_temp"), "90");
    leave(box("fan_temp"));
    QTest::mouseClick(dialog->testFanBtn, Qt::LeftButton);
    EXPECT_EQ(messages(), (Events{"This ECU has no setting named fan_temp", "This ECU has no setting named fan_temp"}));
    EXPECT_TRUE(ecu->events().empty());
    EXPECT_FALSE(dialog->btnSave->isEnabled());
}
