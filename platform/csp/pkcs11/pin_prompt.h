// Asking the user for a token's PIN, as a vendor's middleware does: the
// provider itself shows a small window when a token wants a login. The window
// is a separate program (a PIN prompt, in the manner of an askpass program),
// so no GUI toolkit is loaded into the hosts or the browser, a wedged window
// cannot wedge the provider's caller, and a test or a user can point the
// provider at a prompt of their own.
//
// Which program: $ORVANE_PIN_PROMPT when set, else `orvane-pin` in the folder
// of the module that holds this code (the host or the plug-in), else the
// installed one below the package's library folder.
//
// How the provider talks to it (a fixed protocol; a replacement must keep it):
//   arguments  --token <name shown to the user>
//              --tries unknown|low|final   (what the token reports)
//              --retry                     (the previous PIN was wrong)
//              --lang en|zh                (the user interface language)
//              --pinpad                    (notice mode, see below)
//   entry mode: the PIN, UTF-8, then "\n", on standard output; exit codes
//              0 entered, 1 cancelled, 2 cannot show a window (no display),
//              anything else a failure.
//   notice mode (--pinpad): shows "enter the PIN on the reader" until its
//              standard input reaches end of file, then exits 0.
// The PIN never travels in arguments or the environment.
#pragma once
#include "../crypto.h"

#include <memory>
#include <string>

namespace orvane::platform::csp {

enum class PinTries { Unknown, Low, Final };

struct PinRequest {
    std::u16string token; // the token as the user knows it (its label)
    PinTries tries = PinTries::Unknown;
    bool retry = false; // the last PIN given for this token was wrong
};

// AskForPin: runs the prompt and waits for the user. 0 with the PIN in pin;
// SCARD_W_CANCELLED_BY_USER when the user cancels; 0x8007057E (no window can
// be made) when there is no display or the prompt cannot show one, as the
// selection dialog answers; another code when the prompt cannot be run.
[[nodiscard]] Status AskForPin(const PinRequest& request, SecureBytes& pin);

// PinPadNotice: while alive, a window asks the user to enter the PIN on the
// reader (a token with a protected authentication path). Its absence (no
// display, no prompt) does not stop the login; the reader asks regardless.
class PinPadNotice {
public:
    static std::unique_ptr<PinPadNotice> Show(const std::u16string& token);
    virtual ~PinPadNotice() = default;
};

} // namespace orvane::platform::csp
