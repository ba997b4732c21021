#include "Platform/StandIn/StandInVPNBackend.h"

#include "BuildConfig.h"
#include "Platform/Keychain.h"
#include "Platform/MainQueue.h"
#include "Platform/Result.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QStandardPaths>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <limits>

namespace tandrel {

namespace {

using Configuration = NEVPNConfiguration;

Error standInError(StandInVPNBackend::ErrorCode code, const QString& description)
{
    return Error::withDescription(StandInVPNBackend::errorDomain, code, description);
}

bool isLive(NEVPNStatus status)
{
    return status == NEVPNStatus::connecting || status == NEVPNStatus::connected || status == NEVPNStatus::reasserting;
}

// --- The configuration file -------------------------------------------------------------

QJsonObject toJson(const NEVPNIKEv2SecurityAssociationParameters& parameters)
{
    return {
        {"encryptionAlgorithm", static_cast<int>(parameters.encryptionAlgorithm)},
        {"integrityAlgorithm", static_cast<int>(parameters.integrityAlgorithm)},
        {"diffieHellmanGroup", static_cast<int>(parameters.diffieHellmanGroup)},
        {"lifetimeMinutes", parameters.lifetimeMinutes},
    };
}

QJsonObject toJson(const NEVPNProtocolIKEv2& protocol)
{
    return {
        {"type", "IKEv2"},
        {"serverAddress", protocol.serverAddress},
        {"username", protocol.username},
        {"passwordReference", QString::fromLatin1(protocol.passwordReference.toBase64())},
        {"remoteIdentifier", protocol.remoteIdentifier},
        {"localIdentifier", protocol.localIdentifier},
        {"authenticationMethod", static_cast<int>(protocol.authenticationMethod)},
        {"useExtendedAuthentication", protocol.useExtendedAuthentication},
        {"IKESecurityAssociationParameters", toJson(protocol.IKESecurityAssociationParameters)},
        {"childSecurityAssociationParameters", toJson(protocol.childSecurityAssociationParameters)},
        {"enablePFS", protocol.enablePFS},
        {"deadPeerDetectionRate", static_cast<int>(protocol.deadPeerDetectionRate)},
        {"includeAllNetworks", protocol.includeAllNetworks},
        {"excludeLocalNetworks", protocol.excludeLocalNetworks},
        {"disconnectOnSleep", protocol.disconnectOnSleep},
    };
}

QJsonObject toJson(const Configuration& configuration)
{
    QJsonArray rules;
    for (const NEOnDemandRuleConnect& rule : configuration.onDemandRules) {
        rules.append(
            QJsonObject{{"action", "connect"}, {"interfaceTypeMatch", static_cast<int>(rule.interfaceTypeMatch)}});
    }
    QJsonObject object{
        {"localizedDescription", configuration.localizedDescription},
        {"isEnabled", configuration.isEnabled},
        {"isOnDemandEnabled", configuration.isOnDemandEnabled},
        {"onDemandRules", rules},
    };
    if (configuration.protocolConfiguration) {
        object.insert("protocolConfiguration", toJson(*configuration.protocolConfiguration));
    }
    return object;
}

// Reads fields strictly: a field of the wrong type or an unknown enumeration value makes
// the whole file unreadable rather than quietly becoming a different configuration.
class Reader {
public:
    explicit Reader(QString* problem) : m_problem(problem) {}

    bool ok() const { return m_problem->isEmpty(); }

    void fail(const QString& what)
    {
        if (ok()) {
            *m_problem = what;
        }
    }

    QJsonObject object(const QJsonObject& in, const QString& key)
    {
        const QJsonValue value = in.value(key);
        if (!value.isObject()) {
            fail(QStringLiteral("\"%1\" is not an object").arg(key));
        }
        return value.toObject();
    }

    QString string(const QJsonObject& in, const QString& key)
    {
        const QJsonValue value = in.value(key);
        if (!value.isString()) {
            fail(QStringLiteral("\"%1\" is not a text").arg(key));
        }
        return value.toString();
    }

