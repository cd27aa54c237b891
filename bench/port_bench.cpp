// A poll with nothing waiting: ea(0) against the bare port query it rests on, FIONREAD on the
// same pseudo-terminal descriptor, in the same run. The paired benchmark alternates blocks of
// the two so that both see the same machine state, and times them by the thread's processor
// time; the median of its ratio over the repetitions is the figure reported.
#include "bench/pty_port.h"
#include "bench/summary.h"
#include "driver/exports.h"

#include <stdio.h>
#include <time.h>
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

// Processor time of this thread (user and system), which other work on a shared machine does
// not add to.
double ThreadNanoseconds()
{
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e9 + double(t.tv_nsec);
}

void IdleEaAgainstBareQuery(benchmark::State& state)
{
    constexpr int Block = 200;
    double query = 0, poll = 0;
    bool eaFirst = false;
    for (auto _ : state) {
        for (int pass = 0; pass < 2; ++pass) {
            const double t0 = ThreadNanoseconds();
            if ((pass == 0) == eaFirst) {
                for (int i = 0; i < Block; ++i)
                    benchmark::DoNotOptimize(ea(0));
                poll += ThreadNanoseconds() - t0;
            } else {
                for (int i = 0; i < Block; ++i) {
                    int n = 0;
                    ioctl(portFd, FIONREAD, &n);
                    benchmark::DoNotOptimize(n);
                }
                query += ThreadNanoseconds() - t0;
            }
        }
        eaFirst = !eaFirst;
    }
    const double calls = double(state.iterations()) * Block;
    state.counters["query_ns"] = query / calls;
    state.counters["ea_ns"] = poll / calls;
    state.counters["ratio"] = poll / query;
}
// Repeated: on a shared machine the figure moves with the load.
BENCHMARK(IdleEaAgainstBareQuery)->MinTime(1.0)->Repetitions(7);

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
        const auto ratio = runs.Repeated("IdleEaAgainstBareQuery", "ratio");
        SummaryRow("ea(0), nothing waiting (pty), median",
                   Format("%.0f ns", runs.Repeated("IdleEaAgainstBareQuery", "ea_ns").median));
        SummaryRow("bare FIONREAD on the same pty, median",
                   Format("%.0f ns", runs.Repeated("IdleEaAgainstBareQuery", "query_ns").median));
        SummaryRow("ratio ea(0) / bare query, median of 7",
                   Format("%.3fx", ratio.median), "<= 1.05x", ratio.median <= 1.05);
        SummaryRow("  least .. greatest of the 7",
                   Format("%.3f", ratio.least) + " .. " + Format("%.3f", ratio.greatest));
    }
    benchmark::Shutdown();
    return 0;
}
