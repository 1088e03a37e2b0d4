// host_roundtrip: VURO_GetVersion round trips through the real Tandry, against
// the same frames echoed by the least possible framed program. Target: the
// host answers at least half as many round trips per second.
#include "tools/nmclient/HostProcess.h"
#include "bench/RatioReporter.h"

#include <string>

namespace {

const std::string kRequest =
    orvane::tools::Frame(R"({"function":"VURO_GetVersion","params":[],"randomId":"42"})");

void RoundTrips(benchmark::State& state, const char* program) {
    orvane::tools::HostProcess host;
    if (!host.Start({program})) {
        state.SkipWithError(host.Error().c_str());
        return;
    }
    std::string body;
    for (auto _ : state) {
        if (!host.WriteAll(kRequest) ||
            host.ReadFrame(body, 10000) != orvane::tools::HostProcess::ReadStatus::Frame) {
            state.SkipWithError("no answer");
            break;
        }
        benchmark::DoNotOptimize(body);
    }
    state.SetItemsProcessed(state.iterations());
    host.CloseInput();
    host.Wait();
}

void BM_TandryGetVersion(benchmark::State& state) {
    RoundTrips(state, ORVANE_TANDRY_PATH);
}
void BM_FramedEcho(benchmark::State& state) {
    RoundTrips(state, ORVANE_ECHO_PATH);
}

BENCHMARK(BM_TandryGetVersion)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_FramedEcho)->UseRealTime()->MinTime(1.0);

} // namespace

int main(int argc, char** argv) {
    return orvane::bench::RunWithRatios(argc, argv,
                                        {{"BM_TandryGetVersion", "BM_FramedEcho", 0.5}});
}