    bool boolean(const QJsonObject& in, const QString& key)
    {
        const QJsonValue value = in.value(key);
        if (!value.isBool()) {
            fail(QStringLiteral("\"%1\" is not a boolean").arg(key));
        }
        return value.toBool();
    }

    int integer(const QJsonObject& in, const QString& key)
    {
        const QJsonValue value = in.value(key);
        const double number = value.toDouble();
        // The range first: converting a double that no int holds is undefined.
        if (!value.isDouble() || number < std::numeric_limits<int>::min() || number > std::numeric_limits<int>::max() ||
            number != std::trunc(number)) {
            fail(QStringLiteral("\"%1\" is not an integer").arg(key));
            return 0;
        }
        return static_cast<int>(number);
    }

    template <typename Enum>
    Enum enumeration(const QJsonObject& in, const QString& key, std::initializer_list<int> known)
    {
        const int value = integer(in, key);
        if (ok() && std::find(known.begin(), known.end(), value) == known.end()) {
            fail(QStringLiteral("\"%1\" has the unknown value %2").arg(key).arg(value));
        }
        return static_cast<Enum>(value);
    }

private:
    QString* m_problem;
};

NEVPNIKEv2SecurityAssociationParameters securityAssociationFromJson(Reader& reader, const QJsonObject& in)
{
    NEVPNIKEv2SecurityAssociationParameters parameters;
    parameters.encryptionAlgorithm =
        reader.enumeration<NEVPNIKEv2EncryptionAlgorithm>(in, "encryptionAlgorithm", {1, 2, 3, 4, 5, 6, 7});
    parameters.integrityAlgorithm =
        reader.enumeration<NEVPNIKEv2IntegrityAlgorithm>(in, "integrityAlgorithm", {1, 2, 3, 4, 5});
    parameters.diffieHellmanGroup = reader.enumeration<NEVPNIKEv2DiffieHellmanGroup>(
        in, "diffieHellmanGroup", {0, 1, 2, 5, 14, 15, 16, 17, 18, 19, 20, 21, 31, 32});
    parameters.lifetimeMinutes = reader.integer(in, "lifetimeMinutes");
    return parameters;
}

NEVPNProtocolIKEv2 protocolFromJson(Reader& reader, const QJsonObject& in)
{
    NEVPNProtocolIKEv2 protocol;
    if (reader.string(in, "type") != QLatin1String("IKEv2")) {
        reader.fail(QStringLiteral("the protocol is not IKEv2"));
    }
    protocol.serverAddress = reader.string(in, "serverAddress");
    protocol.username = reader.string(in, "username");
    const QByteArray reference = reader.string(in, "passwordReference").toLatin1();
    const auto decoded = QByteArray::fromBase64Encoding(reference, QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded) {
        reader.fail(QStringLiteral("\"passwordReference\" is not Base64"));
    }
    protocol.passwordReference = decoded.decoded;
    protocol.remoteIdentifier = reader.string(in, "remoteIdentifier");
    protocol.localIdentifier = reader.string(in, "localIdentifier");
    protocol.authenticationMethod =
        reader.enumeration<NEVPNIKEAuthenticationMethod>(in, "authenticationMethod", {0, 1, 2});
    protocol.useExtendedAuthentication = reader.boolean(in, "useExtendedAuthentication");
    protocol.IKESecurityAssociationParameters =
        securityAssociationFromJson(reader, reader.object(in, "IKESecurityAssociationParameters"));
    protocol.childSecurityAssociationParameters =
        securityAssociationFromJson(reader, reader.object(in, "childSecurityAssociationParameters"));
    protocol.enablePFS = reader.boolean(in, "enablePFS");
    protocol.deadPeerDetectionRate =
        reader.enumeration<NEVPNIKEv2DeadPeerDetectionRate>(in, "deadPeerDetectionRate", {0, 1, 2, 3});
    protocol.includeAllNetworks = reader.boolean(in, "includeAllNetworks");
    protocol.excludeLocalNetworks = reader.boolean(in, "excludeLocalNetworks");
    protocol.disconnectOnSleep = reader.boolean(in, "disconnectOnSleep");
    return protocol;
}

Result<Configuration> configurationFromJson(const QByteArray& bytes)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &parseError);
    QString problem;
    if (parseError.error != QJsonParseError::NoError) {
        problem = parseError.errorString();
    } else if (!document.isObject()) {
        problem = QStringLiteral("the top level is not an object");
    }
    Reader reader(&problem);
    Configuration configuration;
    if (reader.ok()) {
        const QJsonObject in = document.object();
        configuration.localizedDescription = reader.string(in, "localizedDescription");
        configuration.isEnabled = reader.boolean(in, "isEnabled");
        configuration.isOnDemandEnabled = reader.boolean(in, "isOnDemandEnabled");
        const QJsonValue rules = in.value("onDemandRules");
        if (!rules.isArray()) {
            reader.fail(QStringLiteral("\"onDemandRules\" is not an array"));
        }
        for (const QJsonValue& ruleValue : rules.toArray()) {
            const QJsonObject rule = ruleValue.toObject();
            if (!ruleValue.isObject() || rule.value("action").toString() != QLatin1String("connect")) {
                reader.fail(QStringLiteral("an on-demand rule is not a connect rule"));
            }
            configuration.onDemandRules.push_back(
                {reader.enumeration<NEOnDemandRuleInterfaceType>(rule, "interfaceTypeMatch", {0, 1, 2, 3})});
        }
        if (in.contains("protocolConfiguration")) {
            configuration.protocolConfiguration = protocolFromJson(reader, reader.object(in, "protocolConfiguration"));
        }
    }
    if (!reader.ok()) {
        return standInError(StandInVPNBackend::configurationUnreadable,
                            QStringLiteral("The saved VPN configuration could not be read: %1.").arg(problem));
    }
    return configuration;
}

