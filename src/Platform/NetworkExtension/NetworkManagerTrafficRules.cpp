// What the tunnel holds back while it is wanted (everything but the server under the kill
// switch, IPv6 always) and lets by (the local networks where they are excluded), and how a
// run takes over the blocks an earlier one left.
#include "Platform/NetworkExtension/NetworkManagerSession.h"

#include "BuildConfig.h"

#include <QFile>
#include <QSettings>
#include <QStandardPaths>

namespace tandrel {

namespace {

// Where a run notes the blocks it set, so that the next run (after a crash) can tell a
// tunnel still wanted from one the user had ended.
QString blocksStatePath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QLatin1Char('/') +
           QString::fromUtf8(BuildConfig::bundleIdentifier) + QStringLiteral("/networkmanager-blocks.ini");
}

// This boot of the machine: the blocks live in the links' running configuration, so a
// restart has ended them, and a note from before it speaks of nothing.
QString bootId()
{
    QFile file(QStringLiteral("/proc/sys/kernel/random/boot_id"));
    return file.open(QIODevice::ReadOnly) ? QString::fromLatin1(file.readAll().trimmed()) : QString();
}

}  // namespace

NetworkManagerBlocks NetworkManagerVPNBackend::Session::blocksFor(const QStringList& serverAddresses) const
{
    NetworkManagerBlocks blocks;
    if (!m_configuration || !m_configuration->protocolConfiguration) {
        return blocks;
    }
    // The kill switch (include all networks) holds everything back but the server; IPv6
    // is blocked whatever it says, as the tunnel carries none (were it to, its own table
    // comes ahead of the block).
    blocks.holdBack = m_configuration->protocolConfiguration->includeAllNetworks;
    blocks.serverAddresses = blocks.holdBack ? serverAddresses : QStringList{};
    blocks.blockIPv6 = true;
    blocks.excludeLocalNetworks = m_configuration->protocolConfiguration->excludeLocalNetworks;
    return blocks;
}

void NetworkManagerVPNBackend::Session::holdTraffic(const NetworkManagerBlocks& blocks, std::function<void()> then)
{
    QSettings state(blocksStatePath(), QSettings::IniFormat);
    state.setValue(QStringLiteral("wanted"), !blocks.isEmpty());
    state.setValue(QStringLiteral("boot"), bootId());
    state.setValue(QStringLiteral("holdBack"), blocks.holdBack);
    state.setValue(QStringLiteral("serverAddresses"), blocks.serverAddresses);
    state.setValue(QStringLiteral("blockIPv6"), blocks.blockIPv6);
    state.setValue(QStringLiteral("excludeLocalNetworks"), blocks.excludeLocalNetworks);
    state.sync();
    // NetworkManager away: the rules it installed stay in the kernel with nobody to take them.
    m_releasedWhileGone = blocks.isEmpty() && m_networkManagerGone
                              ? (m_killSwitch.blocks().isEmpty() ? m_releasedWhileGone : m_killSwitch.blocks())
                              : NetworkManagerBlocks{};
    m_killSwitch.set(blocks, std::move(then));
}

void NetworkManagerVPNBackend::Session::recoverBlocks()
{
    if (m_recovered) {
        return;
    }
    m_recovered = true;
    const QSettings state(blocksStatePath(), QSettings::IniFormat);
    NetworkManagerBlocks left;
    if (state.value(QStringLiteral("wanted")).toBool() && state.value(QStringLiteral("boot")).toString() == bootId()) {
        left.holdBack = state.value(QStringLiteral("holdBack")).toBool();
        left.serverAddresses = state.value(QStringLiteral("serverAddresses")).toStringList();
        left.blockIPv6 = state.value(QStringLiteral("blockIPv6")).toBool();
        left.excludeLocalNetworks = state.value(QStringLiteral("excludeLocalNetworks")).toBool();
    }
    const bool tunnelUp = !m_activePath.isEmpty();
    const bool stillWanted = !left.isEmpty() && restingStatus() != NEVPNStatus::invalid &&
                             (tunnelUp || (left.holdBack && onDemandEnabled()));
    if (!stillWanted) {
        if (!left.isEmpty() || m_killSwitch.foundOnLinks()) {
            releaseTraffic();
        }
        return;
    }
    // Set them again: a link activated while we were gone lost them.
    holdTraffic(left);
    if (tunnelUp && left.holdBack && m_wanted && status() == NEVPNStatus::connecting) {
        m_afterDrop = true;  // an attempt to get back a dropped tunnel, still on its way
        setStatus(NEVPNStatus::reasserting);
    }
    if (!tunnelUp) {
        // The tunnel dropped while we were gone: get it back, and say that traffic waits for it.
        m_wanted = true;
        m_afterDrop = true;
        setStatus(NEVPNStatus::reasserting);
        activateIfStillWanted();
    }
}

}  // namespace tandrel
