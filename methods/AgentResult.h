// The result of an agent's last call, as both agents keep it: every
// operation ends by recording its code (Finish), an adapter records the
// refusals it makes itself (Set), and VURO_GetLastErrorDesc describes it.
#pragma once
#include "foundation/ResultCodes.h"
#include "foundation/Types.h"

#include <windows.h>

namespace orvane {

class LastResult {
public:
    // Finish: records hResult and returns it.
    [[nodiscard]] HRESULT Finish(HRESULT hResult) noexcept {
        m_hResult = hResult;
        return hResult;
    }
    [[nodiscard]] HRESULT Get() const noexcept { return m_hResult; }
    void Set(HRESULT hResult) noexcept { m_hResult = hResult; }
    // Describe: the last result's text from hModule's string tables (this
    // process's module when null) and its number, in a new system string
    // (BuildErrorDescription). The result itself is left as it was.
    [[nodiscard]] HRESULT Describe(HMODULE hModule, BSTR* pbstrDesc) const;

private:
    HRESULT m_hResult = VURO_OK;
};

} // namespace orvane
