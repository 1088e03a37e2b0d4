// A small DER/BER toolkit of our own, used wherever a structure is built or
// taken apart byte by byte rather than through the system's encoder.
//
// The encoder wraps a ready content in one tag-length-value (TLV). Encoded
// outputs are new[] arrays that the caller frees with delete[], handed out with
// their byte count; out parameters are set only on success.
//
// The decoder turns a buffer into a tree of ASN1Node records that point into the
// buffer: no content is copied, and the buffer must outlive the tree. It never
// reads outside the buffer, and every node it accepts lies inside its parent's
// content (the root inside the buffer). One decode yields at most 255 nodes,
// which bounds both the recursion depth and the size of the tree. Only
// single-octet tags are understood. Reading from a file stream is not
// supported: the stream arguments and fields exist for the record layout and
// must be null.
#pragma once
#include "foundation/Types.h"

#include <memory>
#include <vector>

// Result of DecodeASN1Memory when the outermost header cannot be read. It shares
// its number (text 4161, "ASN1 decode failed.") with VURO_E_ASN1_DECODE but
// lacks the severity bit, so it is a positive value: callers must treat every
// non-zero result as a failure, not only negative ones.
constexpr int ASN1_E_ROOT_HEADER = 0x20001041;

// Every other decoder failure (all bits set).
constexpr int ASN1_E_PARSE = -1;

// Value length and total length of a node whose indefinite length is not yet
// resolved, and the end offset ParseASN1TLV reports for it.
constexpr DWORD ASN1_INDEFINITE_LENGTH = 0xFFFFFFFF;

// Nodes one decode may yield; the node after the last is refused.
constexpr DWORD ASN1_MAX_NODES = 255;

// One decoded TLV. Its content is the buffer range
// [ullContentOffset, ullContentOffset + dwValueLength). A node owns its
// children; destroying it destroys its subtree.
struct ASN1Node {
    HANDLE hStream = nullptr;     // always null: only memory buffers are decoded
    const BYTE* pbData = nullptr; // start of the whole buffer (shared, not owned)
    BYTE bTag = 0;                // identifier octet as it stands (class, constructed bit, number)
    DWORD dwLengthOctets = 0;     // 1 for short and indefinite forms, 1 + n for long form
    DWORD dwValueLength = 0;      // content bytes; ASN1_INDEFINITE_LENGTH while unresolved
    ULONGLONG ullContentOffset = 0; // first content octet, from the start of the buffer
    DWORD dwTotalLength = 0;        // 1 + dwLengthOctets + dwValueLength; indefinite: as above
    WORD wIndefinite = 0;           // 1 while the length is indefinite and unresolved
    DWORD dwStreamSize = 0;         // always 0 (stream mode)
    DWORD dwBufferSize = 0;         // size of the buffer in bytes
    ASN1Node* pParent = nullptr;    // enclosing node; null for the root
    std::vector<std::unique_ptr<ASN1Node>> vChildren; // nested TLVs in encoding order
};

// ---- Encoder ---------------------------------------------------------------

// CalculateASNValueLength: builds the DER length octets for a content of
// dwLength bytes: one octet for 1 to 127, else 0x80 | n followed by the n-octet
// (1 to 4) minimal big-endian length, so 128 gives 81 80 and 65536 gives
// 83 01 00 00. Hands out *ppbLength (new[], caller delete[]s) and its size in
// *pdwLengthCount. Returns 0, E_FAIL for a length of 0 (no TLV with empty
// content can be built here; callers write such two-byte TLVs themselves),
// E_POINTER for a null out parameter, or E_OUTOFMEMORY.
HRESULT CalculateASNValueLength(DWORD dwLength, BYTE** ppbLength, DWORD* pdwLengthCount);

// ASN1Encode: builds tag octet, length octets and the cbContent bytes at
// pbContent, copied as they are (an INTEGER's sign octet or an OBJECT
// IDENTIFIER's encoding must already be in the content), in one new array of
// exactly that size. Only the low 8 bits of dwTag count, and only these tags are
// accepted: 0x02 INTEGER, 0x04 OCTET STRING, 0x06 OBJECT IDENTIFIER,
// 0x0C UTF8String, 0x13 PrintableString, 0x16 IA5String, 0x1E BMPString,
// 0x30 SEQUENCE, 0x31 SET, 0x80 [0] primitive and 0xA0 [0] constructed.
// Hands out *ppbEncoded (new[], caller delete[]s) and its size in *pcbEncoded.
// Returns 0, E_FAIL for any other tag, for empty content or when the TLV would
// not fit in 32 bits, E_POINTER for a null out parameter or null content, or
// E_OUTOFMEMORY.
HRESULT ASN1Encode(DWORD dwTag, const BYTE* pbContent, DWORD cbContent, BYTE** ppbEncoded,
                   DWORD* pcbEncoded);

