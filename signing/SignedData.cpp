#include "signing/SignedData.h"

#include "certificates/Names.h"
#include "foundation/Encodings.h"
#include "foundation/Trace.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <new>

#define TRACE_MODULE "SignedData"

namespace der = orvane::der;

namespace {

// The longest text a system string holds (its byte count must fit 31 bits).
constexpr ULONGLONG kMaxBstrChars = 0x3FFFFFF0;

// Bytes of DER the Base64 text is made from at a time: whole lines of 57
// bytes, so that the pieces' texts join into the text of the whole.
constexpr DWORD kBase64Window = 57 * 1024;

std::atomic<SigningReadObserver> g_pfnReadObserver{nullptr};
std::atomic<void*> g_pvReadObserverContext{nullptr};

// Base64BstrWriter: Base64EncodeEx's text of a byte stream that arrives in
// pieces, written into one system string allocated up front for the whole.
class Base64BstrWriter {
public:
    HRESULT Start(DWORD dwFlags, ULONGLONG cbTotal) {
        const ULONGLONG cch = Base64TextLength(dwFlags, cbTotal);
        if (cch > kMaxBstrChars)
            return E_OUTOFMEMORY;
        m_bstr.reset(SysAllocStringLen(nullptr, UINT(cch)));
        if (!m_bstr)
            return E_OUTOFMEMORY;
        m_dwFlags = dwFlags;
        m_cchTotal = DWORD(cch);
        m_staging.reserve(kBase64Window);
        return VURO_OK;
    }

    HRESULT Put(der::Bytes data) {
        while (!data.empty()) {
            if (m_staging.empty() && data.size() >= kBase64Window) {
                if (HRESULT hResult = Emit(data.first(kBase64Window)); FAILED(hResult))
                    return hResult;
                data = data.subspan(kBase64Window);
                continue;
            }
            const size_t cb = std::min<size_t>(kBase64Window - m_staging.size(), data.size());
            m_staging.insert(m_staging.end(), data.begin(), data.begin() + cb);
            data = data.subspan(cb);
            if (m_staging.size() == kBase64Window) {
                if (HRESULT hResult = Emit(m_staging); FAILED(hResult))
                    return hResult;
                m_staging.clear();
            }
        }
        return VURO_OK;
    }

    HRESULT Finish(BSTR* pbstr, DWORD* pcch) {
        if (!m_staging.empty())
            if (HRESULT hResult = Emit(m_staging); FAILED(hResult))
                return hResult;
        if (m_cchAt != m_cchTotal)
            return E_UNEXPECTED;
        *pbstr = m_bstr.release();
        *pcch = m_cchTotal;
        return VURO_OK;
    }

private:
    HRESULT Emit(der::Bytes piece) {
        std::string strText;
        const HRESULT hResult =
            Base64EncodeEx(m_dwFlags, &strText, piece.data(), DWORD(piece.size()));
        if (FAILED(hResult))
            return hResult;
        const DWORD cch = DWORD(strText.size());
        if (cch > m_cchTotal - m_cchAt)
            return E_UNEXPECTED;
        WCHAR* pwsz = m_bstr.get() + m_cchAt;
        for (DWORD i = 0; i < cch; ++i)
            pwsz[i] = WCHAR(static_cast<unsigned char>(strText[i]));
        m_cchAt += cch;
        return VURO_OK;
    }

    UniqueBstr m_bstr;
    DWORD m_dwFlags = 0;
    DWORD m_cchTotal = 0;
    DWORD m_cchAt = 0;
    std::vector<BYTE> m_staging;
};

// One constructed element on the way from the content out to the message:
// its identifier and what it holds before and after the element inside it.
struct Level {
    BYTE identifier;
    der::Bytes before;
    der::Bytes after;
};

} // namespace

// --- file content ---------------------------------------------------------------

void SigningFileContent::ReleasePages(void* pv) {
    VirtualFree(pv, 0, MEM_RELEASE);
}

