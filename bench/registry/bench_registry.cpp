// Cost of reading the registry file, which every registry call does: one
// key holding a binary value of the largest size a program may set (1 MB)
// and smaller, written over many ",\" continued lines; and many keys, each
// holding a few values.  Reading should grow in step with the file.
#include "registry_file.h"

#include <benchmark/benchmark.h>

namespace {

void parse_binary_value(benchmark::State &state)
{
    board::reg::Hive h;
    board::reg::Key *k = h.create("HKEY_LOCAL_MACHINE\\Large");
    size_t size = static_cast<size_t>(state.range(0));
    board::reg::Hive::set_value(*k, {"blob", board::reg::kBinary, std::vector<uint8_t>(size, 0xA5)});
    std::string text = board::reg::serialise(h);
    for (auto _ : state)
        benchmark::DoNotOptimize(board::reg::parse(text, "bench.reg"));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
    state.SetComplexityN(state.range(0));
}

void parse_many_keys(benchmark::State &state)
{
    board::reg::Hive h;
    for (int64_t i = 0; i < state.range(0); ++i) {
        board::reg::Key *k = h.create("HKEY_LOCAL_MACHINE\\Software\\Key" + std::to_string(i));
        for (int v = 0; v < 4; ++v)
            board::reg::Hive::set_value(*k, {"Value" + std::to_string(v), board::reg::kDword, {1, 0, 0, 0}});
    }
    std::string text = board::reg::serialise(h);
    for (auto _ : state)
        benchmark::DoNotOptimize(board::reg::parse(text, "bench.reg"));
    state.SetComplexityN(state.range(0));
}

}  // namespace

BENCHMARK(parse_binary_value)->RangeMultiplier(4)->Range(16 << 10, 1 << 20)->Complexity();
BENCHMARK(parse_many_keys)->RangeMultiplier(4)->Range(256, 16 << 10)->Complexity();

BENCHMARK_MAIN();
