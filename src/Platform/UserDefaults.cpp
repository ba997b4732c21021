#include "Platform/UserDefaults.h"

#include "BuildConfig.h"
#include "Platform/Diagnostics.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLockFile>
#include <QSaveFile>
#include <QMutex>
#include <QSet>
#include <QStandardPaths>
#include <QStringDecoder>

namespace tandrel {

namespace {

// INI keeps only text, so every value carries its type in front of it: a bool must come
// back as a bool and the string "true" as a string, a one-element list as a list.
const QString kBoolTag = QStringLiteral("bool:");
const QString kIntegerTag = QStringLiteral("int:");
const QString kRealTag = QStringLiteral("real:");
const QString kStringTag = QStringLiteral("string:");
const QString kListTag = QStringLiteral("list:");

bool isIntegerType(int typeId)
{
    switch (typeId) {
        case QMetaType::Int:
        case QMetaType::UInt:
        case QMetaType::LongLong:
        case QMetaType::ULongLong:
        case QMetaType::Long:
        case QMetaType::ULong:
        case QMetaType::Short:
        case QMetaType::UShort:
            return true;
        default:
            return false;
    }
}

// The stored form of a value, or an invalid QVariant for a type settings cannot keep.
QVariant normalized(const QVariant& value)
{
    const int type = value.metaType().id();
    if (type == QMetaType::Bool) {
        return value.toBool();
    }
    if (isIntegerType(type)) {
        return value.toLongLong();
    }
    if (type == QMetaType::Double || type == QMetaType::Float) {
        return value.toDouble();
    }
    if (type == QMetaType::QString || type == QMetaType::QByteArray) {
        return value.toString();
    }
    if (type == QMetaType::QStringList || type == QMetaType::QVariantList) {
        return value.toStringList();
    }
    // Anything else that has a text form (a URL, a date) is kept as that text.
    return value.canConvert<QString>() ? QVariant(value.toString()) : QVariant();
}

QString encode(const QVariant& value)
{
    switch (value.metaType().id()) {
        case QMetaType::Bool:
            return kBoolTag + (value.toBool() ? QStringLiteral("true") : QStringLiteral("false"));
        case QMetaType::LongLong:
            return kIntegerTag + QString::number(value.toLongLong());
        case QMetaType::Double:
            return kRealTag + QString::number(value.toDouble(), 'g', 17);
        case QMetaType::QStringList:
            return kListTag +
                   QString::fromUtf8(
                       QJsonDocument(QJsonArray::fromStringList(value.toStringList())).toJson(QJsonDocument::Compact));
        default:
            return kStringTag + value.toString();
    }
}

// A value written by hand (no type in front, or a type that does not parse) reads as the
// text it is, so nothing in the file is lost to a strict reading.
QVariant decode(const QVariant& raw)
{
    if (raw.metaType().id() == QMetaType::QStringList) {
        return raw.toStringList();
    }
    const QString text = raw.toString();
    if (text.startsWith(kStringTag)) {
        return text.mid(kStringTag.size());
    }
    if (text.startsWith(kBoolTag)) {
        const QString payload = text.mid(kBoolTag.size());
        if (payload == QLatin1String("true") || payload == QLatin1String("false")) {
            return payload == QLatin1String("true");
        }
    } else if (text.startsWith(kIntegerTag)) {
        bool ok = false;
        const qint64 number = text.mid(kIntegerTag.size()).toLongLong(&ok);
        if (ok) {
            return number;
        }
    } else if (text.startsWith(kRealTag)) {
        bool ok = false;
        const double number = text.mid(kRealTag.size()).toDouble(&ok);
        if (ok) {
            return number;
        }
    } else if (text.startsWith(kListTag)) {
        const QJsonDocument document = QJsonDocument::fromJson(text.mid(kListTag.size()).toUtf8());
        if (document.isArray()) {
            QStringList list;
            bool allText = true;
            for (const QJsonValue& element : document.array()) {
                allText = allText && element.isString();
                list << element.toString();
            }
            if (allText) {
                return list;
            }
        }
    }
    return text;
}

// QSettings reads binary garbage as an empty file without complaint, and writing then
// would wipe what the user had; so the bytes must be text before they are trusted.
bool isText(const QByteArray& bytes)
{
    if (bytes.contains('\0')) {
        return false;
    }
    QStringDecoder utf8(QStringDecoder::Utf8);
    const QString text = utf8(bytes);
    return !utf8.hasError();
}

// A line that is neither blank, a comment, a [section] nor key=value. QSettings reads the
// rest of a file that holds one, but then refuses to write it at all.
bool isDamagedLine(const QByteArray& rawLine)
{
    const QByteArray line = rawLine.trimmed();
    if (line.isEmpty() || line.startsWith(';') || line.startsWith('#')) {
        return false;
    }
    return line.startsWith('[') ? !line.endsWith(']') : !line.contains('=');
}

// Takes the damaged lines out of the file (under the lock QSettings itself takes, so no
// copy writes in between): each loses only itself, every other setting stays.
bool hasDamagedLine(const QByteArray& bytes)
{
    const QByteArrayList lines = bytes.split('\n');
    return isText(bytes) && std::any_of(lines.cbegin(), lines.cend(), isDamagedLine);
}

QByteArray contentOf(const QString& filePath)
{
    QFile file(filePath);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void dropDamagedLines(const QString& filePath)
{
    if (!hasDamagedLine(contentOf(filePath))) {
        return;  // the usual case, without taking the lock
    }
    QLockFile lock(filePath + QStringLiteral(".lock"));
    if (!lock.lock()) {
        return;
    }
    const QByteArray bytes = contentOf(filePath);
    if (!hasDamagedLine(bytes)) {
        return;
    }
    QByteArrayList kept;
    QByteArrayList dropped;
    for (const QByteArray& line : bytes.split('\n')) {
        (isDamagedLine(line) ? dropped : kept) << line;
    }
    QSaveFile repaired(filePath);
    if (!repaired.open(QIODevice::WriteOnly) || repaired.write(kept.join('\n')) < 0 || !repaired.commit()) {
        return;
    }
    for (const QByteArray& line : std::as_const(dropped)) {
        printLine(QStringLiteral("Settings file %1: dropped a damaged line: %2")
                      .arg(filePath, QString::fromUtf8(line.trimmed())));
    }
}

// Signed integers of Foundation's lenient reading: leading blanks, a sign, digits; "12ab" is 12.
qint64 leadingInteger(const QString& text)
{
    const QString trimmed = text.trimmed();
    qsizetype end = 0;
    if (end < trimmed.size() && (trimmed[end] == QLatin1Char('-') || trimmed[end] == QLatin1Char('+'))) {
        ++end;
    }
    while (end < trimmed.size() && trimmed[end].isDigit()) {
        ++end;
    }
    bool ok = false;
    const qint64 number = trimmed.left(end).toLongLong(&ok);
    if (ok) {
        return number;
    }
    const double real = trimmed.toDouble(&ok);
    return ok ? static_cast<qint64>(real) : 0;
}

}  // namespace

struct UserDefaults::Private {
    QString filePath;
    mutable QMutex lock;
    QVariantMap values;             // what this run reads; the file follows it
    QSet<QString> changedKeys;      // set or removed here since the last successful write
    bool keepInMemoryOnly = false;  // the file must not be written (unreadable, corrupt and kept)
    bool reportedWriteFailure = false;
    bool unsaved = false;

