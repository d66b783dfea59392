// The settings table window against the simulated ECU: listing, filter, edits, export and
// restore.
#include <gtest/gtest.h>

#include <QAbstractItemModel>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMdiArea>
#include <QPushButton>
#include <QTableView>

#include "simecu.h"
#include "ui/modalrunner.h"
#include "ui/settingstable.h"

namespace {

using Events = std::vector<std::string>;

// Chooses `file` in every file chooser without showing it.
struct TChoosingRunner : TModalRunner {
    int run(QDialog& dialog) override {
        names << dialog.objectName();
        static_cast<QFileDialog&>(dialog).selectFile(file);
        return QDialog::Accepted;
    }
    QString file;
    QStringList names;
};

struct SettingsTableTest : ::testing::Test {
    TSimEcu ecu;
    TChoosingRunner runner;
    QMdiArea area;
    std::unique_ptr<TSettingsTable> window;

    void SetUp() override {
        ASSERT_TRUE(ecu.connected);
        ecu.events();
        window = std::make_unique<TSettingsTable>(*ecu.ecu, ecu.fake.op, runner, &area);
    }
    QAbstractItemModel* rows() { return window->table->model(); }
    // The row of the setting in the view; -1 when it is not shown.
    int rowOf(const QString& name) {
        for (int r = 0; r < rows()->rowCount(); ++r)
            if (rows()->index(r, 1).data().toString() == name) return r;
        return -1;
    }
    int shownValue(const QString& name) { return rows()->index(rowOf(name), 2).data().toInt(); }
    bool edit(const QString& name, const QString& text) { return rows()->setData(rows()->index(rowOf(name), 2), text); }
    std::string path(const char* name) { return ecu.dir.path + "/" + name; }
    std::string readFile(const std::string& file) {
        std::ifstream in(file);
        return std::string((std::istreambuf_iterator<char>(in)), {});
    }
    void TearDown() override { window.reset(); }
};

}  // namespace

TEST_F(SettingsTableTest, ListsEveryNamedSlotFiltersAndWritesEdits) {
    int named = 0, wbo2 = 0;
    for (int i = 0; i < 256; ++i) {
        const std::string& name = ecu.ecu->settings->getName(static_cast<uint8_t>(i));
        named += !name.empty();
        wbo2 += name.find("wbo2") != std::string::npos;
    }
    ASSERT_EQ(rows()->rowCount(), named);
    EXPECT_EQ(rows()->index(0, 0).data().toInt(), 0);
    EXPECT_EQ(rows()->index(0, 1).data().toString(), "config10");
    EXPECT_EQ(shownValue("fan_temp"), ecu.value("fan_temp"));
    EXPECT_EQ(window->summary->text(), QString("%1 settings").arg(named));

    window->filter->setText("WBO2");
    EXPECT_EQ(rows()->rowCount(), wbo2);
    EXPECT_EQ(window->summary->text(), QString("%1 of %2 settings").arg(wbo2).arg(named));
    EXPECT_EQ(rowOf("fan_temp"), -1);
    window->filter->clear();

    // A value is written at once when it is a number from 0 to 255.
    const struct {
        const char* text;
        const char* message;  // null: written
    } cases[] = {{"90", nullptr}, {" 0 ", nullptr}, {"256", "Range check error"},
                 {"-3", "Range check error"}, {"9a", "'9a' is not a valid integer value"}};
    for (const auto& c : cases) {
        ecu.fake.window.forget();
        const bool written = edit("fan_temp", c.text);
        EXPECT_EQ(written, c.message == nullptr) << c.text;
        if (c.message) {
            EXPECT_EQ(ecu.fake.window.messages(), Events{c.message}) << c.text;
            EXPECT_TRUE(ecu.events().empty()) << c.text;
        } else {
            const int value = QString(c.text).trimmed().toInt();
            EXPECT_EQ(ecu.events(), Events{ecu.set("fan_temp", value)}) << c.text;
            EXPECT_EQ(shownValue("fan_temp"), value);
            EXPECT_EQ(ecu.value("fan_temp"), value);
        }
    }
    EXPECT_TRUE(window->btnSave->isEnabled());
    window->btnSave->click();
    EXPECT_FALSE(window->btnSave->isEnabled());
    EXPECT_EQ(ecu.events(), Events{"store"});

    // A write onto a link that has gone: the window and the table keep the last value.
    ecu.fake.window.forget();
    ecu.ecu->link->setActive(false);
    EXPECT_FALSE(edit("fan_temp", "91"));
    EXPECT_EQ(ecu.fake.window.messages(), Events{"Lost connection with ECU while writing fan_temp: the link is closed"});
    EXPECT_EQ(shownValue("fan_temp"), 0);
    EXPECT_EQ(ecu.value("fan_temp"), 0);
    ecu.ecu->link->setActive(true);

    // Offline: nothing can be edited or restored; the table can still be exported.
    window->setOnline(false);
    EXPECT_FALSE(rows()->flags(rows()->index(rowOf("fan_temp"), 2)) & Qt::ItemIsEditable);
    EXPECT_FALSE(edit("fan_temp", "5"));
    EXPECT_FALSE(window->btnRestore->isEnabled());
    EXPECT_TRUE(window->btnExport->isEnabled());
    EXPECT_TRUE(ecu.events().empty());
}

