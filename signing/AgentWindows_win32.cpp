// The selection dialog's owners on Windows: the window the user works in,
// and this thread's active window.
#include "signing/SigningAgent.h"

#include <windows.h>

namespace orvane::signing {
namespace {

HWND ForegroundWindow() {
    return GetForegroundWindow();
}

HWND ActiveWindow() {
    return GetActiveWindow();
}

} // namespace

const SELECTION_UI kSystemSelectionUi = {&CustomCryptUIDlgSelectCertificate, &ForegroundWindow,
                                         &ActiveWindow};

} // namespace orvane::signing
