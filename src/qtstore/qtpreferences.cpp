#include "qtstore/qtpreferences.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QString>
#include <QVariant>

#include <memory>

namespace {

std::unique_ptr<QSettings> openStore(const std::string& fileName) {
    if (fileName.empty())
        return std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                           TQtPreferences::organisation, TQtPreferences::application);
    return std::make_unique<QSettings>(QString::fromStdString(fileName), QSettings::IniFormat);
}

// Why a store failed, for the operator's message.
std::string why(QSettings::Status status, const char* access) {
    if (status == QSettings::FormatError) return "the file is damaged";
    return std::string("the file cannot be ") + access;
}

// Whether the settings file holds a value that QSettings decodes from a binary stream
// (@Variant, @DateTime). This store writes texts only, so such a value was put there by hand
// or by damage, and QSettings believes the lengths inside it: a damaged one has it allocate
// gigabytes and hang before it fails, on reading any key and on every write (which reads the
// whole file again).
bool holdsStreamedValue(const QSettings& store) {
#ifdef Q_OS_WIN
    if (store.format() == QSettings::NativeFormat) return false;  // the registry
#endif
    QFile file(store.fileName());
    if (!file.open(QIODevice::ReadOnly)) return false;
    const QByteArray text = file.readAll();
    return text.contains("@Variant(") || text.contains("@DateTime(");
}
constexpr const char* streamedValue = "the file holds a value that is not a text (@Variant or @DateTime); mend or "
                                      "delete that line";

// Whether the settings file can be written, tested as QSettings tests it before it writes. A
// write that QSettings refuses stays pending in its process-wide cache of settings files, and
// every later use of the same file would try it again and fail; so nothing is handed to it
// that it cannot write.
bool canWrite(const QSettings& store) {
#ifdef Q_OS_WIN
    if (store.format() == QSettings::NativeFormat) return true;  // the registry
#endif
    const QString path = store.fileName();
    QFile file(path);
    if (QFileInfo::exists(path)) return file.open(QIODevice::ReadWrite);
    if (!QDir().mkpath(QFileInfo(path).absolutePath())) return false;
    if (!file.open(QIODevice::WriteOnly)) return false;
    file.close();
    file.remove();
    return true;
}

}  // namespace

TQtPreferences::TQtPreferences(TReport report) : report(std::move(report)) {}

TQtPreferences::TQtPreferences(TMainServices& services)
    : TQtPreferences([&services](const std::string& text) { services.reportMessage(text); }) {}

TQtPreferences::TQtPreferences(std::string fileName, TReport report)
    : fileName(std::move(fileName)), report(std::move(report)) {}

std::string TQtPreferences::location() const { return openStore(fileName)->fileName().toStdString(); }

void TQtPreferences::tell(const std::string& text) noexcept {
    try {
        if (report) report(text);
    } catch (...) {
        // The store's callers never see an error, not even one in telling about it.
    }
}

std::string TQtPreferences::readPreference(const std::string& key) {
    const auto store = openStore(fileName);
    const std::string where = store->fileName().toStdString();
    if (store->status() != QSettings::NoError) {
        tell(std::string(readError) + " (" + key + " from " + where + ": " + why(store->status(), "read") + ")");
        return {};
    }
    if (holdsStreamedValue(*store)) {
        tell(std::string(readError) + " (" + key + " from " + where + ": " + streamedValue + ")");
        return {};
    }
    const QVariant value = store->value(QString::fromStdString(key));
    if (!value.isValid()) return {};
    switch (value.typeId()) {
    case QMetaType::QString: return value.toString().toStdString();
    case QMetaType::QByteArray: return value.toByteArray().toStdString();
    default:
        tell(std::string(readError) + " (" + key + " in " + where + " is not a text)");
        return {};
    }
}

void TQtPreferences::writePreference(const std::string& key, const std::string& value) {
    const auto store = openStore(fileName);
    std::string problem;
    if (store->status() != QSettings::NoError) {
        problem = why(store->status(), "read");
    } else if (holdsStreamedValue(*store)) {
        problem = streamedValue;
    } else if (!canWrite(*store)) {
        problem = why(QSettings::AccessError, "written");
    } else {
        store->setValue(QString::fromStdString(key), QString::fromStdString(value));
        store->sync();
        if (store->status() != QSettings::NoError) problem = why(store->status(), "written");
    }
    if (!problem.empty())
        tell(std::string(saveError) + " (" + key + " to " + store->fileName().toStdString() + ": " + problem + ")");
}
