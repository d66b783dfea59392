#pragma once
// The settings table window: a child window of the main window's document area listing every
// named slot of the ECU's settings table (slot, name, value in decimal). A value edited in the
// list is written to the ECU at once; "Save Changes" has the ECU store what was written.
// "Export..." saves the table as a settings backup, and "Restore..." writes such a backup back
// by name and has the ECU store it, as veltrace-cli's `restore` does, after the differences
// were shown and the operator agreed. Settings files can also be opened, edited, compared and
// written from the window (ui/tunefiles).
//
// The list is a copy of the table taken by refresh(): the firmware update changes the table on
// the ECU worker while this window may be painted.

#include <QMdiSubWindow>

#include <string>
#include <vector>

class QLabel;
class QLineEdit;
class QMdiArea;
class QPushButton;
class QSortFilterProxyModel;
class QTableView;
class TECU;
class TModalRunner;
class TSettingsModel;
class TTuneFiles;
struct TBackupEntry;
struct TOperator;

class TSettingsTable : public QMdiSubWindow {
    Q_OBJECT

public:
    // A new window inside `area`, shown at once; closing it deletes it. Messages go to the
    // operator's window; `runner` runs the file choosers. All three outlive the window.
    TSettingsTable(TECU& ecu, TOperator& op, TModalRunner& runner, QMdiArea* area);
    ~TSettingsTable() override;

    // Takes the table from the ECU object again (after a firmware update, a new connection,
    // the hardware editor).
    void refresh();
    // Editing, "Save Changes" and "Restore..." only while the ECU is online; "Export..." saves
    // the table as it was last taken.
    void setOnline(bool on);

    // Puts `text` as the value of the setting in `slot` and writes it to the ECU; false (the
    // operator told why) when it is no number from 0 to 255 or the slot has no name.
    bool editValue(int slot, const QString& text);
    void btnSaveClick();
    // Each asks for a file first.
    void btnExportClick();
    void btnRestoreClick();
    // Without asking. True when done; otherwise the operator was told why.
    bool exportTo(const QString& fileName);
    bool restoreFrom(const QString& fileName);
    // Writes `backup` by name after showing what changes and asking; stores, reads back and
    // reports. `label` names it (the file). True when the ECU holds it.
    bool restoreEntries(const std::vector<TBackupEntry>& backup, const std::string& label);

    void setChangesPending(bool pending);
    bool changesPending = false;

    QLineEdit* filter = nullptr;
    QTableView* table = nullptr;
    QLabel* summary = nullptr;
    QPushButton* btnSave = nullptr;
    QPushButton* btnExport = nullptr;
    QPushButton* btnRestore = nullptr;
    // The rows, in slot order (the view sorts and filters a proxy of it).
    TSettingsModel* model = nullptr;
    QSortFilterProxyModel* filtered = nullptr;
    // The settings files: while one is open, the view shows its comparison model.
    TTuneFiles* tunes = nullptr;

signals:
    // Something was written to the ECU or stored.
    void ecuWritten();

private:
    // exportTo and restoreFrom inside the guard.
    bool exportFile(const QString& fileName);
    bool restoreFile(const QString& fileName);
    void showSummary();
    // The ECU's list, or the open file's comparison.
    void showSource();
    void report(const std::string& text);

    TECU& ecu;
    TOperator& op;
    TModalRunner& runner;
    bool online = true;
};
