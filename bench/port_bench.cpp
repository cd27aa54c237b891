// A poll with nothing waiting: ea(0) against the bare port query it rests on, FIONREAD on the
// same pseudo-terminal descriptor, in the same run. The paired benchmark alternates blocks of
// the two so that both see the same machine state; its ratio is the figure reported.
#include "bench/pty_port.h"
#include "bench/summary.h"
#include "driver/exports.h"

#include <chrono>
#include <stdio.h>
#include <sys/ioctl.h>

namespace {

Pty meter;
int portFd = -1;

void BareQuery(benchmark::State& state)
{
    for (auto _ : state) {
        int n = 0;
        ioctl(portFd, FIONREAD, &n);
        benchmark::DoNotOptimize(n);
    }
}
BENCHMARK(BareQuery);

void IdleEa(benchmark::State& state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(ea(0));
}
BENCHMARK(IdleEa);

void IdleEaAgainstBareQuery(benchmark::State& state)
{
    using Clock = std::chrono::steady_clock;
    constexpr int Block = 200;
    Clock::duration query{}, poll{};
    bool eaFirst = false;
    for (auto _ : state) {
        for (int pass = 0; pass < 2; ++pass) {
            const auto t0 = Clock::now();
            if ((pass == 0) == eaFirst) {
                for (int i = 0; i < Block; ++i)
                    benchmark::DoNotOptimize(ea(0));
                poll += Clock::now() - t0;
            } else {
                for (int i = 0; i < Block; ++i) {
                    int n = 0;
                    ioctl(portFd, FIONREAD, &n);
                    benchmark::DoNotOptimize(n);
                }
                query += Clock::now() - t0;
            }
        }
        eaFirst = !eaFirst;
    }
    const double calls = double(state.iterations()) * Block;
    state.counters["query_ns"] = std::chrono::duration<double, std::nano>(query).count() / calls;
    state.counters["ea_ns"] = std::chrono::duration<double, std::nano>(poll).count() / calls;
    state.counters["ratio"] = double(poll.count()) / double(query.count());
}
BENCHMARK(IdleEaAgainstBareQuery)->MinTime(3.0);

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (!OpenLibraryPort(&meter, &portFd)) {
        fprintf(stderr, "port_bench: cannot set up the pseudo-terminal port\n");
        return 1;
    }
    Collector runs;
    benchmark::RunSpecifiedBenchmarks(&runs);
    if (runs.Ran("IdleEaAgainstBareQuery")) {
        const double ratio = runs.Counter("IdleEaAgainstBareQuery", "ratio");
        SummaryRow("ea(0), nothing waiting (pty)",
                   Format("%.0f ns", runs.Counter("IdleEaAgainstBareQuery", "ea_ns")));
        SummaryRow("bare FIONREAD on the same pty",
                   Format("%.0f ns", runs.Counter("IdleEaAgainstBareQuery", "query_ns")));
        SummaryRow("ratio ea(0) / bare query", Format("%.3fx", ratio), "<= 1.05x", ratio <= 1.05);
    }
    benchmark::Shutdown();
    return 0;
}
