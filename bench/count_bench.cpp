// Counted, not timed: the system calls one poll makes on the port (through the real POSIX seam
// on a pseudo-terminal), and the heap allocations of the exports over a million calls of each.
// interpose.cpp stands in for the C library's allocation functions and port system calls.
#include "bench/interpose.h"
#include "bench/pty_port.h"
#include "bench/summary.h"
#include "driver/exports.h"

#include <stdio.h>
#include <stdlib.h>

namespace {

Pty meter;
int portFd = -1;
const char* const Line = "pH  7.01   25.0 C\r\n";

void Calls(benchmark::State& state, const interpose::Counts& c)
{
    const double n = double(state.iterations());
    state.counters["syscalls_per_poll"] = double(c.ioctls + c.reads + c.writes) / n;
    state.counters["reads_per_poll"] = double(c.reads) / n;
    state.counters["writes"] = double(c.writes);
}

void PortCallsNothingWaiting(benchmark::State& state)
{
    interpose::Reset();
    for (auto _ : state) {
        interpose::Counting(true);
        benchmark::DoNotOptimize(ea(0));
        interpose::Counting(false);
    }
    Calls(state, interpose::Counted());
}
BENCHMARK(PortCallsNothingWaiting);

void PortCallsLineWaiting(benchmark::State& state)
{
    interpose::Reset();
    for (auto _ : state) {
        state.PauseTiming();
        if (!SendAndWait(meter, portFd, Line))
            state.SkipWithError("the line did not arrive");
        state.ResumeTiming();
        interpose::Counting(true);
        benchmark::DoNotOptimize(ea(0));
        interpose::Counting(false);
    }
    Calls(state, interpose::Counted());
}
BENCHMARK(PortCallsLineWaiting)->Iterations(2000);

constexpr int Exports = 58;
volatile intptr_t sink;

// One call of each export; channel 0 for the reading and label forms drains the port.
void CallEveryExport(int32_t c, double d)
{
    double v = 1.5;
    sink = ea(c) + intptr_t(ead(c)) + intptr_t(nea(c)) + intptr_t(nead(c)) + sa(c, 1) +
           intptr_t(sad(c, d)) + intptr_t(nsa(c)) + intptr_t(nsad(c)) + rsa(c) +
           intptr_t(rsad(c)) + eb(c) + intptr_t(neb(c)) + sb(c, 1) + intptr_t(nsb(c)) + rsb(c) +
           intptr_t(titre()) + intptr_t(detail()) + intptr_t(pead(c)) + intptr_t(psad(c, &v));
    sink = stdea(c) + intptr_t(stdead(c)) + intptr_t(stdnea(c)) + intptr_t(stdnead(c)) +
           stdsa(c, 1) + intptr_t(stdsad(c, d)) + intptr_t(stdnsa(c)) + intptr_t(stdnsad(c)) +
           intptr_t(stdrsad(c)) + stdeb(c) + intptr_t(stdneb(c)) + stdsb(c, 1) +
           intptr_t(stdnsb(c)) + stdrsb(c) + intptr_t(stdtitre()) + intptr_t(stddetail());
    sink = intptr_t(stdeas(c)) + intptr_t(stdrsas(c)) + intptr_t(stdsas(c, 1.5f));
    sink = intptr_t(eadouble(d)) + intptr_t(neadouble(d)) +
           intptr_t(sadouble(TIV_LTR_ARGS(d, 1.0))) + intptr_t(nsadouble(d)) +
           intptr_t(rsadouble(d)) + intptr_t(ebdouble(d)) + intptr_t(nebdouble(d)) +
           intptr_t(sbdouble(TIV_LTR_ARGS(d, 1.0))) + intptr_t(nsbdouble(d)) +
           intptr_t(rsbdouble(d));
    sink = intptr_t(stdeadouble(d)) + intptr_t(stdneadouble(d)) + intptr_t(stdsadouble(d, 1.0)) +
           intptr_t(stdnsadouble(d)) + intptr_t(stdrsadouble(d)) + intptr_t(stdebdouble(d)) +
           intptr_t(stdnebdouble(d)) + intptr_t(stdsbdouble(d, 1.0)) +
           intptr_t(stdnsbdouble(d)) + intptr_t(stdrsbdouble(d));
}

void AllocationsOfEveryExport(benchmark::State& state)
{
    interpose::Reset();
    unsigned long round = 0;
    for (auto _ : state) {
        if (round % 10000 == 0) { // now and then a line to take in and decode
            state.PauseTiming();
            SendToPort(meter, Line);
            state.ResumeTiming();
        }
        const int32_t c = int32_t(round % 3);
        interpose::Counting(true);
        CallEveryExport(c, double(c));
        interpose::Counting(false);
        ++round;
    }
    const interpose::Counts counts = interpose::Counted();
    state.counters["calls"] = double(state.iterations()) * Exports;
    state.counters["allocations"] = double(counts.allocations);
    state.counters["writes"] = double(counts.writes);
}
BENCHMARK(AllocationsOfEveryExport)->Iterations(1000000)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (!OpenLibraryPort(&meter, &portFd)) {
        fprintf(stderr, "count_bench: cannot set up the pseudo-terminal port\n");
        return 1;
    }
    interpose::Watch(portFd);
    // The counters must see what they count: one malloc, one operator new.
    interpose::Reset();
    interpose::Counting(true);
    void* volatile block = malloc(16);
    int* volatile number = new int(1);
    interpose::Counting(false);
    free(block);
    delete number;
    if (interpose::Counted().allocations != 2) {
        fprintf(stderr, "count_bench: the allocation counter does not see malloc and new\n");
        return 1;
    }
    Collector runs;
    benchmark::RunSpecifiedBenchmarks(&runs);

    const double idle = runs.Counter("PortCallsNothingWaiting", "syscalls_per_poll");
    const double line = runs.Counter("PortCallsLineWaiting", "syscalls_per_poll");
    const double allocations = runs.Counter("AllocationsOfEveryExport", "allocations");
    const double calls = runs.Counter("AllocationsOfEveryExport", "calls");
    const double writes = runs.Counter("PortCallsNothingWaiting", "writes") +
                          runs.Counter("PortCallsLineWaiting", "writes") +
                          runs.Counter("AllocationsOfEveryExport", "writes");
    if (runs.Ran("PortCallsNothingWaiting"))
        SummaryRow("port system calls per poll, nothing waiting", Format("%.2f", idle), "1",
                   idle == 1);
    if (runs.Ran("PortCallsLineWaiting"))
        SummaryRow("port system calls per poll, a line waiting", Format("%.2f", line), "<= 3",
                   line > 0 && line <= 3);
    SummaryRow("writes to the port, all the calls above", Format("%.0f", writes), "0",
               writes == 0);
    if (runs.Ran("AllocationsOfEveryExport"))
        SummaryRow(Format("heap allocations, %.0f calls (58 exports)", calls),
                   Format("%.0f", allocations), "0", allocations == 0);
    benchmark::Shutdown();
    return 0;
}
