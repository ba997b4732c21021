#pragma once

// What the region list and region map benchmarks share: a widget application on the
// offscreen platform, a controller whose backend is a closed loopback port (a load the
// screens start fails at once and changes nothing), a reproducible list of regions, and
// the heap in use, for memory counters.

#include "Models/VPNRegion.h"
#include "Network/Client.h"
#include "Platform/Keychain.h"
#include "Platform/NetworkExtension/NEVPNManager.h"
#include "Platform/StandIn/StandInVPNBackend.h"

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <malloc.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <memory>
#include <random>
#include <vector>

namespace tandrel::bench {

// `count` regions in the controller's order (sorted by country name), over a mix of
// countries with their flags, some names outside ASCII, one long enough to wrap.
inline std::vector<VPNRegion> sampleRegions(int count)
{
    struct Country {
        const char* name;
        const char* code;
    };
    static const Country countries[] = {
        {"Argentina", "AR"},
        {"Australia", "AU"},
        {"Austria", "AT"},
        {"Belgium", "BE"},
        {"Brasil", "BR"},
        {"Canada", "CA"},
        {"Česko", "CZ"},
        {"Denmark", "DK"},
        {"España", "ES"},
        {"Finland", "FI"},
        {"France", "FR"},
        {"Germany", "DE"},
        {"Ísland", "IS"},
        {"Italy", "IT"},
        {"Japan", "JP"},
        {"Mexico", "MX"},
        {"Norge", "NO"},
        {"Österreich", "AT"},
        {"Portugal", "PT"},
        {"Sverige", "SE"},
        {"Switzerland", "CH"},
        {"Türkiye", "TR"},
        {"United Kingdom", "GB"},
        {"United States", "US"},
        {"United Arab Emirates", "AE"},
        {"Ελλάδα", "GR"},
        {"日本", "JP"},
    };
    std::mt19937_64 random(20261207);
    std::vector<VPNRegion> regions;
    regions.reserve(static_cast<std::size_t>(count));
    for (int id = 1; id <= count; ++id) {
        const Country& country = countries[random() % std::size(countries)];
        VPNRegion region;
        region.id = id;
        region.is_alive = true;
        region.server_domain = QStringLiteral("vpn-%1.tandrel.example").arg(id);
        region.city = QStringLiteral("City %1").arg(id % 997);
        region.country_code = QString::fromLatin1(country.code);
        region.ip = QStringLiteral("198.51.100.%1").arg(id % 250);
        region.load_percentage = static_cast<qint64>(random() % 100);
        region.country_name = QString::fromUtf8(country.name);
        region.distance = static_cast<qint64>(random() % 20000);
        region.location.latitude = static_cast<float>(random() % 16000) / 100.0f - 80.0f;
        region.location.longitude = static_cast<float>(random() % 36000) / 100.0f - 180.0f;
        region.short_name = QStringLiteral("r%1").arg(id);
        region.continent = QStringLiteral("Europe");
        regions.push_back(std::move(region));
    }
    std::stable_sort(regions.begin(), regions.end(),
                     [](const VPNRegion& a, const VPNRegion& b) { return a.country_name < b.country_name; });
    regions.front().country_name.prepend(QStringLiteral("Optimal region\n"));
    return regions;
}

// The sample regions of each size, made once per run.
inline const std::vector<VPNRegion>& regionsOf(int count)
{
    static std::map<int, std::vector<VPNRegion>> made;
    auto it = made.find(count);
    if (it == made.end()) {
        it = made.emplace(count, sampleRegions(count)).first;
    }
    return it->second;
}

// Lets posted events and due timers run (a screen's redraw a turn after a change, a list
// view's delayed layout), then paints what they left to be painted, as the next frame would.
inline void settle()
{
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::UpdateRequest);
}

// Bytes the heap holds in use now: the difference across building a screen is what it
// keeps, whatever the allocator had already reserved.
inline double heapInUseMB()
{
    const struct mallinfo2 info = mallinfo2();
    return static_cast<double>(info.uordblks + info.hblkhd) / (1024.0 * 1024.0);
}

// The resident size of the whole process now; run one benchmark per process
// (--benchmark_filter) to compare two of them.
inline double residentMB()
{
    long pages = 0;
    long resident = 0;
    if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2) {
            resident = 0;
        }
        std::fclose(statm);
    }
    return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

// The parts a controller talks to, private to the run: settings and keychain in a
// temporary folder, the stand-in VPN service, and a backend address on loopback where
// nothing listens.
class ScreenEnvironment {
public:
    ScreenEnvironment()
    {
        Client::setServerPath(QStringLiteral("http://127.0.0.1:9/api/"));
        KeychainStore::setSystem(KeychainStore::makeFileStore(keychainFile()));
        NEVPNManager::shared().setBackend(std::make_shared<StandInVPNBackend>(vpnConfigurationFile()));
    }

    // The keychain's file, which a process started from the run may share.
    static QString keychainFile() { return folder().filePath(QStringLiteral("keychain")); }
    static QString vpnConfigurationFile() { return folder().filePath(QStringLiteral("vpn-configuration.json")); }

private:
    static QTemporaryDir& folder()
    {
        static QTemporaryDir made;
        return made;
    }
};

// A benchmark program's entry: Google Benchmark's flags first, then the widget
// application on the offscreen platform (unless another platform is asked for).
inline int runBenchmarks(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    // The settings a selection writes (with a flush to the disk each) go to memory where
    // there is some: the figures are the screens', not those of a disk shared with others.
    static QTemporaryDir home(QStringLiteral("/dev/shm/tandrel-bench-XXXXXX"));
    if (home.isValid()) {
        qputenv("HOME", QFile::encodeName(home.path()));
    }
    QStandardPaths::setTestModeEnabled(true);
    QApplication application(argc, argv);
    ScreenEnvironment environment;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

}  // namespace tandrel::bench