// nullopt: nothing is saved.
Result<std::optional<Configuration>> readConfigurationFile(const QString& path)
{
    QFile file(path);
    if (!file.exists()) {
        return std::optional<Configuration>();
    }
    if (!file.open(QIODevice::ReadOnly)) {
        return standInError(
            StandInVPNBackend::configurationUnreadable,
            QStringLiteral("The saved VPN configuration could not be read: %1: %2.").arg(path, file.errorString()));
    }
    Result<Configuration> parsed = configurationFromJson(file.readAll());
    if (!parsed) {
        return parsed.error();
    }
    return std::optional<Configuration>(std::move(parsed.value()));
}

std::optional<Error> writeConfigurationFile(const QString& path, const Configuration& configuration)
{
    const auto unwritable = [&path](const QString& why) {
        return standInError(StandInVPNBackend::configurationUnwritable,
                            QStringLiteral("The VPN configuration could not be saved: %1: %2.").arg(path, why));
    };
    if (!QDir().mkpath(QFileInfo(path).absolutePath())) {
        return unwritable(QStringLiteral("the folder could not be made"));
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        return unwritable(file.errorString());
    }
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    file.write(QJsonDocument(toJson(configuration)).toJson(QJsonDocument::Indented));
    if (!file.commit()) {
        return unwritable(file.errorString());
    }
    return std::nullopt;
}

}  // namespace

// --- The service ------------------------------------------------------------------------

// Touched on the main thread only: the calls come from there and every step and answer
// runs on the main queue, so the state takes no lock.
struct StandInVPNBackend::State : std::enable_shared_from_this<State> {
    QString path;
    std::optional<Configuration> saved;  // what the file held when last read or written
    NEVPNStatus status = NEVPNStatus::invalid;
    std::optional<NEVPNStatus> next;  // where the walk goes from the current status
    std::optional<NEVPNStatus> held;
    quint64 generation = 0;  // bumped by every change, so a stale step does nothing
    std::chrono::milliseconds stepDelay{500};
    StatusHandler handler;
    std::optional<Error> loadError;
    int loadSuccessesFirst = 0;
    std::optional<Error> saveError;
    std::optional<Error> removeError;
    std::optional<Error> startError;

