#include "ui/settingstable.h"

#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMdiArea>
#include <QPushButton>
#include <QSaveFile>
#include <QSortFilterProxyModel>
#include <QTableView>

#include <algorithm>
#include <QVBoxLayout>

#include <vector>

#include "data/backupfile.h"
#include "data/settingsdiff.h"
#include "ecu/ecu.h"
#include "ecu/restore.h"
#include "platform/convert.h"
#include "platform/files.h"
#include "platform/services.h"
#include "ui/ecuwork.h"
#include "ui/hwconfig.h"
#include "ui/modalrunner.h"
#include "ui/settingsmodel.h"
#include "ui/tunecompare.h"
#include "ui/tunefiles.h"

namespace {

constexpr int fileShownWidth = 580;

QPushButton* newButton(QWidget* parent, const char* name, const char* caption) {
    auto* button = new QPushButton(QString::fromLatin1(caption), parent);
    button->setObjectName(QString::fromLatin1(name));
    button->setAutoDefault(false);
    return button;
}

// A file chooser of the window.
QFileDialog* newChooser(QWidget* parent, const char* name, const char* title, QFileDialog::AcceptMode mode) {
    auto* dialog = new QFileDialog(parent, QString::fromLatin1(title));
    dialog->setObjectName(QString::fromLatin1(name));
    dialog->setAcceptMode(mode);
    dialog->setFileMode(mode == QFileDialog::AcceptOpen ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
    dialog->setNameFilters({QStringLiteral("Settings backup (*.txt)"), QStringLiteral("All files (*)")});
    dialog->setDefaultSuffix(QStringLiteral("txt"));
    return dialog;
}

}  // namespace

TSettingsTable::TSettingsTable(TECU& ecu, TOperator& op, TModalRunner& runner, QMdiArea* area)
    : ecu(ecu), op(op), runner(runner) {
    setObjectName(QStringLiteral("settingsTable"));
    setWindowTitle(QStringLiteral("Settings Table"));
    setAttribute(Qt::WA_DeleteOnClose);

    auto* client = new QWidget;
    filter = new QLineEdit(client);
    filter->setObjectName(QStringLiteral("filter"));
    filter->setPlaceholderText(QStringLiteral("Filter by name"));
    filter->setClearButtonEnabled(true);
    summary = new QLabel(client);
    summary->setObjectName(QStringLiteral("summary"));

    model = new TSettingsModel;
    model->setParent(this);
    model->commit = [this](int slot, const QString& text) { return editValue(slot, text); };
    filtered = new QSortFilterProxyModel(this);
    filtered->setSourceModel(model);
    filtered->setFilterKeyColumn(TSettingsModel::nameColumn);
    filtered->setFilterCaseSensitivity(Qt::CaseInsensitive);

    table = new QTableView(client);
    table->setObjectName(QStringLiteral("table"));
    table->setModel(filtered);
    table->setSortingEnabled(true);
    table->sortByColumn(TSettingsModel::slotColumn, Qt::AscendingOrder);
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->setSelectionMode(QAbstractItemView::SingleSelection);
    table->setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::EditKeyPressed |
                           QAbstractItemView::AnyKeyPressed);
    // The arrows move between the cells; Tab leaves the table for the buttons.
    table->setTabKeyNavigation(false);
    table->verticalHeader()->hide();
    table->verticalHeader()->setDefaultSectionSize(table->fontMetrics().height() + 6);
    table->horizontalHeader()->setSectionResizeMode(TSettingsModel::nameColumn, QHeaderView::Stretch);
    table->setColumnWidth(TSettingsModel::slotColumn, 48);
    table->setColumnWidth(TSettingsModel::valueColumn, 64);

    // Access keys the menu bar leaves free (F, E, C, S, T and H are its menus').
    btnSave = newButton(client, "btnSave", "Sa&ve Changes");
    btnExport = newButton(client, "btnExport", "E&xport...");
    btnRestore = newButton(client, "btnRestore", "&Restore...");

