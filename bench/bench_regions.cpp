// What the region model costs above parsing: the regions answer's bytes parsed, decoded
// strictly, sorted by country name and the optimal entry chosen and placed, next to a bare
// parse of the same bytes with the JSON library.
#include "Models/OptimalRegion.h"
#include "Models/VPNRegion.h"

#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>

#include <QByteArray>

#include <algorithm>
#include <random>

namespace {

using nlohmann::json;
using tandrel::VPNRegion;

// A reproducible answer of `count` regions over a mix of country names, some outside
// ASCII, some without a distance, a few nearest.
QByteArray regionsAnswer(int count)
{
    static const char* const countries[] = {
        "Germany", "Austria", "Åland",      "albania",  "Zambia",         "Česko",       "Brasil",
        "日本",    "Ελλάδα",  "Sverige",    "España",   "United Kingdom", "Switzerland", "Türkiye",
        "Ísland",  "Norge",   "Österreich", "Portugal", "Canada",         "Australia",
    };
    std::mt19937_64 random(20261207);
    json regions = json::array();
    for (int id = 1; id <= count; ++id) {
        const char* country = countries[random() % std::size(countries)];
        json region = {
            {"id", id},
            {"is_streaming", random() % 2 == 0},
            {"is_free", random() % 5 == 0},
            {"is_alive", true},
            {"server_domain", "vpn-" + std::to_string(id) + ".tandrel.example"},
            {"city", "City " + std::to_string(id % 997)},
            {"country_code", "XX"},
            {"is_p2p", random() % 3 == 0},
            {"ip", "198.51.100." + std::to_string(id % 250)},
            {"load_percentage", static_cast<int>(random() % 100)},
            {"country_name", country},
            {"is_nearest", random() % 50 == 0},
            {"location",
             {{"latitude", static_cast<double>(random() % 18000) / 100.0 - 90.0},
              {"longitude", static_cast<double>(random() % 36000) / 100.0 - 180.0}}},
            {"short_name", "r" + std::to_string(id)},
            {"continent", "Europe"},
            {"unused_extra", "ignored"},
        };
        const auto roll = random() % 10;
        if (roll < 7) {
            region["distance"] = static_cast<std::int64_t>(random() % 20000);
        } else if (roll < 8) {
            region["distance"] = nullptr;
        }
        regions.push_back(std::move(region));
    }
    return QByteArray::fromStdString(regions.dump());
}

const QByteArray& answer()
{
    static const QByteArray bytes = regionsAnswer(10000);
    return bytes;
}

void BM_ParseOnly(benchmark::State& state)
{
    const QByteArray& bytes = answer();
    for (auto _ : state) {
        json parsed = json::parse(bytes.cbegin(), bytes.cend());
        benchmark::DoNotOptimize(parsed);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * bytes.size());
}

void BM_ParseDecodeSortChoose(benchmark::State& state)
{
    const QByteArray& bytes = answer();
    for (auto _ : state) {
        const json parsed = json::parse(bytes.cbegin(), bytes.cend());
        tandrel::Result<std::vector<VPNRegion>> decoded = VPNRegion::decodeArray(parsed);
        if (!decoded) {
            state.SkipWithError("decoding failed");
            break;
        }
        std::vector<VPNRegion> regions = std::move(decoded.value());
        tandrel::OptimalRegion::sortByCountryName(regions);
        const tandrel::OptimalRegion::Choice choice = tandrel::OptimalRegion::choose(regions);
        if (choice.best) {
            const VPNRegion best = regions[*choice.best];
            std::erase_if(regions, [id = best.id](const VPNRegion& region) { return region.id == id; });
            regions.insert(regions.begin(), tandrel::OptimalRegion::makeOptimalEntry(best));
        }
        benchmark::DoNotOptimize(regions);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * answer().size());
}

// The model's own share, for reading the ratio directly.
void BM_DecodeSortChooseOnly(benchmark::State& state)
{
    const json parsed = json::parse(answer().cbegin(), answer().cend());
    for (auto _ : state) {
        tandrel::Result<std::vector<VPNRegion>> decoded = VPNRegion::decodeArray(parsed);
        std::vector<VPNRegion> regions = std::move(decoded.value());
        tandrel::OptimalRegion::sortByCountryName(regions);
        benchmark::DoNotOptimize(tandrel::OptimalRegion::choose(regions));
    }
}

}  // namespace

BENCHMARK(BM_ParseOnly)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ParseDecodeSortChoose)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DecodeSortChooseOnly)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
