// What the RSA and SM2 signers share: reading a file once for its hash and,
// when the message carries it, its content; the signed-data message laid out
// around the content; and the message's Base64 text written straight into a
// system string.
//
//   ContentInfo ::= SEQUENCE {
//       contentType  OBJECT IDENTIFIER,          -- signed data
//       content      [0] EXPLICIT SignedData }
//   SignedData ::= SEQUENCE {
//       version           INTEGER 1,
//       digestAlgorithms  SET OF AlgorithmIdentifier,        -- { digest, NULL }
//       contentInfo       SEQUENCE {
//           contentType  OBJECT IDENTIFIER,      -- data
//           content      [0] EXPLICIT OCTET STRING OPTIONAL },  -- attached only
//       certificates      [0] IMPLICIT SET OF Certificate,   -- the signer's alone
//       signerInfos       SET OF SignerInfo }                -- one
//
// The content is never copied into the message: its bytes go from the
// caller's memory, or from the pages the file was read into, straight into
// the Base64 text, and file pages are given back as soon as they are written.
#pragma once
#include "der/Der.h"
#include "foundation/Handles.h"
#include "foundation/ResultCodes.h"
#include "foundation/Types.h"

#include <wincrypt.h>

#include <memory>
#include <vector>

// Files are read for hashing in pieces of this size.
inline constexpr DWORD kSigningReadChunk = 16384;

// PKCS7_ENCAPSULATE_PARAMS: what EncapsulatePKCS7 and SM2EncapsulatePKCS7 put
// around a signature; the object identifiers and the signature's form come
// from the signer's key family (certificates/KeyFamily.h).
struct PKCS7_ENCAPSULATE_PARAMS {
    PCCERT_CONTEXT pCertContext; // signer: certificate bytes, issuer name, serial number
    DWORD cbContent;             // bytes of content in memory (not used for a file)
    const BYTE* pbSignature;     // the provider's signature, most significant byte first
    DWORD cbSignature;           // (SM2: r then s)
    BSTR* pbstrBase64;           // out: the message's Base64 text (caller SysFreeStrings)
    DWORD* pcchBase64;           // out: its characters
    BOOL bContentIsFile;
    BOOL bIncludeContent; // attached (TRUE) or detached message
    DWORD dwBase64Flags;  // Base64EncodeEx's flags: 0 line-broken, BASE64_FLAG_NOCRLF one line
};

class SigningFileContent;

// CheckEncapsulateParams: both builders' argument check, traced under the
// builder's name: E_POINTER without a place for the text, E_INVALIDARG when
// a field the message needs is missing.
[[nodiscard]] HRESULT CheckEncapsulateParams(const char* pszOperation,
                                             const PKCS7_ENCAPSULATE_PARAMS& params,
                                             const BYTE* pbContent,
                                             const SigningFileContent* pFileContent);

// SigningFileContent: the bytes of a file exactly as they were read and
// hashed, kept for an attached message in blocks of pages from the system
// (VirtualAlloc), so that each block leaves the process as soon as it is
// released. Move-only; what is left goes back when it is destroyed.
class SigningFileContent {
public:
    // Bytes per block: a whole number of reads.
    static constexpr DWORD kBlockSize = 64 * kSigningReadChunk;

    ULONGLONG Size() const { return m_cbSize; }

    // PrepareAppend: room for cb more bytes (at most kBlockSize) at the end,
    // in a new block when the last one is full (sized for cbStillToCome, the
    // bytes expected in all, up to kBlockSize); null when no pages are left.
    BYTE* PrepareAppend(DWORD cb, ULONGLONG cbStillToCome);
    // CommitAppend: the first cb bytes of that room now hold content.
    void CommitAppend(DWORD cb);

    size_t BlockCount() const { return m_blocks.size(); }
    // Block: the bytes of block i; empty once it is released.
    orvane::der::Bytes Block(size_t i) const;
    // ReleaseBlock: gives block i's pages back to the system.
    void ReleaseBlock(size_t i);

private:
    static void ReleasePages(void* pv);
    using Pages = UniqueHandle<void*, ReleasePages>;
    struct Pieces {
        Pages pages;
        DWORD cbCapacity = 0;
        DWORD cbUsed = 0;
    };
    std::vector<Pieces> m_blocks;
    ULONGLONG m_cbSize = 0;
};

