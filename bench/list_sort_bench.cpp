// The toolkit's list merge sort beside the array sort that rowsift uses
// (same order: ascending stable, descending its exact reverse), on keys
// with many ties.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "toolkit/list_sort.h"

namespace {

std::vector<int32_t> keys(size_t n)
{
    std::mt19937 rng(7);
    std::vector<int32_t> out(n);
    for (int32_t& k : out) {
        k = static_cast<int32_t>(rng() % 200000) - 1000;
    }
    return out;
}

void list_merge_sort(benchmark::State& state)
{
    const size_t n = static_cast<size_t>(state.range(0));
    const std::vector<int32_t> k = keys(n);
    std::vector<sort_node> nodes(n);
    for (auto _ : state) {
        state.PauseTiming();
        for (size_t i = 0; i < n; ++i) {
            nodes[i] = sort_node{nullptr, k[i], i + 1 < n ? &nodes[i + 1] : nullptr};
        }
        state.ResumeTiming();
        benchmark::DoNotOptimize(list_sort(nodes.data(), static_cast<int>(n), 0));
    }
}

void array_sort(benchmark::State& state)
{
    const size_t n = static_cast<size_t>(state.range(0));
    const std::vector<int32_t> k = keys(n);
    std::vector<uint64_t> order(n);
    for (auto _ : state) {
        state.PauseTiming();
        for (size_t i = 0; i < n; ++i) {
            order[i] = (static_cast<uint64_t>(static_cast<uint32_t>(k[i]) ^ 0x80000000u) << 32) | i;
        }
        state.ResumeTiming();
        std::sort(order.begin(), order.end());
        benchmark::DoNotOptimize(order.data());
    }
}

}  // namespace

BENCHMARK(list_merge_sort)->Arg(1 << 20)->Arg(10000000)->Unit(benchmark::kMillisecond);
BENCHMARK(array_sort)->Arg(1 << 20)->Arg(10000000)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