    auto* top = new QHBoxLayout;
    top->addWidget(filter, 1);
    top->addWidget(summary);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(btnSave);
    buttons->addStretch(1);
    buttons->addWidget(btnExport);
    buttons->addWidget(btnRestore);
    auto* layout = new QVBoxLayout(client);
    layout->addLayout(top);
    layout->addWidget(table, 1);
    layout->addLayout(buttons);
    tunes = new TTuneFiles(ecu, op, runner, client);
    layout->addLayout(tunes->makeRow());
    setWidget(client);

    connect(filter, &QLineEdit::textChanged, this, [this](const QString& text) {
        filtered->setFilterFixedString(text);
        showSummary();
    });
    connect(btnSave, &QPushButton::clicked, this, &TSettingsTable::btnSaveClick);
    connect(btnExport, &QPushButton::clicked, this, &TSettingsTable::btnExportClick);
    connect(btnRestore, &QPushButton::clicked, this, &TSettingsTable::btnRestoreClick);

    // The open file's comparison follows the ECU's list; its ECU column writes as the list does.
    connect(model, &QAbstractItemModel::modelReset, tunes, &TTuneFiles::takeEcu);
    connect(model, &QAbstractItemModel::dataChanged, tunes, &TTuneFiles::takeEcu);
    connect(tunes, &TTuneFiles::fileShown, this, &TSettingsTable::showSource);
    connect(tunes->model, &QAbstractItemModel::modelReset, this, &TSettingsTable::showSource);
    // The count once the view's rows have followed a change of the rows.
    connect(filtered, &QAbstractItemModel::modelReset, this, &TSettingsTable::showSummary);
    tunes->model->commitEcu = [this](int slot, const QString& text) { return editValue(slot, text); };
    tunes->writeToEcu = [this](const std::vector<TBackupEntry>& backup, const std::string& label) {
        return restoreEntries(backup, label);
    };

    setChangesPending(false);
    refresh();
    area->addSubWindow(this);
    // Narrow, but never narrower than its row of buttons.
    resize(std::max(360, minimumSizeHint().width()), 440);
    show();
}

TSettingsTable::~TSettingsTable() = default;

void TSettingsTable::refresh() {
    model->take(*ecu.settings);
    showSummary();
}

void TSettingsTable::setOnline(bool on) {
    online = on;
    model->setEditable(on);
    tunes->setOnline(on);
    btnRestore->setEnabled(on);
    btnSave->setEnabled(on && changesPending);
}

void TSettingsTable::setChangesPending(bool pending) {
    changesPending = pending;
    btnSave->setEnabled(online && pending);
}

void TSettingsTable::showSource() {
    TTuneCompareModel* compare = tunes->model;
    QAbstractItemModel* source = tunes->hasFile() ? static_cast<QAbstractItemModel*>(compare) : model;
    if (filtered->sourceModel() != source) {
        filtered->setSourceModel(source);
        // Room for two value columns and the marks, and for the file's name over its column.
        if (source == compare && width() < fileShownWidth) resize(fileShownWidth, height());
        table->setColumnWidth(TTuneCompareModel::markColumn, 80);
    }
    if (source == compare) {
        table->resizeColumnToContents(TTuneCompareModel::leftColumn);
        table->resizeColumnToContents(TTuneCompareModel::rightColumn);
    }
    const bool compared = source == compare && compare->hasLeft();
    table->setColumnHidden(TTuneCompareModel::leftColumn, source == compare && !compared);
    table->setColumnHidden(TTuneCompareModel::markColumn, !compared);
    showSummary();
}

void TSettingsTable::showSummary() {
    const int all = filtered->sourceModel()->rowCount(), shown = filtered->rowCount();
    summary->setText(shown == all ? QStringLiteral("%1 settings").arg(all)
                                  : QStringLiteral("%1 of %2 settings").arg(shown).arg(all));
}

void TSettingsTable::report(const std::string& text) { op.window.reportMessage(text); }

