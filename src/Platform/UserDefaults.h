#pragma once

#include <QObject>
#include <QSettings>
#include <QStringList>
#include <QVariant>

#include <memory>
#include <optional>

namespace tandrel {

// The user's settings, kept with QSettings in the XDG config folder under the bundle
// identifier. A read of an absent key gives the caller's default and never writes it.
// An unreadable or corrupt file prints one line and reads as empty; an unwritable one
// never crashes and keeps every value in memory for the rest of the run.
class UserDefaults : public QObject {
    Q_OBJECT
public:
    // `UserDefaults.standard`: the settings of this application.
    static UserDefaults& standard();

    // The settings file of a bundle identifier: $XDG_CONFIG_HOME/<id>/settings.conf.
    static QString settingsPath(const QString& bundleIdentifier);
    // Moves the settings file of an earlier bundle identifier to the current place, once:
    // only when there is one and the current place has none. standard() does it with the
    // build's legacy identifier before it reads anything.
    static bool moveLegacySettings(const QString& legacyPath, const QString& currentPath);

    // A store on an explicit file (tests, tools).
    explicit UserDefaults(const QString& filePath, QObject* parent = nullptr);
    ~UserDefaults() override;

    // Present value of any type, or nullopt when the key is absent.
    std::optional<QVariant> object(const QString& key) const;

    // Plain typed reads: an absent or unconvertible value gives false / 0 / nullopt.
    bool boolForKey(const QString& key) const;
    qint64 integer(const QString& key) const;
    std::optional<QString> string(const QString& key) const;
    std::optional<QStringList> stringArray(const QString& key) const;

    // Typed reads with the caller's default for an absent key (nothing is written).
    bool boolValue(const QString& key, bool defaultValue) const;
    qint64 integerValue(const QString& key, qint64 defaultValue) const;
    QString stringValue(const QString& key, const QString& defaultValue) const;

    void set(bool value, const QString& key);
    void set(qint64 value, const QString& key);
    void set(int value, const QString& key) { set(static_cast<qint64>(value), key); }
    void set(const QString& value, const QString& key);
    void set(const char* value, const QString& key) { set(QString::fromUtf8(value), key); }
    void set(const QStringList& value, const QString& key);
    void setObject(const QVariant& value, const QString& key);  // an invalid QVariant removes
    void removeObject(const QString& key);

    // Writes pending changes to disk; false (after one printed line) when it could not.
    bool synchronize();

Q_SIGNALS:
    // Emitted after every write or removal of `key`, so screens follow stored values live.
    void valueChanged(const QString& key);

private:
    struct Private;
    std::unique_ptr<Private> d;
};

}  // namespace tandrel