BYTE* SigningFileContent::PrepareAppend(DWORD cb, ULONGLONG cbStillToCome) {
    if (cb > kBlockSize)
        return nullptr;
    if (!m_blocks.empty()) {
        Pieces& last = m_blocks.back();
        if (last.cbCapacity - last.cbUsed >= cb)
            return static_cast<BYTE*>(last.pages.get()) + last.cbUsed;
    }
    const DWORD cbCapacity =
        DWORD(std::max<ULONGLONG>(cb, std::min<ULONGLONG>(kBlockSize, cbStillToCome)));
    Pages pages(VirtualAlloc(nullptr, cbCapacity, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    if (!pages)
        return nullptr;
    try {
        m_blocks.push_back(Pieces{std::move(pages), cbCapacity, 0});
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    return static_cast<BYTE*>(m_blocks.back().pages.get());
}

void SigningFileContent::CommitAppend(DWORD cb) {
    m_blocks.back().cbUsed += cb;
    m_cbSize += cb;
}

der::Bytes SigningFileContent::Block(size_t i) const {
    const Pieces& block = m_blocks[i];
    if (!block.pages)
        return {};
    return {static_cast<const BYTE*>(block.pages.get()), block.cbUsed};
}

void SigningFileContent::ReleaseBlock(size_t i) {
    m_blocks[i].pages.reset();
}

// --- reading ----------------------------------------------------------------------

void SetSigningReadObserver(SigningReadObserver pfnObserver, void* pvContext) {
    g_pvReadObserverContext.store(pvContext);
    g_pfnReadObserver.store(pfnObserver);
}

HRESULT CheckEncapsulateParams(const char* pszOperation, const PKCS7_ENCAPSULATE_PARAMS& params,
                               const BYTE* pbContent, const SigningFileContent* pFileContent) {
    const char* const op = pszOperation;
    if (params.pbstrBase64 == nullptr || params.pcchBase64 == nullptr)
        return TRACE_FAIL(op, "Check parameter", E_POINTER, "NULL == pbstrBase64");
    const bool bFileMissing =
        params.bIncludeContent && params.bContentIsFile && pFileContent == nullptr;
    const bool bTextMissing = params.bIncludeContent && !params.bContentIsFile &&
                              pbContent == nullptr && params.cbContent != 0;
    if (params.pCertContext == nullptr || params.pbSignature == nullptr ||
        params.cbSignature == 0 || bFileMissing || bTextMissing)
        return TRACE_FAIL(op, "Check parameter", E_INVALIDARG, "a field of the record is missing");
    return VURO_OK;
}

HRESULT OpenFileForSigning(const char* pszOperation, LPCWSTR pwszPath, UniqueFile* pFile) {
    const char* const op = pszOperation;
    if (pwszPath == nullptr || pFile == nullptr)
        return TRACE_FAIL(op, "Check parameter", E_INVALIDARG, "NULL == path");
    UniqueFile file =
        UniqueFile::FromCreate(CreateFileW(pwszPath, GENERIC_READ, FILE_SHARE_READ, nullptr,
                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return FAIL_LAST_ERROR(op, "CreateFile", "INVALID_HANDLE_VALUE == hFile");
    *pFile = std::move(file);
    return VURO_OK;
}

HRESULT HashFileForSigning(const char* pszOperation, HCRYPTHASH hHash, HANDLE hFile,
                           ULONGLONG cbMaxSize, SigningFileContent* pContent) {
    const char* const op = pszOperation;
    if (hHash == 0 || hFile == nullptr || hFile == INVALID_HANDLE_VALUE)
        return TRACE_FAIL(op, "Check parameter", E_INVALIDARG, "NULL == hHash || NULL == hFile");
    LARGE_INTEGER liSize{};
    if (!GetFileSizeEx(hFile, &liSize))
        return FAIL_LAST_ERROR(op, "GetFileSizeEx", "bRetCode == FALSE");
    const ULONGLONG cbSize = ULONGLONG(liSize.QuadPart);
    if (cbSize > cbMaxSize)
        return TRACE_FAIL(op, "Check file size", VURO_E_FILE_SIZE_LIMIT, "size > cbMaxSize");
    // An attached message holds the file as Base64 in one system string;
    // the few kilobytes around the content are allowed for generously.
    if (pContent != nullptr && Base64TextLength(0, cbSize + 65536) > kMaxBstrChars)
        return TRACE_FAIL(op, "Check file size", E_OUTOFMEMORY,
                          "the message would not fit a system string");

    SigningFileContent content;
    std::vector<BYTE> buffer;
    if (pContent == nullptr) {
        try {
            buffer.resize(kSigningReadChunk);
        } catch (const std::bad_alloc&) {
            return TRACE_FAIL(op, "New memory", E_OUTOFMEMORY, "read buffer");
        }
    }
    // Exactly the size taken now is read: bytes added later are not part of
    // what is signed, and bytes that went missing fail the call.
    ULONGLONG cbDone = 0;
    while (cbDone < cbSize) {
        const DWORD cbWant = DWORD(std::min<ULONGLONG>(kSigningReadChunk, cbSize - cbDone));
        BYTE* pb =
            pContent != nullptr ? content.PrepareAppend(cbWant, cbSize - cbDone) : buffer.data();
        if (pb == nullptr)
            return TRACE_FAIL(op, "VirtualAlloc", E_OUTOFMEMORY, "NULL == pbBlock");
        DWORD cbRead = 0;
        if (!ReadFile(hFile, pb, cbWant, &cbRead, nullptr))
            return FAIL_LAST_ERROR(op, "ReadFile", "bRetCode == FALSE");
        if (cbRead == 0 || cbRead > cbWant)
            return TRACE_FAIL(op, "ReadFile", HRESULT_FROM_WIN32(ERROR_HANDLE_EOF),
                              "the file ended before the size taken at the start");
        if (!CryptHashData(hHash, pb, cbRead, 0))
            return FAIL_LAST_ERROR(op, "CryptHashData", "bRetCode == FALSE");
        if (pContent != nullptr)
            content.CommitAppend(cbRead);
        cbDone += cbRead;
        if (SigningReadObserver pfn = g_pfnReadObserver.load())
            pfn(g_pvReadObserverContext.load(), cbDone);
    }
    // Grown past the limit while it was read: what was read is no longer
    // the file, and the file is no longer one that may be signed.
    if (cbMaxSize != kNoSigningSizeLimit) {
        if (!GetFileSizeEx(hFile, &liSize))
            return FAIL_LAST_ERROR(op, "GetFileSizeEx", "bRetCode == FALSE");
        if (ULONGLONG(liSize.QuadPart) > cbMaxSize)
            return TRACE_FAIL(op, "Check file size", VURO_E_FILE_SIZE_LIMIT,
                              "the file grew past cbMaxSize while it was read");
    }
    TRACE_OK(op, "Hash file");
    if (pContent != nullptr)
        *pContent = std::move(content);
    return VURO_OK;
}

// --- message ----------------------------------------------------------------------

ULONGLONG Base64TextLength(DWORD dwFlags, ULONGLONG cbData) {
    const ULONGLONG cGroups = cbData / 3;
    const ULONGLONG cbRest = cbData % 3;
    ULONGLONG cch = 4 * cGroups;
    if (cbRest != 0)
        cch += (dwFlags & BASE64_FLAG_NOPAD) != 0 ? cbRest + 1 : 4;
    // CR LF after every full line of 19 groups (the last one too when the
    // groups fill their lines exactly).
    if ((dwFlags & BASE64_FLAG_NOCRLF) == 0)
        cch += 2 * (cGroups / 19);
    return cch;
}

HRESULT WriteSignedDataBase64(const SIGNED_DATA_PARTS& parts, DWORD dwBase64Flags,
                              BSTR* pbstrBase64, DWORD* pcchBase64) {
    const char* const op = "WriteSignedDataBase64";
    if (pbstrBase64 == nullptr || pcchBase64 == nullptr || parts.pszSignedDataOID == nullptr ||
        parts.pszDataOID == nullptr || parts.pszDigestAlgOID == nullptr ||
        parts.certificate.empty() || parts.signerInfo.empty() ||
        (parts.memoryContent.data() == nullptr && !parts.memoryContent.empty()))
        return TRACE_FAIL(op, "Check parameter", E_INVALIDARG, "a part is missing");

    // The elements around the content, each built whole.
    der::DerWriter outerType, front, dataType, back;
    der::WriteOid(outerType, parts.pszSignedDataOID);
    // version INTEGER 1, digestAlgorithms SET OF AlgorithmIdentifier
    der::WriteInt32(front, 1);
    front.Constructed(der::tag::kSet, [&](der::DerWriter& w) {
        // A failure fails the writer too, which is checked once it is done.
        static_cast<void>(
            orvane::names::WriteSpecialAttribute(w, parts.pszDigestAlgOID, nullptr, 0));
    });
    der::WriteOid(dataType, parts.pszDataOID);
    // certificates [0] IMPLICIT SET OF Certificate, signerInfos SET OF SignerInfo
    back.Element(der::tag::ContextConstructed(0), parts.certificate);
    back.Element(der::tag::kSet, parts.signerInfo);
    for (const der::DerWriter* w : {&outerType, &front, &dataType, &back})
        if (w->Error() != 0)
            return TRACE_FAIL(op, "DerWriter", HRESULT(w->Error()), "FAILED(hResult)");

    const bool bFile = parts.pFileContent != nullptr;
    const ULONGLONG cbContent = !parts.bIncludeContent ? 0
                                : bFile                ? parts.pFileContent->Size()
                                                       : parts.memoryContent.size();

    // From the content outwards.
    std::vector<Level> levels;
    if (parts.bIncludeContent) {
        levels.push_back({der::tag::kOctetString, {}, {}});          // OCTET STRING content
        levels.push_back({der::tag::ContextConstructed(0), {}, {}}); // [0] EXPLICIT
    }
    levels.push_back({der::tag::kSequence, dataType.Encoding(), {}});           // inner ContentInfo
    levels.push_back({der::tag::kSequence, front.Encoding(), back.Encoding()}); // SignedData
    levels.push_back({der::tag::ContextConstructed(0), {}, {}});                // [0] EXPLICIT
    levels.push_back({der::tag::kSequence, outerType.Encoding(), {}});          // ContentInfo

    // Each element's length is what it holds; the headers are written from
    // the outside in, then the content, then what follows it.
    std::vector<std::vector<BYTE>> headers(levels.size());
    ULONGLONG cbInner = cbContent;
    for (size_t i = 0; i < levels.size(); ++i) {
        const ULONGLONG cbHeld = levels[i].before.size() + cbInner + levels[i].after.size();
        BYTE field[der::kMaxLengthField];
        const size_t cbField = cbHeld > 0xFFFFFFFFu ? 0 : der::EncodeLength(size_t(cbHeld), field);
        if (cbField == 0)
            return TRACE_FAIL(op, "EncodeLength", E_OUTOFMEMORY, "the message exceeds 4 GiB");
        headers[i].push_back(levels[i].identifier);
        headers[i].insert(headers[i].end(), field, field + cbField);
        cbInner = headers[i].size() + cbHeld;
    }
    std::vector<BYTE> head, tail;
    for (size_t i = levels.size(); i-- > 0;) {
        head.insert(head.end(), headers[i].begin(), headers[i].end());
        head.insert(head.end(), levels[i].before.begin(), levels[i].before.end());
    }
    for (const Level& level : levels)
        tail.insert(tail.end(), level.after.begin(), level.after.end());

    Base64BstrWriter text;
    HRESULT hResult = text.Start(dwBase64Flags, cbInner);
    if (SUCCEEDED(hResult))
        hResult = text.Put(head);
    if (SUCCEEDED(hResult) && parts.bIncludeContent) {
        if (bFile) {
            // Each block goes back to the system once its text is written.
            for (size_t i = 0; i < parts.pFileContent->BlockCount() && SUCCEEDED(hResult); ++i) {
                hResult = text.Put(parts.pFileContent->Block(i));
                parts.pFileContent->ReleaseBlock(i);
            }
        } else {
            hResult = text.Put(parts.memoryContent);
        }
    }
    if (SUCCEEDED(hResult))
        hResult = text.Put(tail);
    if (SUCCEEDED(hResult))
        hResult = text.Finish(pbstrBase64, pcchBase64);
    if (FAILED(hResult))
        return TRACE_FAIL(op, "Base64EncodeEx", hResult, "FAILED(hResult)");
    TRACE_OK(op, "Base64EncodeEx");
    return VURO_OK;
}
