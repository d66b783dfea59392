#pragma once
// The settings window's list of the ECU's table: the named slots of a copy of the table (slot,
// name, value). The value is edited as text and handed to `commit`, which writes it or refuses
// it; the view sorts and filters a proxy of it.

#include <QAbstractTableModel>
#include <QString>

#include <functional>
#include <vector>

class TECUSettings;

class TSettingsModel : public QAbstractTableModel {
public:
    enum TColumn { slotColumn, nameColumn, valueColumn, columnCount_ };
    struct TRow {
        int slot;
        QString name;
        int value;
    };

    std::function<bool(int slot, const QString& text)> commit;
    bool editable = true;

    // The rows anew from `table`, in slot order.
    void take(const TECUSettings& table);
    // The value shown for `slot`, after a write or a refused one.
    void setValue(int slot, int value);
    void setEditable(bool on);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    std::vector<TRow> rows;
};
