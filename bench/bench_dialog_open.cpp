// dialog_open: from the call of CustomCryptUIDlgSelectCertificate to the
// first painted frame of the certificate list, with 10, 100 and 1,000
// candidates (each linked to a key container, so every row asks its provider
// whether the key is in hardware), against listing the same certificates
// with GetAllCertificatesInfoinStore in the same run. Both are reported per
// certificate; a steady ratio across the sizes means the dialog grows
// linearly. Targets: per certificate the dialog costs at most 50 listings
// (10 certificates: window creation dominates, reported without a target),
// a certificate among 1,000 costs at most 1.25 times one among 100, and the
// hardware-key check, which opens each key's container (the listing only
// reads the certificate's link to it), at most 4 listings.
// Needs an X server; without DISPLAY it starts itself again under xvfb-run.
// Runs in a temporary user hive of its own.
// OpenSSL before the Windows headers: their names collide otherwise.
#include <openssl/evp.h>
#include <openssl/x509.h>

#include "bench/BenchSupport.h"
#include "bench/RatioReporter.h"

#include "dialog/CertificateDialogs.h"
#include "dialog/SelectCertificateDlg.h"
#include "certificates/CertificateQueries.h"
#include "foundation/Handles.h"
#include "foundation/Encodings.h"

#include <gtk/gtk.h>
#include <wincrypt.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Certificates: n certificates "CN=Holder i, O=Orvane" in a memory store,
// each linked to a container of its own in the software provider.
struct Candidates {
    UniqueStore store;
    std::vector<UniqueCertContext> certs;
    std::vector<PCCERT_CONTEXT> pointers;
};

bool LinkToContainer(PCCERT_CONTEXT cert, size_t i) {
    static const WCHAR kProvider[] = TEXT("Microsoft Enhanced Cryptographic Provider v1.0");
    std::string name = "orvane-bench-dialog-" + std::to_string(i);
    WString container(name.begin(), name.end());
    UniqueProvider prov;
    if (!CryptAcquireContextW(prov.put(), container.c_str(), kProvider, PROV_RSA_FULL, 0) &&
        !CryptAcquireContextW(prov.put(), container.c_str(), kProvider, PROV_RSA_FULL,
                              CRYPT_NEWKEYSET))
        return false;
    CRYPT_KEY_PROV_INFO info{};
    info.pwszContainerName = container.data();
    info.pwszProvName = const_cast<LPWSTR>(kProvider);
    info.dwProvType = PROV_RSA_FULL;
    info.dwKeySpec = AT_SIGNATURE;
    return CertSetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, 0, &info) != FALSE;
}

const Candidates& MakeCandidates(size_t n) {
    static Candidates all[3];
    Candidates& c = all[n == 10 ? 0 : n == 100 ? 1 : 2];
    if (c.store)
        return c;
    c.store.reset(CertOpenStore(CERT_STORE_PROV_MEMORY, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                0, nullptr));
    const auto certificates = orvane::bench::MakeCertificates(n, "Holder");
    for (size_t i = 0; i < certificates.size(); ++i) {
        PCCERT_CONTEXT added = nullptr;
        if (CertAddEncodedCertificateToStore(c.store.get(), X509_ASN_ENCODING,
                                             certificates[i].data(), DWORD(certificates[i].size()),
                                             CERT_STORE_ADD_ALWAYS, &added)) {
            LinkToContainer(added, i);
            c.certs.emplace_back(added);
            c.pointers.push_back(added);
        }
    }
    return c;
}

// The first frame of the list: an emission hook on "draw" notes the time the
// list's rows are first painted and closes the dialog.
struct FirstFrame {
    Clock::time_point painted;
    bool seen = false;
};
FirstFrame g_frame;

gboolean OnAnyDraw(GSignalInvocationHint*, guint, const GValue* values, gpointer) {
    GtkWidget* widget = GTK_WIDGET(g_value_get_object(&values[0]));
    if (!g_frame.seen && g_strcmp0(gtk_widget_get_name(widget), "certificate-rows") == 0) {
        g_frame.seen = true;
        g_frame.painted = Clock::now();
        GtkWidget* top = gtk_widget_get_toplevel(widget);
        g_idle_add(
            [](gpointer window) -> gboolean {
                gtk_window_close(GTK_WINDOW(window));
                return G_SOURCE_REMOVE;
            },
            top);
    }
    return TRUE;
}

