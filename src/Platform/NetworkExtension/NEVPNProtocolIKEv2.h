#pragma once

#include <QByteArray>
#include <QString>

namespace tandrel {

// Numeric values are those the system's VPN service defines for these settings.
enum class NEVPNIKEAuthenticationMethod : int { none = 0, certificate = 1, sharedSecret = 2 };

enum class NEVPNIKEv2EncryptionAlgorithm : int {
    algorithmDES = 1,
    algorithm3DES = 2,
    algorithmAES128 = 3,
    algorithmAES256 = 4,
    algorithmAES128GCM = 5,
    algorithmAES256GCM = 6,
    algorithmChaCha20Poly1305 = 7,
};

enum class NEVPNIKEv2IntegrityAlgorithm : int { SHA96 = 1, SHA160 = 2, SHA256 = 3, SHA384 = 4, SHA512 = 5 };

enum class NEVPNIKEv2DiffieHellmanGroup : int {
    groupInvalid = 0,
    group1 = 1,
    group2 = 2,
    group5 = 5,
    group14 = 14,
    group15 = 15,
    group16 = 16,
    group17 = 17,
    group18 = 18,
    group19 = 19,
    group20 = 20,
    group21 = 21,
    group31 = 31,  // Curve25519
    group32 = 32,  // Curve448
};

enum class NEVPNIKEv2DeadPeerDetectionRate : int { none = 0, low = 1, medium = 2, high = 3 };

struct NEVPNIKEv2SecurityAssociationParameters {
    NEVPNIKEv2EncryptionAlgorithm encryptionAlgorithm = NEVPNIKEv2EncryptionAlgorithm::algorithm3DES;
    NEVPNIKEv2IntegrityAlgorithm integrityAlgorithm = NEVPNIKEv2IntegrityAlgorithm::SHA96;
    NEVPNIKEv2DiffieHellmanGroup diffieHellmanGroup = NEVPNIKEv2DiffieHellmanGroup::group2;
    int lifetimeMinutes = 1440;

    bool operator==(const NEVPNIKEv2SecurityAssociationParameters&) const = default;
};

// The IKEv2 settings of the one VPN configuration. Defaults are the service's own.
struct NEVPNProtocolIKEv2 {
    QString serverAddress;
    QString username;
    QByteArray passwordReference;  // keychain persistent reference of the password item
    QString remoteIdentifier;
    QString localIdentifier;
    NEVPNIKEAuthenticationMethod authenticationMethod = NEVPNIKEAuthenticationMethod::none;
    bool useExtendedAuthentication = false;
    NEVPNIKEv2SecurityAssociationParameters IKESecurityAssociationParameters;
    NEVPNIKEv2SecurityAssociationParameters childSecurityAssociationParameters;
    bool enablePFS = false;
    NEVPNIKEv2DeadPeerDetectionRate deadPeerDetectionRate = NEVPNIKEv2DeadPeerDetectionRate::medium;
    bool includeAllNetworks = false;
    bool excludeLocalNetworks = false;
    bool disconnectOnSleep = false;

    bool operator==(const NEVPNProtocolIKEv2&) const = default;
};

enum class NEOnDemandRuleInterfaceType : int { any = 0, ethernet = 1, wiFi = 2, cellular = 3 };

struct NEOnDemandRuleConnect {
    NEOnDemandRuleInterfaceType interfaceTypeMatch = NEOnDemandRuleInterfaceType::any;

    bool operator==(const NEOnDemandRuleConnect&) const = default;
};

}  // namespace tandrel
