// What a PIN prompt writes on its standard output, gathered as it is read:
// the PIN and one line end, nothing else. Kept apart from the running of the
// prompt so that the rule can be checked on any bytes.
#pragma once
#include "../crypto.h"

#include <cstddef>

namespace orvane::platform::csp {

// The longest PIN accepted from a prompt. Tokens allow far shorter ones; the
// bound only keeps a misbehaving prompt from growing the buffer without end.
constexpr size_t kMaxPromptPinBytes = 256;

class PromptOutput {
public:
    PromptOutput() { kept_.reserve(kMaxPromptPinBytes + 1); } // never moved: no copies to wipe
    // Add: the next bytes read. Past the bound they are dropped (and
    // remembered as too many); reading goes on so the prompt never blocks.
    void Add(const BYTE* data, size_t length);
    // Take: the PIN when the output was exactly one line within the bound,
    // else ERROR_INVALID_DATA (a PIN cut short or followed by more text would
    // be tried on the token and cost the user a try). The output is consumed.
    Status Take(SecureBytes& pin);

private:
    SecureBytes kept_;
    bool overflow_ = false;
};

} // namespace orvane::platform::csp