// kNoSigningSizeLimit: HashFileForSigning's cbMaxSize for a file of any size.
inline constexpr ULONGLONG kNoSigningSizeLimit = ~ULONGLONG(0);

// OpenFileForSigning: pwszPath opened for reading, shared with readers only
// (an existing file), in *pFile. Signers read a file through one handle
// only: a name can be given to another file between two opens. Returns 0,
// E_INVALIDARG, or CreateFile's error, traced under pszOperation.
[[nodiscard]] HRESULT OpenFileForSigning(const char* pszOperation, LPCWSTR pwszPath,
                                         UniqueFile* pFile);

// HashFileForSigning: takes the size of the open file hFile (positioned at
// its start) and reads exactly that many bytes through it in reads of
// kSigningReadChunk, handing each read's bytes to CryptHashData on hHash and,
// when pContent is given, keeping the same bytes in *pContent. So what is
// hashed is what an attached message carries, even when the file changes
// meanwhile. Bytes the file gains after its size was taken are left out; a
// file that ends before that size (cut short while it is read) fails with
// HRESULT_FROM_WIN32(ERROR_HANDLE_EOF). An empty file hashes nothing. A file
// over cbMaxSize bytes (kNoSigningSizeLimit: none) fails with
// VURO_E_FILE_SIZE_LIMIT before anything is read, and so does one that has
// grown past it by the time its bytes are read: never more than cbMaxSize
// bytes are read. Returns 0, E_INVALIDARG, E_OUTOFMEMORY (also for a file too
// large for an attached message), VURO_E_FILE_SIZE_LIMIT, or the failing
// call's error ("GetFileSizeEx", "ReadFile", "CryptHashData"), traced under
// pszOperation.
[[nodiscard]] HRESULT HashFileForSigning(const char* pszOperation, HCRYPTHASH hHash, HANDLE hFile,
                                         ULONGLONG cbMaxSize, SigningFileContent* pContent);

// SetSigningReadObserver: a seam for tests that change a file while it is
// read: pfnObserver (null: none) is called after every read of
// HashFileForSigning with pvContext and the bytes read so far.
using SigningReadObserver = void (*)(void* pvContext, ULONGLONG cbReadSoFar);
void SetSigningReadObserver(SigningReadObserver pfnObserver, void* pvContext);

// SIGNED_DATA_PARTS: the pieces WriteSignedDataBase64 lays out.
struct SIGNED_DATA_PARTS {
    LPCSTR pszSignedDataOID; // outer content type
    LPCSTR pszDataOID;       // inner content type
    LPCSTR pszDigestAlgOID;
    orvane::der::Bytes certificate; // the signer's encoded certificate
    orvane::der::Bytes signerInfo;  // one encoded SignerInfo
    bool bIncludeContent;
    orvane::der::Bytes memoryContent; // content in memory, or
    SigningFileContent* pFileContent; // content read from a file (its pages are given back)
};

// WriteSignedDataBase64: the ContentInfo above as Base64 text (Base64EncodeEx's
// form for dwBase64Flags) in a new system string *pbstrBase64 of *pcchBase64
// characters. Returns 0, E_INVALIDARG, E_OUTOFMEMORY (also for a message
// whose text would not fit a system string), CRYPT_E_ASN1_* for an object
// identifier that cannot be written, or E_UNEXPECTED if the encoder's output
// disagrees with its length rule.
[[nodiscard]] HRESULT WriteSignedDataBase64(const SIGNED_DATA_PARTS& parts, DWORD dwBase64Flags,
                                            BSTR* pbstrBase64, DWORD* pcchBase64);

// Base64TextLength: the characters Base64EncodeEx writes for cbData bytes with
// dwFlags.
ULONGLONG Base64TextLength(DWORD dwFlags, ULONGLONG cbData);