    // Moves to `to`, reports it, and schedules the step to `then`. With `onlyAt`, nothing
    // happens unless the walk is still where that step was scheduled.
    void transition(NEVPNStatus to, std::optional<NEVPNStatus> then, const QString& reason,
                    std::optional<quint64> onlyAt = std::nullopt)
    {
        StatusHandler report;
        quint64 now = 0;
        bool walkOn = false;
        if (onlyAt && (*onlyAt != generation || held == status)) {
            return;
        }
        status = to;
        next = then;
        now = ++generation;
        report = handler;
        walkOn = then && held != to;
        if (report) {
            report(to, reason);
        }
        if (walkOn) {
            scheduleStep(now);
        }
    }

    void scheduleStep(quint64 at)
    {
        std::weak_ptr<State> weak = weak_from_this();
        const std::chrono::milliseconds delay = stepDelay;
        // Queued rather than started here, so a step never runs inside the call that asked for it.
        MainQueue::async([weak, at, delay] {
            QTimer::singleShot(delay, QCoreApplication::instance(), [weak, at] {
                if (std::shared_ptr<State> self = weak.lock()) {
                    self->step(at);
                }
            });
        });
    }

    void step(quint64 at)
    {
        if (const std::optional<NEVPNStatus> to = next) {
            transition(*to, std::nullopt, {}, at);
        }
    }

    // After the file was read or written: a configuration makes the service usable, none
    // makes it invalid. A live tunnel is left to its own walk.
    void settle(const std::optional<Configuration>& configuration)
    {
        saved = configuration;
        const NEVPNStatus current = status;
        if (configuration && current == NEVPNStatus::invalid) {
            transition(NEVPNStatus::disconnected, std::nullopt, {});
        } else if (!configuration && current != NEVPNStatus::invalid) {
            transition(NEVPNStatus::invalid, std::nullopt, {});
        }
    }

    std::optional<Error> checkStartable(const std::optional<Configuration>& configuration) const
    {
        if (!configuration) {
            return standInError(noConfiguration, QStringLiteral("No VPN configuration is saved."));
        }
        if (!configuration->isEnabled) {
            return standInError(notEnabled, QStringLiteral("The VPN configuration is not enabled."));
        }
        const std::optional<NEVPNProtocolIKEv2>& protocol = configuration->protocolConfiguration;
        if (!protocol || protocol->serverAddress.isEmpty()) {
            return standInError(noServerAddress, QStringLiteral("The VPN configuration has no server address."));
        }
        if (protocol->username.isEmpty()) {
            return standInError(noUsername, QStringLiteral("The VPN configuration has no user name."));
        }
        if (protocol->passwordReference.isEmpty()) {
            return standInError(noPasswordReference,
                                QStringLiteral("The VPN configuration has no password reference."));
        }
        KeychainItem item;
        const int found = KeychainStore::system().copyByReference(protocol->passwordReference, &item);
        if (found == KeychainStatus::itemNotFound) {
            return standInError(
                passwordItemNotFound,
                QStringLiteral("The password reference of the VPN configuration names no keychain item."));
        }
        if (found != KeychainStatus::success) {
            return standInError(passwordItemUnreadable,
                                QStringLiteral("The tunnel password could not be read from the keychain: %1")
                                    .arg(keychainError(found).localizedDescription()));
        }
        return std::nullopt;
    }
};

QString StandInVPNBackend::defaultConfigurationPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QLatin1Char('/') +
           QString::fromUtf8(BuildConfig::bundleIdentifier) + QStringLiteral("/vpn-configuration.json");
}

StandInVPNBackend::StandInVPNBackend() : StandInVPNBackend(defaultConfigurationPath()) {}

void StandInVPNBackend::installAsDefault()
{
    NEVPNBackend::setDefaultFactory([] { return std::make_shared<StandInVPNBackend>(); });
}

StandInVPNBackend::StandInVPNBackend(const QString& configurationPath) : d(std::make_shared<State>())
{
    d->path = configurationPath;
    Result<std::optional<Configuration>> fromFile = readConfigurationFile(configurationPath);
    if (fromFile && fromFile.value()) {
        d->saved = fromFile.value();
        d->status = NEVPNStatus::disconnected;
    }
}

StandInVPNBackend::~StandInVPNBackend() = default;