void BM_DialogOpen(benchmark::State& state) {
    const size_t n = size_t(state.range(0));
    const Candidates& c = MakeCandidates(n);
    if (c.pointers.size() != n) {
        state.SkipWithError("could not make the certificates");
        return;
    }
    const SELECT_CERTIFICATE_OPTIONS options{0, nullptr, TRUE, 1, nullptr};
    for (auto _ : state) {
        g_frame = FirstFrame{};
        PCCERT_CONTEXT selected = nullptr;
        const Clock::time_point start = Clock::now();
        const HRESULT hr = CustomCryptUIDlgSelectCertificate(&options, c.pointers, &selected);
        if (hr != HRESULT(0xA0071002) || !g_frame.seen) {
            state.SkipWithError("the dialog did not open and close as expected");
            break;
        }
        state.SetIterationTime(std::chrono::duration<double>(g_frame.painted - start).count());
    }
    state.SetItemsProcessed(state.iterations() * int64_t(n));
}

void BM_StoreListing(benchmark::State& state) {
    const size_t n = size_t(state.range(0));
    const Candidates& c = MakeCandidates(n);
    for (auto _ : state) {
        WString info;
        if (FAILED(GetAllCertificatesInfoinStore(&info, c.store.get()))) {
            state.SkipWithError("listing failed");
            break;
        }
        benchmark::DoNotOptimize(info.data());
    }
    state.SetItemsProcessed(state.iterations() * int64_t(n));
}

// The parts of opening, for 1,000 certificates: building the rows (texts and
// the hardware-key check), and the hardware-key check alone.
void BM_LoadCertificates1000(benchmark::State& state) {
    const Candidates& c = MakeCandidates(1000);
    for (auto _ : state) {
        std::vector<UniqueCertContext> certificates;
        std::vector<CERTIFICATE_DISPLAY_ITEM> items;
        if (FAILED(LoadCertificates(nullptr, c.store.get(), certificates, items))) {
            state.SkipWithError("LoadCertificates failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * 1000);
}

void BM_HardwareKeyCheck1000(benchmark::State& state) {
    const Candidates& c = MakeCandidates(1000);
    for (auto _ : state)
        for (PCCERT_CONTEXT cert : c.pointers)
            benchmark::DoNotOptimize(HasHardwareKey(cert));
    state.SetItemsProcessed(state.iterations() * 1000);
}

// Each size's subject right after its anchor. Runs are named with their
// argument ("BM_DialogOpen/100"), as the ratio targets name them.
BENCHMARK(BM_StoreListing)->Arg(10)->UseRealTime();
BENCHMARK(BM_DialogOpen)->Arg(10)->UseManualTime()->Iterations(20);
BENCHMARK(BM_StoreListing)->Arg(100)->UseRealTime();
BENCHMARK(BM_DialogOpen)->Arg(100)->UseManualTime()->Iterations(10);
BENCHMARK(BM_StoreListing)->Arg(1000)->UseRealTime();
BENCHMARK(BM_DialogOpen)->Arg(1000)->UseManualTime()->Iterations(5);
BENCHMARK(BM_LoadCertificates1000)->Iterations(5)->UseRealTime();
BENCHMARK(BM_HardwareKeyCheck1000)->Iterations(5)->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    const char* display = std::getenv("DISPLAY");
    if ((display == nullptr || display[0] == 0) && std::getenv("ORVANE_BENCH_XVFB") == nullptr) {
        setenv("ORVANE_BENCH_XVFB", "1", 1);
        std::vector<char*> args{const_cast<char*>("xvfb-run"), const_cast<char*>("-a"),
                                const_cast<char*>("-s"),
                                const_cast<char*>("-screen 0 1920x1080x24 -nolisten tcp")};
        for (int i = 0; i < argc; ++i)
            args.push_back(argv[i]);
        args.push_back(nullptr);
        execvp("xvfb-run", args.data());
        std::perror("xvfb-run");
        return 1;
    }
    if (!gtk_init_check(nullptr, nullptr)) {
        std::fprintf(stderr, "bench_dialog_open: no X server\n");
        return 1;
    }
    g_signal_add_emission_hook(g_signal_lookup("draw", GTK_TYPE_WIDGET), 0, OnAnyDraw, nullptr,
                               nullptr);
    const orvane::bench::ScratchHives hives("bench-dialog");
    // Per certificate the dialog does what the listing does and more (the
    // key's provider, the row texts, the window): at most 50 listings' worth.
    // Linear growth: a certificate costs about as much among 1,000 as among 100.
    const double fiftieth = 0.02;
    const int rc =
        orvane::bench::RunWithRatios(argc, argv,
                                     {{"BM_DialogOpen/10", "BM_StoreListing/10", 0.0},
                                      {"BM_DialogOpen/100", "BM_StoreListing/100", fiftieth},
                                      {"BM_DialogOpen/1000", "BM_StoreListing/1000", fiftieth},
                                      {"BM_DialogOpen/1000", "BM_DialogOpen/100", 0.8},
                                      {"BM_HardwareKeyCheck1000", "BM_StoreListing/1000", 0.25}});
    return rc;
}