bool TSettingsTable::editValue(int slot, const QString& text) {
    if (!online || slot < 0 || slot >= TECUSettings::slotCount) return false;
    const auto index = static_cast<uint8_t>(slot);
    if (ecu.settings->getName(index).empty() || refusedForBootloader(ecu, op.window)) return false;
    int value = 0;
    if (!guarded(op.window, [&] { value = strToInt(text.trimmed().toStdString()); })) return false;
    if (value < 0 || value > 255) {
        report("Range check error");
        return false;
    }
    const uint8_t before = ecu.settings->getValue(index);
    return guarded(op.window, [&] {
        // The write may have gone out even when the link failed after it: the store is offered
        // and the not-stored count follows either way.
        const auto written = [&] {
            setChangesPending(true);
            emit ecuWritten();
        };
        try {
            ecu.writeSettingConfirmed(index, static_cast<uint8_t>(value));
        } catch (...) {
            // Not written: the table and the window keep the value the ECU was last known to hold.
            ecu.settings->setValue(index, before);
            model->setValue(slot, before);
            written();
            throw;
        }
        model->setValue(slot, value);
        written();
    });
}

void TSettingsTable::btnSaveClick() {
    if (!changesPending) return;
    setChangesPending(false);
    guarded(op.window, [&] { ecu.storeConfirmed(); });
    emit ecuWritten();
}

void TSettingsTable::btnExportClick() {
    QFileDialog* chooser = newChooser(this, "exportDialog", "Export Settings", QFileDialog::AcceptSave);
    if (runner.run(*chooser) == QDialog::Accepted && !chooser->selectedFiles().isEmpty())
        exportTo(chooser->selectedFiles().value(0));
    chooser->deleteLater();
}

void TSettingsTable::btnRestoreClick() {
    QFileDialog* chooser = newChooser(this, "restoreDialog", "Restore Settings", QFileDialog::AcceptOpen);
    if (runner.run(*chooser) == QDialog::Accepted && !chooser->selectedFiles().isEmpty())
        restoreFrom(chooser->selectedFiles().value(0));
    chooser->deleteLater();
}

bool TSettingsTable::exportTo(const QString& fileName) {
    bool done = false;
    guarded(op.window, [&] { done = exportFile(fileName); });
    return done;
}

bool TSettingsTable::exportFile(const QString& fileName) {
    const QByteArray text = QByteArray::fromStdString(settingsToText(*ecu.settings));
    QSaveFile file(fileName);
    if (file.open(QIODevice::WriteOnly) && file.write(text) == text.size() && file.commit()) return true;
    report("Cannot write " + fileName.toStdString() + ": " + file.errorString().toStdString());
    return false;
}

bool TSettingsTable::restoreFrom(const QString& fileName) {
    bool done = false;
    guarded(op.window, [&] { done = restoreFile(fileName); });
    return done;
}

bool TSettingsTable::restoreFile(const QString& fileName) {
    const std::string file = fileName.toStdString();
    if (!online || refusedForBootloader(ecu, op.window)) return false;
    std::vector<TBackupEntry> backup;
    if (const std::string why = readSettingsBackup(file, backup); !why.empty()) {
        report(why);
        return false;
    }
    return restoreEntries(backup, file);
}

bool TSettingsTable::restoreEntries(const std::vector<TBackupEntry>& backup, const std::string& file) {
    if (!online || refusedForBootloader(ecu, op.window)) return false;
    if (const std::string why = restoreRefusal(ecu, backup, file); !why.empty()) {
        report(why);
        return false;
    }
    // What would change is shown first; nothing is written unless the operator agrees.
    const auto writes = restoreWrites(ecu, backup);
    if (writes.empty()) {
        report(nothingToRestoreText(file));
        return true;
    }
    if (!askToWrite(runner, this, writes, file)) return false;

    const TRestoreReport done = restoreBackup(ecu, backup, file);
    // Whatever happened, the list shows what the table now holds.
    refresh();
    emit ecuWritten();
    if (done.succeeded) setChangesPending(false);  // the restore stored everything
    report(done.text);
    return done.succeeded;
}
