// crc16 and findFrame run on every chunk and on every pass of the reply wait.

#include "crc16.h"
#include "frames.h"

#include <benchmark/benchmark.h>

#include <vector>

namespace {

std::vector<char> data(size_t size)
{
    std::vector<char> bytes(size);
    unsigned state = 1;
    for (char& byte : bytes) {
        state = state * 1664525u + 1013904223u;
        byte = char(state >> 24);
    }
    return bytes;
}

void crc16Bytes(benchmark::State& state)
{
    const std::vector<char> bytes = data(size_t(state.range(0)));
    while (state.KeepRunning())
        benchmark::DoNotOptimize(ZRN::crc16(bytes.data(), int(bytes.size())));
    state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
}
BENCHMARK(crc16Bytes)->Arg(6)->Arg(1036)->Arg(65535);

void findFrameAck(benchmark::State& state)
{
    const char ack[] = {0x40, 0x7F, 0x00, 0x00, char(0xA5), char(0x9A), 0x00};
    while (state.KeepRunning())
        benchmark::DoNotOptimize(ZRN::findFrame(ack, 6));
}
BENCHMARK(findFrameAck);

void findFrameIncomplete(benchmark::State& state)
{
    // The usual pass of the wait: part of a reply, not yet complete.
    const char part[] = {0x40, 0x05, 0x02, 0x00, 0x34, 0x00};
    while (state.KeepRunning())
        benchmark::DoNotOptimize(ZRN::findFrame(part, 5));
}
BENCHMARK(findFrameIncomplete);

void findFrameWrite(benchmark::State& state)
{
    const std::vector<char> payload = data(1024);
    char frame[ZRN::WRITE_FRAME_MAX];
    const int size = ZRN::buildWriteRequest(frame, 0x4000, 1024, payload.data());
    while (state.KeepRunning())
        benchmark::DoNotOptimize(ZRN::findFrame(frame, size));
    state.SetBytesProcessed(int64_t(state.iterations()) * size);
}
BENCHMARK(findFrameWrite);

} // namespace

BENCHMARK_MAIN();
