#pragma once
// Settings files in the settings table window: "Open..." a file (beside the ECU online, alone
// offline, beside the file opened before it offline), "Save As..." the file as edited, "Write
// to ECU" the file's differing values, and "Differences only". The window puts the buttons in
// its layout and shows `model` instead of the ECU's list while a file is open.

#include <QObject>
#include <QString>

#include <functional>
#include <string>
#include <vector>

#include "data/backupfile.h"
#include "data/settingsdiff.h"

class QCheckBox;
class QHBoxLayout;
class QLabel;
class QPushButton;
class QWidget;
class TECU;
class TModalRunner;
class TTuneCompareModel;
struct TOperator;

// Reads and checks a settings file; the reason in the operator's words when it cannot be used
// ("Cannot read backup file F: why", the format error with its line), empty when `entries`
// holds it.
std::string readSettingsBackup(const std::string& file, std::vector<TBackupEntry>& entries);

// "Writing FILE to the ECU changes N settings: ..." with the changes listed, Yes and No; true
// for Yes. `differences` is the ECU (left) against the file (right).
bool askToWrite(TModalRunner& runner, QWidget* parent, const std::vector<TSettingDifference>& differences,
                const std::string& label);
// How many settings writing would change: the names both sides hold with different values.
int changedCount(const std::vector<TSettingDifference>& differences);

class TTuneFiles : public QObject {
    Q_OBJECT

public:
    // The buttons are made as children of `window`, which is the parent of the file choosers.
    TTuneFiles(TECU& ecu, TOperator& op, TModalRunner& runner, QWidget* window);

    // Writes the file's values through the window's restore: (entries, the file's name).
    std::function<bool(const std::vector<TBackupEntry>&, const std::string&)> writeToEcu;

    // The buttons and the filter, left to right.
    QHBoxLayout* makeRow();
    void setOnline(bool on);
    // The ECU's table again (after a write, a new connection, a firmware update).
    void takeEcu();
    bool hasFile() const;

    // Each asks for a file first.
    void btnOpenClick();
    void btnSaveAsClick();
    void btnWriteClick();
    // Without asking; true when done, otherwise the operator was told why.
    bool openFile(const QString& fileName);
    bool saveAs(const QString& fileName);
    // The file's differences as "N differ", the count of settings that would be written.
    void showCounts();

    QPushButton* btnOpen = nullptr;
    QPushButton* btnSaveAs = nullptr;
    QPushButton* btnWrite = nullptr;
    QCheckBox* differencesOnly = nullptr;
    QLabel* differenceCount = nullptr;
    TTuneCompareModel* model = nullptr;

signals:
    // A file was opened or closed: the window shows the model or the ECU's list.
    void fileShown(bool shown);

private:
    void showLeft();
    void enableButtons();

    TECU& ecu;
    TOperator& op;
    TModalRunner& runner;
    QWidget* window;
    bool online = true;
    std::string rightFile;  // the file being worked on
    std::string leftFile;   // offline: the file opened before it
    std::vector<TBackupEntry> leftEntries;
};
