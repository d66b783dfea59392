#include "ui/tunefiles.h"

#include <QCheckBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSaveFile>

#include "ecu/ecu.h"
#include "platform/files.h"
#include "platform/services.h"
#include "ui/devicetext.h"
#include "ui/messagebox.h"
#include "ui/modalrunner.h"
#include "ui/tunecompare.h"

namespace {

// The changes a question lists before it says "... and N more".
constexpr int listedChanges = 40;

QPushButton* newButton(QWidget* parent, const char* name, const char* caption) {
    auto* button = new QPushButton(QString::fromLatin1(caption), parent);
    button->setObjectName(QString::fromLatin1(name));
    button->setAutoDefault(false);
    return button;
}

// Asks for a settings file: to open one that exists, or a name to save under.
QString chooseFile(TModalRunner& runner, QWidget* parent, const char* name, const char* title, bool save) {
    QFileDialog chooser(parent, QString::fromLatin1(title));
    chooser.setObjectName(QString::fromLatin1(name));
    chooser.setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    chooser.setFileMode(save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
    chooser.setNameFilters({QStringLiteral("Settings backup (*.txt)"), QStringLiteral("All files (*)")});
    chooser.setDefaultSuffix(QStringLiteral("txt"));
    if (runner.run(chooser) != QDialog::Accepted) return {};
    return chooser.selectedFiles().value(0);
}

QString baseName(const std::string& file) { return QFileInfo(QString::fromStdString(file)).fileName(); }

}  // namespace

std::string readSettingsBackup(const std::string& file, std::vector<TBackupEntry>& entries) {
    std::string text;
    if (const std::string why = readWholeFile(file, text); !why.empty())
        return "Cannot read backup file " + file + ": " + why;
    try {
        entries = parseBackup(text, file);
    } catch (const EBackupFormat& e) {
        return e.what();
    }
    return {};
}

int changedCount(const std::vector<TSettingDifference>& differences) {
    int n = 0;
    for (const auto& d : differences) n += d.left && d.right;
    return n;
}

bool askToWrite(TModalRunner& runner, QWidget* parent, const std::vector<TSettingDifference>& differences,
                const std::string& label) {
    const int changes = changedCount(differences);
    std::string text = "Writing " + label + " to the ECU changes " + std::to_string(changes) +
                       (changes == 1 ? " setting" : " settings") + ":\n";
    int listed = 0;
    for (const auto& d : differences) {
        if (!d.left || !d.right) continue;
        if (listed++ == listedChanges) {
            text += "... and " + std::to_string(changes - listedChanges) + " more\n";
            break;
        }
        text += escapeSettingName(d.name) + ": " + std::to_string(*d.left) + " -> " + std::to_string(*d.right) + "\n";
    }
    text += "\nThe ECU then stores its settings, and they are read back. Write them?";
    TMessageBox box(QMessageBox::Question, QStringLiteral("Write to ECU"), messageText(text), QString(),
                    QMessageBox::Yes | QMessageBox::No, parent);
    box.setObjectName(QStringLiteral("writeQuestion"));
    box.setDefaultButton(QMessageBox::No);
    return runner.run(box) == QMessageBox::Yes;
}

TTuneFiles::TTuneFiles(TECU& ecu, TOperator& op, TModalRunner& runner, QWidget* window)
    : QObject(window), ecu(ecu), op(op), runner(runner), window(window) {
    model = new TTuneCompareModel;
    model->setParent(this);
    model->refuse = [this](const std::string& text) { this->op.window.reportMessage(text); };
    btnOpen = newButton(window, "btnOpen", "Open...");
    btnSaveAs = newButton(window, "btnSaveAs", "Save As...");
    btnWrite = newButton(window, "btnWrite", "Write to ECU");
    differencesOnly = new QCheckBox(QStringLiteral("Differences only"), window);
    differencesOnly->setObjectName(QStringLiteral("differencesOnly"));
    differenceCount = new QLabel(window);
    differenceCount->setObjectName(QStringLiteral("differenceCount"));
    differenceCount->setTextFormat(Qt::PlainText);

    connect(btnOpen, &QPushButton::clicked, this, &TTuneFiles::btnOpenClick);
    connect(btnSaveAs, &QPushButton::clicked, this, &TTuneFiles::btnSaveAsClick);
    connect(btnWrite, &QPushButton::clicked, this, &TTuneFiles::btnWriteClick);
    connect(differencesOnly, &QCheckBox::toggled, this, [this](bool on) { model->setDifferencesOnly(on); });
    connect(model, &QAbstractItemModel::modelReset, this, &TTuneFiles::showCounts);
    model->setEcuEditable(online);
    enableButtons();
}

QHBoxLayout* TTuneFiles::makeRow() {
    auto* row = new QHBoxLayout;
    row->addWidget(btnOpen);
    row->addWidget(btnSaveAs);
    row->addWidget(btnWrite);
    row->addStretch(1);
    row->addWidget(differenceCount);
    row->addWidget(differencesOnly);
    return row;
}

bool TTuneFiles::hasFile() const { return model->hasRight(); }

void TTuneFiles::setOnline(bool on) {
    online = on;
    model->setEcuEditable(on);
    if (hasFile()) showLeft();
    enableButtons();
}

void TTuneFiles::takeEcu() {
    if (hasFile() && online) showLeft();
}

void TTuneFiles::showLeft() {
    if (online)
        model->setLeft(QStringLiteral("ECU"), namedSettings(*ecu.settings, TECUSettings::slotCount), true);
    else if (!leftFile.empty())
        model->setLeft(baseName(leftFile), namedSettings(leftEntries), false);
    else
        model->clearLeft();
    enableButtons();
}

void TTuneFiles::enableButtons() {
    btnSaveAs->setEnabled(hasFile());
    btnWrite->setEnabled(online && hasFile());
    differencesOnly->setEnabled(model->hasLeft());
    showCounts();
}

void TTuneFiles::showCounts() {
    if (!model->hasLeft() || !hasFile()) {
        differenceCount->clear();
        return;
    }
    differenceCount->setText(QStringLiteral("%1 differ").arg(model->differenceCount()));
}

void TTuneFiles::btnOpenClick() {
    const QString file = chooseFile(runner, window, "openTuneDialog", "Open Settings File", false);
    if (!file.isEmpty()) openFile(file);
}

void TTuneFiles::btnSaveAsClick() {
    if (!hasFile()) return;
    const QString file = chooseFile(runner, window, "saveTuneDialog", "Save Settings File As", true);
    if (!file.isEmpty()) saveAs(file);
}

void TTuneFiles::btnWriteClick() {
    if (online && hasFile() && writeToEcu) writeToEcu(model->rightEntries(), rightFile);
}

bool TTuneFiles::openFile(const QString& fileName) {
    const std::string file = fileName.toStdString();
    std::vector<TBackupEntry> entries;
    if (const std::string why = readSettingsBackup(file, entries); !why.empty()) {
        op.window.reportMessage(why);
        return false;
    }
    // Offline, a second file is compared with the first (as it stands in the window).
    if (!online && hasFile()) {
        leftFile = rightFile;
        leftEntries = model->rightEntries();
    }
    rightFile = file;
    model->setRight(baseName(file), std::move(entries));
    showLeft();
    emit fileShown(true);
    return true;
}

bool TTuneFiles::saveAs(const QString& fileName) {
    TECUSettings table;
    for (const TBackupEntry& e : model->rightEntries()) table.setEntry(e.name, e.value, e.slot);
    const QByteArray text = QByteArray::fromStdString(settingsToText(table));
    QSaveFile out(fileName);
    if (!(out.open(QIODevice::WriteOnly) && out.write(text) == text.size() && out.commit())) {
        op.window.reportMessage("Cannot write " + fileName.toStdString() + ": " + out.errorString().toStdString());
        return false;
    }
    rightFile = fileName.toStdString();
    model->setRight(baseName(rightFile), model->rightEntries());
    return true;
}
