// The memory a backend answer takes while it is parsed, next to a bare parse of the same
// bytes with the JSON library. Every allocation the parsers make goes through the counting
// operator new below; the answer's own bytes are counted once on top, as the client holds
// them while it parses. The counter "peak_to_answer" is that peak over the answer's size:
// the client keeps it under 4 for a 16 MiB answer, whatever its shape.
#include "Network/JSON.h"

#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>

#include <QByteArray>

#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <new>
#include <string>

namespace {

std::atomic<size_t> g_allocated{0};
std::atomic<size_t> g_peak{0};

void noteAllocation(void* block)
{
    const size_t now = g_allocated += malloc_usable_size(block);
    size_t peak = g_peak.load();
    while (now > peak && !g_peak.compare_exchange_weak(peak, now)) {
    }
}

}  // namespace

void* operator new(size_t size)
{
    void* block = std::malloc(size == 0 ? 1 : size);
    if (!block) {
        throw std::bad_alloc();
    }
    noteAllocation(block);
    return block;
}

void operator delete(void* block) noexcept
{
    if (block) {
        g_allocated -= malloc_usable_size(block);
        std::free(block);
    }
}

void operator delete(void* block, size_t) noexcept
{
    operator delete(block);
}

namespace {

constexpr qsizetype kSixteenMebibytes = 16 * 1024 * 1024;

// `[item,item,…]` filling exactly `size` bytes (the last item may be cut to fit).
QByteArray filledArray(const QByteArray& item, qsizetype size)
{
    QByteArray text = "[" + (item + ',').repeated((size - 2) / (item.size() + 1));
    text.chop(1);
    while (text.size() < size - 1) {
        text += ' ';
    }
    return text + ']';
}

// A plausible regions answer of `count` regions.
QByteArray regionsAnswer(int count)
{
    nlohmann::json regions = nlohmann::json::array();
    for (int id = 1; id <= count; ++id) {
        regions.push_back({{"id", id},
                           {"is_streaming", id % 2 == 0},
                           {"is_free", id % 5 == 0},
                           {"is_alive", true},
                           {"server_domain", "vpn-" + std::to_string(id) + ".tandrel.example"},
                           {"city", "City " + std::to_string(id % 997)},
                           {"country_code", "DE"},
                           {"is_p2p", id % 3 == 0},
                           {"ip", "198.51.100." + std::to_string(id % 250)},
                           {"load_percentage", id % 100},
                           {"country_name", "Germany"},
                           {"distance", id * 7},
                           {"is_nearest", id == 1},
                           {"location", {{"latitude", 52.52}, {"longitude", 13.40}}},
                           {"short_name", "r" + std::to_string(id)},
                           {"continent", "Europe"}});
    }
    return QByteArray::fromStdString(regions.dump());
}

const QByteArray& answer(int shape)
{
    static const QByteArray emptyObjects = filledArray("{}", kSixteenMebibytes);
    static const QByteArray zeros = filledArray("0", kSixteenMebibytes);
    static const QByteArray longText = "{\"filler\":\"" + QByteArray(kSixteenMebibytes - 13, 'x') + "\"}";
    static const QByteArray regions = regionsAnswer(2000);
    static const QByteArray megabyteTexts = filledArray('"' + QByteArray(1024 * 1024 - 8, 'x') + '"', kSixteenMebibytes);
    switch (shape) {
        case 0:
            return emptyObjects;
        case 1:
            return zeros;
        case 2:
            return longText;
        case 3:
            return regions;
        default:
            return megabyteTexts;
    }
}

const char* const kShapeNames[] = {"16 MiB of {}", "16 MiB of 0", "16 MiB text", "2000 regions",
                                   "16 MiB of 1 MiB texts"};

template <typename Parse>
void measure(benchmark::State& state, Parse parse)
{
    const QByteArray& bytes = answer(static_cast<int>(state.range(0)));
    state.SetLabel(kShapeNames[state.range(0)]);
    size_t peak = 0;
    bool accepted = false;
    for (auto _ : state) {
        const size_t before = g_allocated.load();
        g_peak = before;
        accepted = parse(bytes);
        peak = std::max(peak, g_peak.load() - before);
    }
    state.counters["answer_MiB"] = static_cast<double>(bytes.size()) / (1024 * 1024);
    state.counters["peak_MiB"] = static_cast<double>(peak + bytes.size()) / (1024 * 1024);
    state.counters["peak_to_answer"] = static_cast<double>(peak + bytes.size()) / static_cast<double>(bytes.size());
    state.counters["accepted"] = accepted ? 1 : 0;
}

void BM_BareLibraryParse(benchmark::State& state)
{
    measure(state, [](const QByteArray& bytes) {
        nlohmann::json parsed = nlohmann::json::parse(bytes.cbegin(), bytes.cend());
        benchmark::DoNotOptimize(parsed);
        return true;
    });
}

void BM_ClientParse(benchmark::State& state)
{
    measure(state, [](const QByteArray& bytes) {
        tandrel::Result<tandrel::JSON> parsed = tandrel::JSON::parse(bytes);
        benchmark::DoNotOptimize(parsed);
        return parsed.ok();
    });
}

}  // namespace

BENCHMARK(BM_BareLibraryParse)->DenseRange(0, 4)->Iterations(2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ClientParse)->DenseRange(0, 4)->Iterations(2)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
