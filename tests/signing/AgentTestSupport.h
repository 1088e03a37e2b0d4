// What the signing-agent tests share: a stand-in for the selection dialog
// that records what the agent asked and answers as told, and small readers
// of what the agent hands out.
#pragma once
#include "signing/SigningAgent.h"
#include "tests/signing/SigningTestSupport.h"
#include "tests/support/TestSupport.h"

#include <algorithm>
#include <string>
#include <vector>

// The two owner windows the fake desktop reports.
inline const HWND kForeground = reinterpret_cast<HWND>(0x1110);
inline const HWND kActive = reinterpret_cast<HWND>(0x2220);

// FakeDialog: answers the agent's dialog calls in order from `answers`
// (VURO_OK when they run out); a successful answer chooses the candidate
// whose encoding is `pick` (the first one when none is).
struct FakeDialog {
    struct Call {
        SELECT_CERTIFICATE_OPTIONS options;
        std::vector<orvane::test::Bytes> candidates;
    };
    static inline std::vector<HRESULT> answers;
    static inline orvane::test::Bytes pick;
    static inline std::vector<Call> calls;

    static void Reset() {
        answers.clear();
        pick.clear();
        calls.clear();
    }
    static HRESULT Select(const SELECT_CERTIFICATE_OPTIONS* pOptions,
                          const std::vector<PCCERT_CONTEXT>& candidates,
                          PCCERT_CONTEXT* ppSelected) {
        Call call{*pOptions, {}};
        for (PCCERT_CONTEXT p : candidates)
            call.candidates.emplace_back(p->pbCertEncoded, p->pbCertEncoded + p->cbCertEncoded);
        const size_t n = calls.size();
        calls.push_back(std::move(call));
        const HRESULT hr = n < answers.size() ? answers[n] : VURO_OK;
        if (FAILED(hr) || candidates.empty())
            return hr;
        PCCERT_CONTEXT chosen = candidates[0];
        for (PCCERT_CONTEXT p : candidates)
            if (orvane::test::Bytes(p->pbCertEncoded, p->pbCertEncoded + p->cbCertEncoded) == pick)
                chosen = p;
        *ppSelected = CertDuplicateCertificateContext(chosen);
        return VURO_OK;
    }
    static HWND Foreground() { return kForeground; }
    static HWND Active() { return kActive; }
};

inline const orvane::signing::SELECTION_UI kFakeUi = {&FakeDialog::Select, &FakeDialog::Foreground,
                                                      &FakeDialog::Active};

// BstrOut: an out parameter for a BSTR result, freed at the end.
class BstrOut {
public:
    BstrOut() = default;
    ~BstrOut() { SysFreeString(m_bstr); }
    BstrOut(const BstrOut&) = delete;
    BstrOut& operator=(const BstrOut&) = delete;
    BSTR* put() {
        SysFreeString(m_bstr);
        m_bstr = nullptr;
        return &m_bstr;
    }
    BSTR get() const { return m_bstr; }
    std::string Text() const { return m_bstr == nullptr ? std::string() : U8(m_bstr); }

private:
    BSTR m_bstr = nullptr;
};

inline orvane::test::Bytes Encoding(PCCERT_CONTEXT p) {
    if (p == nullptr)
        return {};
    return orvane::test::Bytes(p->pbCertEncoded, p->pbCertEncoded + p->cbCertEncoded);
}
inline orvane::test::Bytes StoreSelection(const orvane::signing::CCryptoAgent& agent) {
    return Encoding(agent.SelectedStoreCertificate());
}

inline bool Contains(const orvane::test::Bytes& haystack, const std::string& text) {
    const orvane::test::Bytes needle(text.begin(), text.end()); // compared as octets
    return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) !=
           haystack.end();
}
inline bool SubjectContains(const orvane::test::Bytes& der, const WString& text) {
    return Contains(der, U8(text));
}

// Base64Decode: the octets of standard Base64 text; line breaks are skipped,
// anything else outside the alphabet gives an empty result.
inline orvane::test::Bytes Base64Decode(const std::string& text) {
    static const std::string kAlphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    orvane::test::Bytes out;
    unsigned bits = 0, value = 0;
    for (char c : text) {
        if (c == '\r' || c == '\n')
            continue;
        if (c == '=')
            break;
        const size_t i = kAlphabet.find(c);
        if (i == std::string::npos)
            return {};
        value = (value << 6) | unsigned(i);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(BYTE((value >> bits) & 0xFF));
        }
    }
    return out;
}

inline bool Exists(const WString& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// ReadAll: a file's bytes (empty when it cannot be read).
inline orvane::test::Bytes ReadAll(const WString& path) {
    UniqueFile file = UniqueFile::FromCreate(CreateFileW(
        path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file)
        return {};
    orvane::test::Bytes out;
    BYTE buffer[65536];
    DWORD got = 0;
    while (ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr) && got != 0)
        out.insert(out.end(), buffer, buffer + got);
    return out;
}
