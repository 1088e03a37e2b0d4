#include "chain/NPInstall.h"

#include "chain/CertificateChainDelete.h"
#include "chain/CertificateChainOperate.h"
#include "foundation/Trace.h"

#include <new>

#define TRACE_MODULE "CertificateChainOperate"

namespace {

// TraceRegistration: an installer calls NP_Install without NP_Initialize, so
// the provider is registered for the call unless tracing already runs.
class TraceRegistration {
public:
    TraceRegistration() : m_bOwned(!TraceIsEnabled(~0u)) {
        if (m_bOwned)
            RegisterTraceProvider();
    }
    ~TraceRegistration() {
        if (m_bOwned)
            UnregisterTraceProvider();
    }
    TraceRegistration(const TraceRegistration&) = delete;
    TraceRegistration& operator=(const TraceRegistration&) = delete;

private:
    bool m_bOwned;
};

} // namespace

extern "C" void NP_Install(void) {
    TraceRegistration registration;
    TraceHelper trace(TEXT("NP_Install"));
    const char* const op = "NP_Install";
    // Each step runs whatever the one before it did; an installer has no one
    // to tell, so the trace is where failures show.
    struct Step {
        const char* pszLabel;
        HRESULT (*pfnRun)();
    };
    static constexpr Step kSteps[] = {
        {"DeleteRSADiscardCert", &DeleteRSADiscardCert},
        {"DeleteSM2DiscardCert", &DeleteSM2DiscardCert},
        {"ImportCertificateChainfromResoure(RSA Operation)",
         [] { return ImportCertificateChainfromResoure(IDR_CERTIFICATE_CHAIN); }},
        {"ImportCertificateChainfromResoure(RSA Test)",
         [] { return ImportCertificateChainfromResoure(IDR_CERTIFICATE_CHAIN_TEST); }},
    };
    for (const Step& step : kSteps) {
        HRESULT hResult = E_UNEXPECTED;
        // Nothing may escape into the installer.
        try {
            hResult = step.pfnRun();
        } catch (const std::bad_alloc&) {
            hResult = E_OUTOFMEMORY;
        } catch (...) {
            hResult = E_UNEXPECTED;
        }
        if (FAILED(hResult))
            TRACE_FAILED(op, step.pszLabel, hResult, "FAILED(hResult)");
        else
            TRACE_OK(op, step.pszLabel);
    }
}
