// The meter code alone, over an in-memory serial seam (in place of serial/port_posix.cpp):
// the decode of one frame, and the drain of bursts up to 64 KiB, which a pseudo-terminal could
// not hold (it queues about 4 KiB). The seam costs a function call per query and a memcpy per
// read.
#include "bench/summary.h"
#include "driver/build.h"
#include "driver/exports.h"
#include "meter/meter.h"
#include "serial/port.h"
#include "serial/ucommw32.h"

#include <math.h>
#include <string.h>
#include <string>

namespace {

unsigned char burst[1 << 16];
size_t head, tail;     // bytes head..tail of `burst` are waiting
unsigned long reads;

// Queues the first n bytes of the burst.
void Arrive(size_t n)
{
    head = 0;
    tail = n;
}

// Takes in one whole line; false unless a reading of it gives `value`.
bool TakeLine(const char* line, double value)
{
    ResetMeter();
    memcpy(burst, line, strlen(line));
    Arrive(strlen(line));
    return Measure() == value; // nothing is waiting any more
}

// A reading decodes only a line that is new since the last one, so every round brings the
// line in again: the figure is that of taking in one line and decoding it.
void Decode(benchmark::State& state, const char* line, double value)
{
    if (!TakeLine(line, value))
        state.SkipWithError("the line does not decode");
    const size_t length = strlen(line);
    for (auto _ : state) {
        Arrive(length);
        benchmark::DoNotOptimize(Measure());
    }
}
BENCHMARK_CAPTURE(Decode, pH, "\npH  7.01   25.0 C\r\n", 7.01);
BENCHMARK_CAPTURE(Decode, mV, "\n -123mV\r\n", -123.0);

// The whole of ea(0) with nothing waiting, without a system call: what the library adds to the
// port query when its code and data are warm.
void IdleEa(benchmark::State& state)
{
    if (!TakeLine("\npH  7.01   25.0 C\r\n", 7.01) || ea(0) != 7)
        state.SkipWithError("the line does not decode");
    for (auto _ : state)
        benchmark::DoNotOptimize(ea(0));
}
BENCHMARK(IdleEa);

void Drain(benchmark::State& state)
{
    const size_t n = size_t(state.range(0));
    reads = 0;
    for (auto _ : state) {
        Arrive(n);
        CollectInput();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(n));
    state.SetComplexityN(int64_t(n));
    state.counters["reads_per_drain"] = double(reads) / double(state.iterations());
}
BENCHMARK(Drain)->RangeMultiplier(2)->Range(1 << 10, 1 << 16)->Complexity(benchmark::oN);

} // namespace

// The in-memory seam.
PortHandle PlatformOpen(const char*, const char*, uint16_t) { return 1; }

bool PlatformQueued(PortHandle, uint32_t* count)
{
    *count = uint32_t(tail - head);
    return true;
}

unsigned PlatformRead(PortHandle, unsigned char* buffer, unsigned n)
{
    ++reads;
    size_t got = n < tail - head ? n : tail - head;
    memcpy(buffer, burst + head, got);
    head += got;
    return unsigned(got);
}

void PlatformClose(PortHandle) {}

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    // Meter lines, over and over: what a burst from the meter looks like.
    const std::string line = "pH  7.01   25.0 C\r\n";
    for (size_t i = 0; i < sizeof burst; ++i)
        burst[i] = static_cast<unsigned char>(line[i % line.size()]);
    ResetMeter();
    SetText(PortName, PortNameCapacity, BuildPortName);
    OpenPort();

    Collector runs;
    benchmark::RunSpecifiedBenchmarks(&runs);

    // Processor time: nothing here waits, and on a shared machine wall-clock time also counts
    // the time other work held the processor.
    const double ph = CpuNanoseconds(runs["Decode/pH"]);
    const double mv = CpuNanoseconds(runs["Decode/mV"]);
    if (runs.Ran("Decode/pH"))
        SummaryRow("decode of one frame, pH line", Format("%.1f ns", ph), "< 100 ns", ph < 100);
    if (runs.Ran("Decode/mV"))
        SummaryRow("decode of one frame, mV line", Format("%.1f ns", mv), "< 100 ns", mv < 100);
    if (runs.Ran("IdleEa"))
        SummaryRow("ea(0), nothing waiting, in-memory seam",
                   Format("%.1f ns", CpuNanoseconds(runs["IdleEa"])));
    if (runs.Ran("Drain/1024") && runs.Ran("Drain/65536")) {
        const double small = CpuNanoseconds(runs["Drain/1024"]) / 1024;
        const double large = CpuNanoseconds(runs["Drain/65536"]) / 65536;
        const double readsLarge = runs.Counter("Drain/65536", "reads_per_drain");
        SummaryRow("drain 64 KiB burst",
                   Format("%.1f us", CpuNanoseconds(runs["Drain/65536"]) / 1000));
        SummaryRow("drain cost per byte, 1 KiB / 64 KiB burst",
                   Format("%.2f", small) + " / " + Format("%.2f ns", large), "linear",
                   large <= small * 1.25);
        SummaryRow("reads per 64 KiB drain", Format("%.0f", readsLarge), "258 = 64Ki/255",
                   readsLarge == ceil(65536.0 / 255));
    }
    benchmark::Shutdown();
    return 0;
}