TEST_F(SettingsTableTest, ExportAndRestoreRoundTrip) {
    runner.file = QString::fromStdString(path("backup.txt"));
    window->btnExport->click();
    EXPECT_EQ(runner.names, QStringList{"exportDialog"});
    const std::string exported = readFile(path("backup.txt"));
    ASSERT_EQ(exported, settingsToText(*ecu.ecu->settings));

    // Changed in the file: two values, and a name this ECU does not have.
    std::string changed = exported;
    const auto replace = [&](const std::string& from, const std::string& to) {
        const size_t at = changed.find(from);
        ASSERT_NE(at, std::string::npos) << from;
        changed.replace(at, from.size(), to);
    };
    replace("\tfan_temp\t" + std::to_string(ecu.value("fan_temp")) + "\n", "\tfan_temp\t77\n");
    replace("\tlcd_c0\t" + std::to_string(ecu.value("lcd_c0")) + "\n", "\tlcd_c0\t41\n");
    changed += "255\tno_such\t1\n";
    std::ofstream(path("changed.txt")) << changed;

    runner.file = QString::fromStdString(path("changed.txt"));
    window->btnRestore->click();
    const int restored = rows()->rowCount();
    EXPECT_EQ(ecu.fake.window.messages(),
              Events{"Restored " + std::to_string(restored) + " settings from " + path("changed.txt") + " (" +
                     std::to_string(restored - 2) + " already held the file's value)\nNot in this ECU's table: no_such"});
    const Events events = ecu.events();
    ASSERT_EQ(events.size(), 3u);  // the two that differ, and the store
    EXPECT_EQ(events.back(), "store");
    EXPECT_NE(std::find(events.begin(), events.end(), ecu.set("fan_temp", 77)), events.end());
    EXPECT_NE(std::find(events.begin(), events.end(), ecu.set("lcd_c0", 41)), events.end());
    EXPECT_EQ(shownValue("fan_temp"), 77);
    EXPECT_EQ(shownValue("lcd_c0"), 41);
    EXPECT_FALSE(window->btnSave->isEnabled());
}

TEST(SettingsTableFaults, AReadBackThatDoesNotParseEndsTheRestoreWithAMessage) {
    TSimEcu ecu({{}, {}, {"--stored-value", "0:ZZ"}});
    ASSERT_TRUE(ecu.connected);
    TChoosingRunner runner;
    QMdiArea area;
    TSettingsTable window(*ecu.ecu, ecu.fake.op, runner, &area);
    const std::string file = ecu.dir.path + "/backup.txt";
    std::ofstream(file) << settingsToText(*ecu.ecu->settings);
    EXPECT_FALSE(window.restoreFrom(QString::fromStdString(file)));
    const Events shown = ecu.fake.window.messages();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].rfind("Restoring " + file + " failed: ", 0), 0u) << shown[0];
    const Events events = ecu.events();
    EXPECT_NE(std::find(events.begin(), events.end(), "store"), events.end());
}

TEST_F(SettingsTableTest, WorksFromTheKeyboard) {
    for (const auto& [button, key] : {std::pair{window->btnRestore, Qt::Key_R}, {window->btnExport, Qt::Key_X},
                                      {window->btnSave, Qt::Key_V}})
        EXPECT_EQ(button->shortcut(), QKeySequence(Qt::ALT | key)) << button->text().toStdString();
    EXPECT_FALSE(window->table->tabKeyNavigation());
}