void StandInVPNBackend::load(LoadCompletion completion)
{
    MainQueue::async([state = d, completion = std::move(completion)] {
        std::optional<Error> forced;
        if (state->loadError && state->loadSuccessesFirst > 0) {
            --state->loadSuccessesFirst;
        } else {
            forced = state->loadError;
        }
        if (forced) {
            completion(std::nullopt, forced);
            return;
        }
        Result<std::optional<Configuration>> fromFile = readConfigurationFile(state->path);
        if (!fromFile) {
            // An unreadable file is reported and left alone, never replaced by nothing.
            completion(std::nullopt, fromFile.error());
            return;
        }
        state->settle(fromFile.value());
        completion(fromFile.value(), std::nullopt);
    });
}

void StandInVPNBackend::save(const NEVPNConfiguration& configuration, Completion completion)
{
    MainQueue::async([state = d, configuration, completion = std::move(completion)] {
        std::optional<Error> error = state->saveError;
        if (!error) {
            error = writeConfigurationFile(state->path, configuration);
        }
        if (!error) {
            state->settle(configuration);
        }
        completion(error);
    });
}

void StandInVPNBackend::remove(Completion completion)
{
    MainQueue::async([state = d, completion = std::move(completion)] {
        std::optional<Error> error = state->removeError;
        QFile file(state->path);
        if (!error && file.exists() && !file.remove()) {
            error = standInError(configurationUnwritable,
                                 QStringLiteral("The VPN configuration could not be removed: %1: %2.")
                                     .arg(state->path, file.errorString()));
        }
        if (!error) {
            // Removing the configuration takes a live tunnel down with it.
            state->settle(std::nullopt);
        }
        completion(error);
    });
}

std::optional<Error> StandInVPNBackend::start()
{
    assertMainThread();
    if (d->startError) {
        return d->startError;
    }
    if (isLive(d->status)) {
        return std::nullopt;
    }
    if (std::optional<Error> refused = d->checkStartable(d->saved)) {
        return refused;
    }
    d->transition(NEVPNStatus::connecting, NEVPNStatus::connected, {});
    return std::nullopt;
}

void StandInVPNBackend::stop()
{
    assertMainThread();
    if (!isLive(d->status)) {
        return;
    }
    d->transition(NEVPNStatus::disconnecting, NEVPNStatus::disconnected, {});
}

NEVPNStatus StandInVPNBackend::status() const
{
    return d->status;
}

void StandInVPNBackend::setStatusHandler(StatusHandler handler)
{
    d->handler = std::move(handler);
}

QString StandInVPNBackend::configurationPath() const
{
    return d->path;
}

std::optional<NEVPNConfiguration> StandInVPNBackend::savedConfiguration() const
{
    Result<std::optional<Configuration>> fromFile = readConfigurationFile(d->path);
    return fromFile ? fromFile.value() : std::nullopt;
}

void StandInVPNBackend::setLoadError(std::optional<Error> error, int successesFirst)
{
    d->loadError = std::move(error);
    d->loadSuccessesFirst = successesFirst;
}

void StandInVPNBackend::setSaveError(std::optional<Error> error)
{
    d->saveError = std::move(error);
}

void StandInVPNBackend::setRemoveError(std::optional<Error> error)
{
    d->removeError = std::move(error);
}

void StandInVPNBackend::setStartError(std::optional<Error> error)
{
    d->startError = std::move(error);
}

void StandInVPNBackend::setStepDelay(std::chrono::milliseconds delay)
{
    d->stepDelay = delay;
}

void StandInVPNBackend::holdStatus(std::optional<NEVPNStatus> status)
{
    assertMainThread();
    d->held = status;
    if (!d->next || d->held == d->status) {
        return;
    }
    d->scheduleStep(d->generation);
}

void StandInVPNBackend::dropTunnel(bool recovers, const QString& reason)
{
    assertMainThread();
    if (d->status != NEVPNStatus::connected) {
        return;
    }
    d->transition(NEVPNStatus::reasserting, recovers ? NEVPNStatus::connected : NEVPNStatus::disconnected, reason);
}

}  // namespace tandrel
