// Base64 encoding and decoding of 1 MiB against OpenSSL's block functions in
// the same run. Throughput is counted in binary bytes for every benchmark, so
// encode and decode figures compare directly. Our figures include allocating
// the result (the functions hand out new buffers); OpenSSL writes into a buffer
// prepared once. At the end the ratios ours / OpenSSL are printed.
#include "foundation/Encodings.h"
#include "foundation/ResultCodes.h"

#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr size_t kDataSize = size_t(1) << 20;

const std::vector<BYTE>& Data() {
    static const std::vector<BYTE> data = [] {
        std::vector<BYTE> bytes(kDataSize);
        uint32_t uState = 0x9E3779B9u;
        for (BYTE& b : bytes) {
            uState = uState * 1664525u + 1013904223u;
            b = BYTE(uState >> 24);
        }
        return bytes;
    }();
    return data;
}

std::string EncodeWithFlags(DWORD dwFlags) {
    std::string text;
    if (Base64EncodeEx(dwFlags, &text, Data().data(), DWORD(Data().size())) != VURO_OK)
        return std::string();
    return text;
}

void OursEncode(benchmark::State& state, DWORD dwFlags) {
    const std::vector<BYTE>& data = Data();
    for (auto _ : state) {
        std::string text;
        if (Base64EncodeEx(dwFlags, &text, data.data(), DWORD(data.size())) != VURO_OK) {
            state.SkipWithError("Base64EncodeEx failed");
            break;
        }
        benchmark::DoNotOptimize(text.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kDataSize));
}

void OpenSslEncode(benchmark::State& state) {
    const std::vector<BYTE>& data = Data();
    std::vector<unsigned char> text((data.size() + 2) / 3 * 4 + 1);
    for (auto _ : state) {
        int n = EVP_EncodeBlock(text.data(), data.data(), int(data.size()));
        benchmark::DoNotOptimize(n);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kDataSize));
}

void OursDecode(benchmark::State& state, DWORD dwFlags) {
    const std::string text = EncodeWithFlags(dwFlags);
    if (text.empty()) {
        state.SkipWithError("Base64EncodeEx failed");
        return;
    }
    for (auto _ : state) {
        std::vector<BYTE> bytes;
        if (Base64DecodeEx(int(text.size()), &bytes, text.data()) != VURO_OK ||
            bytes.size() != kDataSize) {
            state.SkipWithError("Base64DecodeEx failed");
            break;
        }
        benchmark::DoNotOptimize(bytes.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kDataSize));
}

// OpenSSL's block decoder takes one line only, so it always gets the text without
// line breaks.
void OpenSslDecode(benchmark::State& state) {
    const std::string text = EncodeWithFlags(BASE64_FLAG_NOCRLF);
    std::vector<unsigned char> data(text.size() / 4 * 3);
    for (auto _ : state) {
        int n = EVP_DecodeBlock(data.data(), reinterpret_cast<const unsigned char*>(text.data()),
                                int(text.size()));
        if (n < int(kDataSize)) {
            state.SkipWithError("EVP_DecodeBlock failed");
            break;
        }
        benchmark::DoNotOptimize(n);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kDataSize));
}

// Prints the usual table, then each of our benchmarks' throughput as a ratio to
// its OpenSSL anchor.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.error_occurred)
                continue;
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "mean")
                continue;
            auto it = run.counters.find("bytes_per_second");
            if (it != run.counters.end())
                m_rates[run.run_name.function_name] = double(it->second);
        }
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        const struct {
            const char* pszOurs;
            const char* pszAnchor;
        } pairs[] = {
            {"Encode/ours/flags0", "Encode/openssl"},
            {"Encode/ours/flags2", "Encode/openssl"},
            {"Decode/ours/flags0", "Decode/openssl"},
            {"Decode/ours/flags2", "Decode/openssl"},
        };
        std::printf("\nThroughput ratio, ours / OpenSSL (target >= 1.0):\n");
        for (const auto& pair : pairs) {
            auto ours = m_rates.find(pair.pszOurs);
            auto anchor = m_rates.find(pair.pszAnchor);
            if (ours == m_rates.end() || anchor == m_rates.end() || anchor->second <= 0)
                continue;
            std::printf("  %-22s %.2f\n", pair.pszOurs, ours->second / anchor->second);
        }
    }

private:
    std::map<std::string, double> m_rates;
};

} // namespace

int main(int argc, char** argv) {
    benchmark::RegisterBenchmark("Encode/ours/flags0", OursEncode, DWORD(0));
    benchmark::RegisterBenchmark("Encode/ours/flags2", OursEncode, BASE64_FLAG_NOCRLF);
    benchmark::RegisterBenchmark("Encode/openssl", OpenSslEncode);
    benchmark::RegisterBenchmark("Decode/ours/flags0", OursDecode, DWORD(0));
    benchmark::RegisterBenchmark("Decode/ours/flags2", OursDecode, BASE64_FLAG_NOCRLF);
    benchmark::RegisterBenchmark("Decode/openssl", OpenSslDecode);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