    void load();
    // Values as the file holds them now; nullopt when it is absent or not settings text.
    std::optional<QVariantMap> readFile() const;
    bool save();  // under lock
    void reportWriteFailure(const QString& reason);
};

void UserDefaults::Private::load()
{
    QFileInfo info(filePath);
    if (!info.exists()) {
        return;
    }
    QFile file(filePath);
    if (info.isDir() || !file.open(QIODevice::ReadOnly)) {
        printLine(
            QStringLiteral("Settings file %1 could not be read; using defaults, and changes are kept for this run only")
                .arg(filePath));
        keepInMemoryOnly = true;
        reportedWriteFailure = true;
        return;
    }
    file.close();
    dropDamagedLines(filePath);
    if (!file.open(QIODevice::ReadOnly)) {
        return;
    }
    const QByteArray bytes = file.readAll();
    file.close();

    QSettings settings(filePath, QSettings::IniFormat);
    if (settings.status() != QSettings::NoError || !isText(bytes)) {
        const QString asideName = filePath + QStringLiteral(".corrupt");
        QFile::remove(asideName);
        if (QFile::rename(filePath, asideName)) {
            printLine(QStringLiteral("Settings file %1 is corrupt; moved it to %2 and starting from defaults")
                          .arg(filePath, asideName));
        } else {
            printLine(
                QStringLiteral("Settings file %1 is corrupt; using defaults, and changes are kept for this run only")
                    .arg(filePath));
            keepInMemoryOnly = true;
            reportedWriteFailure = true;
        }
        return;
    }
    const QStringList keys = settings.allKeys();
    for (const QString& key : keys) {
        values.insert(key, decode(settings.value(key)));
    }
}

std::optional<QVariantMap> UserDefaults::Private::readFile() const
{
    QFile file(filePath);
    if (!file.open(QIODevice::ReadOnly)) {
        return std::nullopt;
    }
    const QByteArray bytes = file.readAll();
    file.close();
    QSettings settings(filePath, QSettings::IniFormat);
    if (settings.status() != QSettings::NoError || !isText(bytes)) {
        return std::nullopt;
    }
    QVariantMap stored;
    const QStringList keys = settings.allKeys();
    for (const QString& key : keys) {
        stored.insert(key, decode(settings.value(key)));
    }
    return stored;
}

// Another copy of the program (or another store on the same file) may have written since
// this one read the file. Only the keys changed here go to the file: QSettings reads the
// file again under its lock file when it syncs and writes these changes over what it
// finds, so neither copy loses the other's keys. A file that is not settings text (or not
// there) gets everything this run holds instead.
bool UserDefaults::Private::save()
{
    if (keepInMemoryOnly) {
        unsaved = true;
        return false;
    }
    const QString folder = QFileInfo(filePath).absolutePath();
    if (!QDir().mkpath(folder)) {
        unsaved = true;
        reportWriteFailure(QStringLiteral("folder %1 could not be made").arg(folder));
        return false;
    }
    dropDamagedLines(filePath);
    const bool merge = readFile().has_value();
    QSettings settings(filePath, QSettings::IniFormat);
    if (merge) {
        for (const QString& key : std::as_const(changedKeys)) {
            const auto mine = values.constFind(key);
            if (mine == values.cend()) {
                settings.remove(key);
            } else {
                settings.setValue(key, encode(*mine));
            }
        }
    } else {
        // No clear() first: another copy may create the file between the look above and
        // this sync; QSettings merges these keys into what it finds under its lock.
        for (auto it = values.cbegin(); it != values.cend(); ++it) {
            settings.setValue(it.key(), encode(it.value()));
        }
    }
    settings.sync();
    unsaved = settings.status() != QSettings::NoError;
    if (unsaved) {
        reportWriteFailure(QStringLiteral("it is not writable"));
        return false;
    }
    changedKeys.clear();
    if (merge) {
        // What the other copy wrote is read from now on.
        QVariantMap merged;
        const QStringList keys = settings.allKeys();
        for (const QString& key : keys) {
            merged.insert(key, decode(settings.value(key)));
        }
        values = merged;
    }
    return true;
}

void UserDefaults::Private::reportWriteFailure(const QString& reason)
{
    if (reportedWriteFailure) {
        return;
    }
    reportedWriteFailure = true;
    printLine(QStringLiteral("Settings file %1 could not be written (%2); changes are kept for this run only")
                  .arg(filePath, reason));
}

UserDefaults& UserDefaults::standard()
{
    // Made on first use and never destroyed: the VPN back end may still read settings
    // from its thread while the process winds down.
    static UserDefaults* const instance = [] {
        const QString path = settingsPath(QString::fromUtf8(BuildConfig::bundleIdentifier));
        const QString legacy = QString::fromUtf8(BuildConfig::legacyBundleIdentifier);
        if (legacy != QString::fromUtf8(BuildConfig::bundleIdentifier)) {
            moveLegacySettings(settingsPath(legacy), path);
        }
        auto* defaults = new UserDefaults(path);
        // First reached from a worker thread, it must still belong to the main thread,
        // which outlives every worker.
        if (QCoreApplication* app = QCoreApplication::instance()) {
            defaults->moveToThread(app->thread());
        }
        return defaults;
    }();
    return *instance;
}

QString UserDefaults::settingsPath(const QString& bundleIdentifier)
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QLatin1Char('/') +
           bundleIdentifier + QStringLiteral("/settings.conf");
}

bool UserDefaults::moveLegacySettings(const QString& legacyPath, const QString& currentPath)
{
    if (legacyPath == currentPath || !QFileInfo(legacyPath).isFile() || QFileInfo::exists(currentPath)) {
        return false;
    }
    if (!QDir().mkpath(QFileInfo(currentPath).absolutePath()) || !QFile::rename(legacyPath, currentPath)) {
        printLine(QStringLiteral("Settings file %1 could not be moved to %2").arg(legacyPath, currentPath));
        return false;
    }
    // The folder goes too once nothing else is left in it.
    QDir().rmdir(QFileInfo(legacyPath).absolutePath());
    printLine(QStringLiteral("Moved settings from %1 to %2").arg(legacyPath, currentPath));
    return true;
}

UserDefaults::UserDefaults(const QString& filePath, QObject* parent) : QObject(parent), d(std::make_unique<Private>())
{
    d->filePath = filePath;
    d->load();
}

UserDefaults::~UserDefaults() = default;

std::optional<QVariant> UserDefaults::object(const QString& key) const
{
    QMutexLocker locker(&d->lock);
    const auto it = d->values.constFind(key);
    if (it == d->values.cend()) {
        return std::nullopt;
    }
    return *it;
}

bool UserDefaults::boolForKey(const QString& key) const
{
    const std::optional<QVariant> value = object(key);
    if (!value) {
        return false;
    }
    switch (value->metaType().id()) {
        case QMetaType::Bool:
            return value->toBool();
        case QMetaType::LongLong:
            return value->toLongLong() != 0;
        case QMetaType::Double:
            return value->toDouble() != 0.0;
        case QMetaType::QString: {
            // Foundation's reading of text: "YES", "true", "t", or a leading non-zero digit.
            const QString text = value->toString().trimmed();
            if (text.isEmpty()) {
                return false;
            }
            const QChar first = text.front().toLower();
            return first == QLatin1Char('y') || first == QLatin1Char('t') ||
                   (first >= QLatin1Char('1') && first <= QLatin1Char('9'));
        }
        default:
            return false;
    }
}

qint64 UserDefaults::integer(const QString& key) const
{
    const std::optional<QVariant> value = object(key);
    if (!value) {
        return 0;
    }
    switch (value->metaType().id()) {
        case QMetaType::Bool:
            return value->toBool() ? 1 : 0;
        case QMetaType::LongLong:
            return value->toLongLong();
        case QMetaType::Double:
            return static_cast<qint64>(value->toDouble());
        case QMetaType::QString:
            return leadingInteger(value->toString());
        default:
            return 0;
    }
}

std::optional<QString> UserDefaults::string(const QString& key) const
{
    const std::optional<QVariant> value = object(key);
    if (!value) {
        return std::nullopt;
    }
    switch (value->metaType().id()) {
        case QMetaType::QString:
            return value->toString();
        case QMetaType::Bool:
            return value->toBool() ? QStringLiteral("1") : QStringLiteral("0");
        case QMetaType::LongLong:
        case QMetaType::Double:
            return value->toString();
        default:
            return std::nullopt;
    }
}

std::optional<QStringList> UserDefaults::stringArray(const QString& key) const
{
    const std::optional<QVariant> value = object(key);
    if (!value || value->metaType().id() != QMetaType::QStringList) {
        return std::nullopt;
    }
    return value->toStringList();
}

bool UserDefaults::boolValue(const QString& key, bool defaultValue) const
{
    return object(key) ? boolForKey(key) : defaultValue;
}

qint64 UserDefaults::integerValue(const QString& key, qint64 defaultValue) const
{
    return object(key) ? integer(key) : defaultValue;
}

QString UserDefaults::stringValue(const QString& key, const QString& defaultValue) const
{
    return string(key).value_or(defaultValue);
}

void UserDefaults::set(bool value, const QString& key)
{
    setObject(value, key);
}

void UserDefaults::set(qint64 value, const QString& key)
{
    setObject(value, key);
}

void UserDefaults::set(const QString& value, const QString& key)
{
    setObject(value, key);
}

void UserDefaults::set(const QStringList& value, const QString& key)
{
    setObject(value, key);
}

void UserDefaults::setObject(const QVariant& value, const QString& key)
{
    if (!value.isValid()) {
        removeObject(key);
        return;
    }
    const QVariant stored = normalized(value);
    if (!stored.isValid()) {
        return;
    }
    {
        QMutexLocker locker(&d->lock);
        d->values.insert(key, stored);
        d->changedKeys.insert(key);
        d->save();
    }
    Q_EMIT valueChanged(key);
}

void UserDefaults::removeObject(const QString& key)
{
    {
        QMutexLocker locker(&d->lock);
        // The key may be on disk only, written by another copy since this one read the file.
        if (d->values.remove(key) > 0 || d->unsaved || QFileInfo::exists(d->filePath)) {
            d->changedKeys.insert(key);
            d->save();
        }
    }
    Q_EMIT valueChanged(key);
}

bool UserDefaults::synchronize()
{
    QMutexLocker locker(&d->lock);
    if (!d->unsaved) {
        return true;
    }
    if (d->keepInMemoryOnly) {
        d->reportWriteFailure(QStringLiteral("its earlier content could not be read"));
        return false;
    }
    return d->save();
}

}  // namespace tandrel
