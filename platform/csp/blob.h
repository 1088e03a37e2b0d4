// Readers and writers for CryptoAPI key blobs: little-endian numbers, and one
// bounded cursor that advances only when a read succeeds.
#pragma once
#include "provider.h"

#include <cstring>

namespace orvane::platform::csp {

class BlobReader {
public:
    explicit BlobReader(std::span<const BYTE> data) : data_(data) {}
    bool U8(BYTE& v) {
        return Take(1, [&](const BYTE* p) { v = p[0]; });
    }
    bool U16(WORD& v) {
        return Take(2, [&](const BYTE* p) { v = static_cast<WORD>(p[0] | (p[1] << 8)); });
    }
    bool U32(DWORD& v) {
        return Take(4, [&](const BYTE* p) {
            v = static_cast<DWORD>(p[0]) | (static_cast<DWORD>(p[1]) << 8) |
                (static_cast<DWORD>(p[2]) << 16) | (static_cast<DWORD>(p[3]) << 24);
        });
    }
    // Bytes: n bytes as they stand.
    template <class Out> bool Bytes(size_t n, Out& out) {
        return Take(n, [&](const BYTE* p) { out.assign(p, p + n); });
    }
    bool Skip(size_t n) {
        return Take(n, [](const BYTE*) {});
    }
    size_t Remaining() const { return data_.size() - pos_; }
    std::span<const BYTE> Rest() const { return data_.subspan(pos_); }

private:
    template <class F> bool Take(size_t n, F&& f) {
        if (n > Remaining())
            return false;
        f(data_.data() + pos_);
        pos_ += n;
        return true;
    }
    std::span<const BYTE> data_;
    size_t pos_ = 0;
};

inline void PutU32(csp::Bytes& out, DWORD v) {
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<BYTE>(v >> (8 * i)));
}
inline void PutU16(csp::Bytes& out, WORD v) {
    out.push_back(static_cast<BYTE>(v));
    out.push_back(static_cast<BYTE>(v >> 8));
}
template <class In> void PutBytes(csp::Bytes& out, const In& in) {
    out.insert(out.end(), in.begin(), in.end());
}
// PutHeader: BLOBHEADER { bType, bVersion 2, reserved 0, aiKeyAlg }.
inline void PutHeader(csp::Bytes& out, BYTE type, ALG_ID alg) {
    out.push_back(type);
    out.push_back(CUR_BLOB_VERSION);
    PutU16(out, 0);
    PutU32(out, alg);
}

struct BlobHeader {
    BYTE type = 0;
    BYTE version = 0;
    WORD reserved = 0;
    DWORD alg = 0;
};
inline bool ReadHeader(BlobReader& r, BlobHeader& h) {
    return r.U8(h.type) && r.U8(h.version) && r.U16(h.reserved) && r.U32(h.alg);
}

// The parameter a DWORD-valued Get*Param answers.
inline csp::Bytes DwordBytes(DWORD v) {
    csp::Bytes b;
    PutU32(b, v);
    return b;
}

} // namespace orvane::platform::csp
