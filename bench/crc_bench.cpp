// CRC16 throughput over frame-sized and bulk buffers.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "modbus/Crc16.h"

static void BM_Crc16(benchmark::State& state)
{
    std::vector<std::uint8_t> data(static_cast<std::size_t>(state.range(0)));
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<std::uint8_t>(i * 131u + 7u);
    for (auto _ : state) {
        benchmark::DoNotOptimize(data.data());
        benchmark::DoNotOptimize(trovel::modbus::Crc16(data));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Crc16)->Arg(6)->Arg(11)->Arg(1024)->Arg(64 * 1024);
