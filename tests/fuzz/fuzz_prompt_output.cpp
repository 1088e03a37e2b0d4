// What a PIN prompt prints, read in pieces as a pipe hands them over: the
// first byte chooses the pieces' sizes, the rest is the output. The result
// must be what the rule says of the whole output, however it was cut:
// exactly one line of at most the bound, whose text is the PIN.
#include "csp/pkcs11/prompt_output.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

using orvane::platform::csp::kMaxPromptPinBytes;
using orvane::platform::csp::PromptOutput;
using orvane::platform::csp::SecureBytes;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    const size_t step = size_t(data[0] % 64) + 1;
    const std::vector<BYTE> output(data + 1, data + size);

    PromptOutput reader;
    for (size_t at = 0; at < output.size(); at += step)
        reader.Add(output.data() + at, std::min(step, output.size() - at));
    SecureBytes pin{'o', 'l', 'd'};
    const DWORD status = reader.Take(pin);

    const bool oneLine = !output.empty() && output.size() <= kMaxPromptPinBytes + 1 &&
                         output.back() == '\n' &&
                         std::count(output.begin(), output.end(), '\n') == 1;
    if (oneLine != (status == 0))
        std::abort();
    const std::vector<BYTE> expected =
        oneLine ? std::vector<BYTE>(output.begin(), output.end() - 1) : std::vector<BYTE>();
    if (std::vector<BYTE>(pin.begin(), pin.end()) != expected)
        std::abort();
    // Taken means consumed: the reader holds nothing for a second caller.
    if (reader.Take(pin) == 0 || !pin.empty())
        std::abort();
    return 0;
}
