// Cost of moving one card's data between its flat map and JSON, and of reading a sub-tree back.
#include <benchmark/benchmark.h>

#include <nlohmann/json.hpp>
#include <string>

#include "core/VariantMap.h"

namespace {

// A card read with a few files and a trip log, about the size a layout hands over.
nlohmann::json cardDocument(int trips)
{
    nlohmann::json doc;
    doc["card"] = {{"uid", "04A1B2C3D4E5F6"}, {"type", 256}, {"ats", "0675778102"}};
    for (int i = 0; i < 8; ++i)
        doc["files"].push_back({{"no", i}, {"data", std::string(64, 'A' + i)}, {"size", 32}});
    for (int i = 0; i < trips; ++i)
        doc["trips"].push_back(
            {{"stop", "Stäfa " + std::to_string(i)}, {"t", 1709190000 + i}, {"fare", -250}});
    return doc;
}

void FromJson(benchmark::State& state)
{
    const nlohmann::json doc = cardDocument(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        VariantMap m;
        benchmark::DoNotOptimize(m.fromJson(doc).size());
    }
}
BENCHMARK(FromJson)->Arg(12)->Arg(200);

void ToJson(benchmark::State& state)
{
    VariantMap m;
    m.fromJson(cardDocument(static_cast<int>(state.range(0))));
    for (auto _ : state) benchmark::DoNotOptimize(m.toJson());
}
BENCHMARK(ToJson)->Arg(12)->Arg(200);

void GetSubtree(benchmark::State& state)
{
    VariantMap m;
    m.fromJson(cardDocument(static_cast<int>(state.range(0))));
    for (auto _ : state) benchmark::DoNotOptimize(m.get("card"));
}
BENCHMARK(GetSubtree)->Arg(12)->Arg(200);

}  // namespace

BENCHMARK_MAIN();
