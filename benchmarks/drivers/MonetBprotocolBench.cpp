// Round trips of the Monet B- and N-protocol over loopback against the emulated reader endpoint.
// Every wait is bounded (1 s per answer), the peer is a thread of this process, so a run always
// ends; none of the normal paths measured here waits out a time-out.
#include <benchmark/benchmark.h>

#include <string>

#include "MonetLink.h"
#include "core/Base64.h"
#include "core/Log.h"

namespace {

using MonetReader::BprotocolReader;
using testsupport::MonetLink;

// The peer keeps nothing and the program logs errors only, as on a production board.
MonetLink& quiet(MonetLink& link)
{
    Log::setLevel(Log::LevelError);
    link.peer.setRecording(false);
    return link;
}

void BM_GetAppInfo(benchmark::State& state)
{
    MonetLink link('B', nullptr, 0, 1000);
    quiet(link);
    MonetReader::Info info;
    for (auto _ : state)
        if (link.reader->getInfo(info) != 0)
            return state.SkipWithError("no answer");
}
BENCHMARK(BM_GetAppInfo)->Unit(benchmark::kMicrosecond);

const std::string TripData150 =
    std::string(R"({"tripData":[{"fare":240,"zone":"A","op":"KIVO","line":"M2"},)") +
    R"({"fare":120,"zone":"B","op":"KIVO","line":"T7","ts":"2026-12-07T11:45:00Z"}]})";

void BM_TapModePoll150(benchmark::State& state)
{
    MonetLink link('B', nullptr, 0, 1000);
    quiet(link);
    std::vector<std::string> cardData;
    for (auto _ : state) {
        cardData.clear();
        if (link.reader->completeEMVtransaction(TripData150.substr(0, 150), cardData) != 0)
            return state.SkipWithError("poll failed");
    }
}
BENCHMARK(BM_TapModePoll150)->Unit(benchmark::kMicrosecond);

// The compression and Base64 of the same trip data alone, to tell them from the round trip.
void BM_TripDataCompression150(benchmark::State& state)
{
    const std::string tripData = TripData150.substr(0, 150);
    for (auto _ : state) benchmark::DoNotOptimize(Base64::encodeV(BprotocolReader::gzipCompress(tripData)));
}
BENCHMARK(BM_TripDataCompression150)->Unit(benchmark::kMicrosecond);

void BM_TmsDownload100(benchmark::State& state)
{
    MonetLink link('N', nullptr, 0, 1000);
    quiet(link).peer.setScript(testsupport::monetScript([](auto& s) {
        s.callParams.assign(100, testsupport::tms(0, "000"));
        s.callParams.push_back(testsupport::tms(1, "000"));
    }));
    for (auto _ : state) {
        link.progress.clear();
        if (link.download() != 0)
            return state.SkipWithError("download failed");
    }
}
BENCHMARK(BM_TmsDownload100)->Unit(benchmark::kMillisecond);

// Datagrams waiting on the listen port before a request (as many as the socket holds of 1,000).
void BM_Drain1000(benchmark::State& state)
{
    MonetLink link('B', nullptr, 0, 1000);
    quiet(link);
    const auto junk = link.answer(1, {{'T', "80"}, {'R', "055"}});
    size_t drained = 0;
    for (auto _ : state) {
        state.PauseTiming();
        for (int i = 0; i < 1000; ++i) link.peer.send(junk);
        state.ResumeTiming();
        drained += link.transport.drain();
    }
    state.counters["drained"] =
        benchmark::Counter(static_cast<double>(drained), benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_Drain1000)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
