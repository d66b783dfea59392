#include "ui/tunecompare.h"

#include <QBrush>
#include <QColor>

#include <map>
#include <utility>

#include "platform/convert.h"
#include "ui/devicetext.h"

namespace {

// Light enough for black text; the mark column says the same in words.
constexpr QRgb differsColour = 0xffe4a0;
constexpr QRgb oneSideColour = 0xc8dcff;

using TKey = std::pair<std::string, int>;  // a name and its order among the slots of that name

}  // namespace

void TTuneCompareModel::setLeft(const QString& title, std::vector<TNamedSetting> settings, bool isEcu) {
    leftTitle = title;
    leftSettings = std::move(settings);
    leftIsEcu = isEcu;
    rebuild();
}

void TTuneCompareModel::clearLeft() {
    leftTitle.reset();
    leftSettings.clear();
    leftIsEcu = false;
    rebuild();
}

void TTuneCompareModel::setRight(const QString& title, std::vector<TBackupEntry> newEntries) {
    rightTitle = title;
    entries = std::move(newEntries);
    edited = false;
    rebuild();
}

void TTuneCompareModel::clearRight() {
    rightTitle.reset();
    entries.clear();
    edited = false;
    rebuild();
}

void TTuneCompareModel::setDifferencesOnly(bool on) {
    differencesOnly = on;
    rebuild();
}

void TTuneCompareModel::setEcuEditable(bool on) {
    ecuEditable = on;
    if (!rows.empty()) emit dataChanged(index(0, leftColumn), index(rowCount() - 1, leftColumn));
}

std::vector<TSettingDifference> TTuneCompareModel::differences() const {
    if (!hasLeft()) return {};
    return compareByName(leftSettings, namedSettings(entries));
}

void TTuneCompareModel::rebuild() {
    beginResetModel();
    rows.clear();
    const std::vector<TNamedSetting> right = namedSettings(entries);
    if (!hasLeft()) {
        for (const TNamedSetting& s : right) rows.push_back({s.slot, s.name, std::nullopt, s.value, s.slot});
    } else {
        // Which rows differ is the core's comparison; the pairs that agree take the right
        // side's slot by the same rule: the k-th slot of a name with the k-th.
        std::map<TKey, TSettingDifference> differing;
        for (TSettingDifference& d : compareByName(leftSettings, right)) differing[{d.name, d.occurrence}] = d;
        std::map<TKey, int> rightSlots;
        std::map<std::string, int> seen;
        for (const TNamedSetting& s : right) rightSlots[{s.name, seen[s.name]++}] = s.slot;
        seen.clear();
        for (const TNamedSetting& s : leftSettings) {
            const TKey key{s.name, seen[s.name]++};
            const auto d = differing.find(key);
            if (d != differing.end())
                rows.push_back({s.slot, s.name, s.value, d->second.right, d->second.rightSlot});
            else if (!differencesOnly)
                rows.push_back({s.slot, s.name, s.value, s.value, rightSlots[key]});
        }
        for (const auto& [key, d] : differing)
            if (!d.left) rows.push_back({*d.rightSlot, d.name, std::nullopt, d.right, d.rightSlot});
    }
    endResetModel();
}

bool TTuneCompareModel::editRight(int slot, const QString& text) {
    for (TBackupEntry& e : entries) {
        if (e.slot != slot) continue;
        int value = 0;
        try {
            value = strToInt(text.trimmed().toStdString());
        } catch (const EConvertError& e) {
            if (refuse) refuse(e.what());
            return false;
        }
        if (value < 0 || value > 255) {
            if (refuse) refuse("Range check error");
            return false;
        }
        if (e.value != value) edited = true;
        e.value = static_cast<uint8_t>(value);
        rebuild();
        return true;
    }
    return false;
}

QString TTuneCompareModel::markOf(const TRow& row) const {
    if (!hasLeft() || !row.differs()) return {};
    if (!row.left) return leftIsEcu ? QStringLiteral("not on ECU") : QStringLiteral("only in file");
    if (!row.right) return QStringLiteral("not in file");
    return QStringLiteral("differs");
}

int TTuneCompareModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows.size());
}

int TTuneCompareModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : columnCount_; }

QVariant TTuneCompareModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid()) return {};
    const TRow& row = rows[index.row()];
    const int column = index.column();
    const std::optional<uint8_t>& value = column == leftColumn ? row.left : row.right;
    if (role == Qt::DisplayRole) {
        // Numbers as numbers, so that the columns sort by value; "-" for a side without the name.
        if (column == slotColumn) return row.slot;
        if (column == nameColumn) return deviceText(escapeSettingName(row.name));
        if (column == markColumn) return markOf(row);
        return value ? QVariant(int(*value)) : QVariant(QStringLiteral("-"));
    }
    if (role == Qt::EditRole && (column == leftColumn || column == rightColumn) && value)
        return QString::number(*value);
    if (role == Qt::BackgroundRole && hasLeft() && row.differs())
        return QBrush(QColor(row.left && row.right ? differsColour : oneSideColour));
    if (role == Qt::ForegroundRole && hasLeft() && row.differs()) return QBrush(Qt::black);
    if (role == Qt::TextAlignmentRole && (column == slotColumn || column == leftColumn || column == rightColumn))
        return QVariant(Qt::AlignRight | Qt::AlignVCenter);
    return {};
}

bool TTuneCompareModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (role != Qt::EditRole || !(flags(index) & Qt::ItemIsEditable)) return false;
    const TRow row = rows[index.row()];
    if (index.column() == rightColumn) return editRight(*row.rightSlot, value.toString());
    return commitEcu && commitEcu(row.slot, value.toString());
}

Qt::ItemFlags TTuneCompareModel::flags(const QModelIndex& index) const {
    Qt::ItemFlags f = QAbstractTableModel::flags(index);
    if (!index.isValid()) return f;
    const TRow& row = rows[index.row()];
    if (index.column() == rightColumn && row.right) f |= Qt::ItemIsEditable;
    if (index.column() == leftColumn && row.left && leftIsEcu && ecuEditable) f |= Qt::ItemIsEditable;
    return f;
}

QVariant TTuneCompareModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
    switch (section) {
    case slotColumn: return QStringLiteral("Slot");
    case nameColumn: return QStringLiteral("Name");
    case leftColumn: return leftTitle.value_or(QString());
    case rightColumn: return rightTitle.value_or(QStringLiteral("File"));
    default: return QStringLiteral("Mark");
    }
}
