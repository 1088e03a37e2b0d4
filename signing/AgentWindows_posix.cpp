// The selection dialog's owners on POSIX: the GTK dialog stands on its own
// (a GTK window has no window handle of the Windows kind to be owned by).
#include "signing/SigningAgent.h"

namespace orvane::signing {
namespace {

HWND NoWindow() {
    return nullptr;
}

} // namespace

const SELECTION_UI kSystemSelectionUi = {&CustomCryptUIDlgSelectCertificate, &NoWindow, &NoWindow};

} // namespace orvane::signing
