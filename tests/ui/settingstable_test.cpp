// The settings table window against the simulated ECU: listing, filter, edits, export and
// restore; settings files opened, edited, compared and written.
#include <gtest/gtest.h>

#include <QAbstractItemModel>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QCheckBox>
#include <QMessageBox>
#include <QMdiArea>
#include <QPushButton>
#include <QTableView>

#include "simecu.h"
#include "ui/modalrunner.h"
#include "ui/settingstable.h"
#include "ui/tunecompare.h"
#include "ui/tunefiles.h"

namespace {

using Events = std::vector<std::string>;

// Chooses `file` in every file chooser without showing it; answers questions with `answer`
// and keeps their texts.
struct TChoosingRunner : TModalRunner {
    int run(QDialog& dialog) override {
        names << dialog.objectName();
        if (auto* box = qobject_cast<QMessageBox*>(&dialog)) {
            questions << box->text();
            return answer;
        }
        static_cast<QFileDialog&>(dialog).selectFile(file);
        return QDialog::Accepted;
    }
    QString file;
    QStringList names, questions;
    int answer = QMessageBox::Yes;
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
    runner.answer = QMessageBox::No;  // the differences are shown first; No writes nothing
    window->btnRestore->click();
    EXPECT_EQ(runner.names, (QStringList{"exportDialog", "restoreDialog", "writeQuestion"}));
    EXPECT_TRUE(runner.questions.value(0).contains("changes 2 settings:\nfan_temp: "));
    EXPECT_TRUE(ecu.events().empty());
    runner.answer = QMessageBox::Yes;
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
    // One value differs from the ECU's, so that the restore writes, stores and reads back.
    std::ofstream(file) << "1\t" << ecu.ecu->settings->getName(1) << "\t" << (ecu.ecu->settings->getValue(1) + 1) % 256
                        << "\n";
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

namespace {

// The export of the simulator's table with some values changed, a name dropped and one added.
std::string changedExport(const TECUSettings& table, const std::map<std::string, int>& values,
                          const std::string& dropped, const std::string& added) {
    std::istringstream lines(settingsToText(table));
    std::string out, line;
    while (std::getline(lines, line)) {
        const size_t a = line.find('\t'), b = line.rfind('\t');
        const std::string name = line.substr(a + 1, b - a - 1);
        if (name == dropped) continue;
        const auto v = values.find(name);
        out += v == values.end() ? line + "\n" : line.substr(0, b + 1) + std::to_string(v->second) + "\n";
    }
    return out + added;
}

}  // namespace

TEST_F(SettingsTableTest, OfflineAFileIsEditedSavedAndComparedWithASecondFile) {
    ASSERT_TRUE(window->exportTo(QString::fromStdString(path("a.txt"))));
    window->setOnline(false);
    TTuneFiles& tunes = *window->tunes;
    EXPECT_FALSE(tunes.btnSaveAs->isEnabled());
    runner.file = QString::fromStdString(path("a.txt"));
    tunes.btnOpen->click();
    ASSERT_TRUE(tunes.hasFile());
    EXPECT_TRUE(window->table->isColumnHidden(TTuneCompareModel::leftColumn));  // the file alone
    EXPECT_FALSE(tunes.btnWrite->isEnabled());
    const int fanTemp = ecu.value("fan_temp");
    const auto fileValue = [&](const QString& name) { return rows()->index(rowOf(name), 3).data().toInt(); };
    EXPECT_EQ(fileValue("fan_temp"), fanTemp);

    // The file's values take the checks the ECU's do.
    const struct {
        const char* text;
        const char* message;  // null: taken
        int value;
    } cases[] = {{"256", "Range check error", fanTemp},
                 {"-1", "Range check error", fanTemp},
                 {"9a", "'9a' is not a valid integer value", fanTemp},
                 {" 77 ", nullptr, 77}};
    for (const auto& c : cases) {
        ecu.fake.window.forget();
        EXPECT_EQ(rows()->setData(rows()->index(rowOf("fan_temp"), 3), c.text), c.message == nullptr) << c.text;
        EXPECT_EQ(ecu.fake.window.messages(), c.message ? Events{c.message} : Events{}) << c.text;
        EXPECT_EQ(fileValue("fan_temp"), c.value) << c.text;
    }
    runner.file = QString::fromStdString(path("b.txt"));
    tunes.btnSaveAs->click();
    std::vector<TBackupEntry> saved;
    ASSERT_EQ(readSettingsBackup(path("b.txt"), saved), "");
    EXPECT_EQ(readFile(path("b.txt")), changedExport(*ecu.ecu->settings, {{"fan_temp", 77}}, "", ""));
    EXPECT_TRUE(ecu.events().empty());  // nothing went to the ECU

    // A second file is compared with the first: the one difference, marked, and the filter.
    ASSERT_TRUE(tunes.openFile(QString::fromStdString(path("a.txt"))));
    EXPECT_FALSE(window->table->isColumnHidden(TTuneCompareModel::leftColumn));
    EXPECT_EQ(tunes.differenceCount->text(), "1 differ");
    tunes.differencesOnly->setChecked(true);
    ASSERT_EQ(rows()->rowCount(), 1);
    EXPECT_EQ(rows()->index(0, 1).data().toString(), "fan_temp");
    EXPECT_EQ(rows()->index(0, 2).data().toInt(), 77);
    EXPECT_EQ(rows()->index(0, 3).data().toInt(), fanTemp);
    EXPECT_EQ(rows()->index(0, 4).data().toString(), "differs");
    EXPECT_TRUE(rows()->index(0, 4).data(Qt::BackgroundRole).isValid());
}

TEST_F(SettingsTableTest, OnlineTheFileBesideTheEcuAndWriteToEcuWritesOnlyTheDifferences) {
    const std::string file = path("tune.txt");
    std::ofstream(file) << changedExport(*ecu.ecu->settings, {{"fan_temp", 77}, {"lcd_c0", 41}}, "fan_hyst",
                                         "255\tno_such\t1\n");
    ASSERT_TRUE(window->tunes->openFile(QString::fromStdString(file)));
    TTuneFiles& tunes = *window->tunes;
    EXPECT_EQ(rows()->headerData(2, Qt::Horizontal).toString(), "ECU");
    EXPECT_EQ(tunes.differenceCount->text(), "4 differ");
    tunes.differencesOnly->setChecked(true);
    const struct {
        const char* name;
        const char* mark;
        QVariant ecuValue, fileValue;
    } expected[] = {{"fan_hyst", "not in file", ecu.value("fan_hyst"), "-"},
                    {"fan_temp", "differs", ecu.value("fan_temp"), 77},
                    {"lcd_c0", "differs", ecu.value("lcd_c0"), 41},
                    {"no_such", "not on ECU", "-", 1}};
    ASSERT_EQ(rows()->rowCount(), 4);
    for (const auto& e : expected) {
        const int r = rowOf(e.name);
        ASSERT_GE(r, 0) << e.name;
        EXPECT_EQ(rows()->index(r, 4).data().toString(), e.mark) << e.name;
        EXPECT_EQ(rows()->index(r, 2).data().toString(), e.ecuValue.toString()) << e.name;
        EXPECT_EQ(rows()->index(r, 3).data().toString(), e.fileValue.toString()) << e.name;
    }
    // The name filter works on top of the differences.
    window->filter->setText("lcd");
    EXPECT_EQ(rows()->rowCount(), 1);
    window->filter->clear();

    // An edit of the ECU's column writes to the ECU, and the row follows.
    EXPECT_TRUE(rows()->setData(rows()->index(rowOf("lcd_c0"), 2), "41"));
    EXPECT_EQ(ecu.events(), Events{ecu.set("lcd_c0", 41)});
    EXPECT_EQ(rowOf("lcd_c0"), -1);  // no longer differs

    // Write to ECU asks first; No writes nothing, Yes only what differs, then stores.
    runner.answer = QMessageBox::No;
    tunes.btnWrite->click();
    EXPECT_EQ(runner.questions.value(0).toStdString().substr(0, 40),
              ("Writing " + file + " to the ECU changes 1 setting:").substr(0, 40));
    EXPECT_TRUE(ecu.events().empty());
    runner.answer = QMessageBox::Yes;
    tunes.btnWrite->click();
    EXPECT_EQ(ecu.events(), (Events{ecu.set("fan_temp", 77), "store"}));
    EXPECT_EQ(ecu.fake.window.messages().back().substr(0, 9), "Restored ");
    EXPECT_EQ(tunes.differenceCount->text(), "2 differ");  // the names only one side holds
}
