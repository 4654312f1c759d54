// StrEncode through the exported call, on texts up to a megabyte: the time must grow with
// the length, not with its square.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "TrovelSdk.h"

static void BM_StrEncode(benchmark::State& state)
{
    const auto size = static_cast<std::size_t>(state.range(0));
    std::vector<char> source(size + 1, '\0');
    for (std::size_t i = 0; i < size; ++i)
        source[i] = static_cast<char>('A' + i % 26);
    std::vector<char> coded(size);
    char* destination = coded.data();
    for (auto _ : state) {
        benchmark::DoNotOptimize(StrEncode(source.data(), &destination, 13));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_StrEncode)->Arg(1024)->Arg(1024 * 1024)->Unit(benchmark::kMicrosecond);
