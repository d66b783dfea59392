#pragma once
// The settings window's table while a settings file is open: the file beside the ECU (online),
// the file alone (offline), or the file beside the file opened before it (offline). Rows are
// paired by name through the core's comparison (data/settingsdiff); a row whose value differs
// or whose name only one side holds is marked in words and in colour. The file's values can be
// edited here (0 to 255, whole numbers); the ECU's go through `commitEcu`.

#include <QAbstractTableModel>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "data/backupfile.h"
#include "data/settingsdiff.h"

class TTuneCompareModel : public QAbstractTableModel {
public:
    // The value columns: `left` is the ECU or the first file, `right` the file being worked on.
    enum TColumn { slotColumn, nameColumn, leftColumn, rightColumn, markColumn, columnCount_ };
    struct TRow {
        int slot = 0;  // the left side's slot, else the right side's
        std::string name;
        std::optional<uint8_t> left, right;
        std::optional<int> rightSlot;
        bool differs() const { return left != right; }
    };

    // Puts `text` as the ECU's value of `slot`; false when refused (the operator told why).
    std::function<bool(int slot, const QString& text)> commitEcu;
    // A file value refused: the operator's text ("Range check error").
    std::function<void(const std::string& text)> refuse;

    // The left side: a title ("ECU", a file's name) and its settings; none: the file alone.
    void setLeft(const QString& title, std::vector<TNamedSetting> settings, bool isEcu);
    void clearLeft();
    // The file being worked on.
    void setRight(const QString& title, std::vector<TBackupEntry> entries);
    void clearRight();
    void setDifferencesOnly(bool on);
    void setEcuEditable(bool on);

    bool hasLeft() const { return leftTitle.has_value(); }
    bool hasRight() const { return rightTitle.has_value(); }
    const std::vector<TBackupEntry>& rightEntries() const { return entries; }
    // The right side as it stands, compared with the left side.
    std::vector<TSettingDifference> differences() const;
    int differenceCount() const { return static_cast<int>(differences().size()); }
    // The file's value of `slot` becomes `text`; false (refused) when it is no number from 0 to 255.
    bool editRight(int slot, const QString& text);
    bool edited = false;  // the file's values changed since it was opened or saved

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    std::vector<TRow> rows;

private:
    void rebuild();
    // The mark of a row in words: empty when both sides hold the same value.
    QString markOf(const TRow& row) const;

    std::optional<QString> leftTitle, rightTitle;
    std::vector<TNamedSetting> leftSettings;
    std::vector<TBackupEntry> entries;
    bool leftIsEcu = false;
    bool ecuEditable = false;
    bool differencesOnly = false;
};