// ASN1EncodeTakesTag: whether ASN1Encode accepts the tag octet bTag (the list
// above).
bool ASN1EncodeTakesTag(BYTE bTag);

// ---- Decoder ---------------------------------------------------------------

// DecodeASN1Memory: parses the cbData bytes at pbData into a tree. The
// outermost header is read with the limit cbData - 1 (so a buffer of fewer than
// 3 bytes never decodes); the whole tree must lie within cbData bytes.
// Returns 0; ASN1_E_ROOT_HEADER when the outermost header cannot be read (or an
// argument is null), and then *ppRoot is left alone; ASN1_E_PARSE for any
// failure below it: a header past its limit, a node running past its parent or
// the buffer, a missing end-of-contents, more than ASN1_MAX_NODES nodes. Once
// the outermost header is read the root is handed out in *ppRoot (unless it
// cannot be allocated), also when the decode fails below it: the children
// parsed before the failure stay attached.
int DecodeASN1Memory(std::unique_ptr<ASN1Node>* ppRoot, const BYTE* pbData, DWORD cbData);

// ParseASN1TLV: reads the header (tag octet and length octets) that starts at
// ullPosition. Every octet read must lie below ullLimit (exclusive), and the
// caller promises that pbData holds at least ullLimit readable bytes. Hands out
// the tag, the number of length octets, the value length, the content offset,
// the end offset (content offset + value length - 1, the last content octet,
// or ASN1_INDEFINITE_LENGTH for an indefinite length) and the indefinite flag;
// any out parameter may be null when not wanted. A long form with more than
// four length octets keeps only the last four (earlier ones are shifted out).
// The content itself is not checked. Returns 0 or ASN1_E_PARSE (also for a
// non-null hStream or a null pbData).
int ParseASN1TLV(ULONGLONG ullPosition, ULONGLONG ullLimit, HANDLE hStream, const BYTE* pbData,
                 BYTE* pbTag, DWORD* pdwLengthOctets, DWORD* pdwValueLength,
                 ULONGLONG* pullContentOffset, ULONGLONG* pullEndOffset, WORD* pwIndefinite);

// GetASN1ValueLength: reads the length octets that start at ullPosition, each
// below ullLimit, as ParseASN1TLV does after the tag. Hands out the number of
// length octets, the value length, the content offset (ullPosition + number of
// length octets) and the indefinite flag; null out parameters are skipped.
// Returns 0 or ASN1_E_PARSE.
int GetASN1ValueLength(ULONGLONG ullLimit, ULONGLONG ullPosition, HANDLE hStream,
                       const BYTE* pbData, DWORD* pdwLengthOctets, DWORD* pdwValueLength,
                       ULONGLONG* pullContentOffset, WORD* pwIndefinite);

// ParseNode: parses the children of pNode recursively and attaches them.
// *pdwNodeCount counts every node parsed in one decode (pNode included: each
// call adds one) and is never decreased; the call that would make it 256 fails.
// Tags 0x00-0x1F and 0x80-0x8F are leaves (an indefinite leaf is resolved with
// GetInfiniteLength); every other tag is walked as constructed, whatever its
// class. An indefinite constructed node is resolved at its end-of-contents
// octets, which then count as its content. pNode and its children must lie
// within the buffer and within pNode's ancestors. Returns 0 or ASN1_E_PARSE;
// on failure the children parsed so far stay attached.
int ParseNode(ASN1Node* pNode, DWORD* pdwNodeCount);

// GetInfiniteLength: resolves the length of a primitive node whose indefinite
// flag is set: scans its content for the first two consecutive zero octets (a
// zero in the very first position does not pair with anything before it) and
// makes the value length the number of octets scanned, both zeros included.
// Returns 0, or ASN1_E_PARSE when the flag is not set or the buffer ends first;
// the node is changed only on success.
int GetInfiniteLength(ASN1Node* pNode);

// PrintNode: writes the node's tag, value length and content offset to the
// trace (information); no other effect.
void PrintNode(const ASN1Node* pNode);
