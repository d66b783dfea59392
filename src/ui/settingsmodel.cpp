#include "ui/settingsmodel.h"

#include "data/ecusettings.h"
#include "ui/devicetext.h"

void TSettingsModel::take(const TECUSettings& table) {
    beginResetModel();
    rows.clear();
    for (int i = 0; i < TECUSettings::slotCount; ++i) {
        const auto slot = static_cast<uint8_t>(i);
        if (table.getName(slot).empty()) continue;
        // Names are single bytes; control bytes are shown escaped, as in a backup.
        rows.push_back({i, deviceText(escapeSettingName(table.getName(slot))), table.getValue(slot)});
    }
    endResetModel();
}

void TSettingsModel::setValue(int slot, int value) {
    for (size_t r = 0; r < rows.size(); ++r) {
        if (rows[r].slot != slot) continue;
        rows[r].value = value;
        const QModelIndex at = index(static_cast<int>(r), valueColumn);
        emit dataChanged(at, at);
    }
}

void TSettingsModel::setEditable(bool on) {
    editable = on;
    if (!rows.empty()) emit dataChanged(index(0, valueColumn), index(rowCount() - 1, valueColumn));
}

int TSettingsModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows.size());
}

int TSettingsModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : columnCount_; }

QVariant TSettingsModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid()) return {};
    const TRow& row = rows[index.row()];
    if (role == Qt::DisplayRole) {
        // Numbers as numbers, so that the columns sort by value.
        if (index.column() == slotColumn) return row.slot;
        if (index.column() == nameColumn) return row.name;
        return row.value;
    }
    if (role == Qt::EditRole && index.column() == valueColumn) return QString::number(row.value);
    if (role == Qt::TextAlignmentRole && index.column() != nameColumn) return QVariant(Qt::AlignRight | Qt::AlignVCenter);
    return {};
}

bool TSettingsModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (role != Qt::EditRole || index.column() != valueColumn || !commit) return false;
    return commit(rows[index.row()].slot, value.toString());
}

Qt::ItemFlags TSettingsModel::flags(const QModelIndex& index) const {
    Qt::ItemFlags f = QAbstractTableModel::flags(index);
    if (editable && index.column() == valueColumn) f |= Qt::ItemIsEditable;
    return f;
}

QVariant TSettingsModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
    static const char* const titles[] = {"Slot", "Name", "Value"};
    return QString::fromLatin1(titles[section]);
}
