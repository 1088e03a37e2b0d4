// Small pieces the certificate and key imports share: wiping key material and
// owned byte arrays. Handle guards are foundation/Handles.h's, the provider
// rules certificates/VendorCsp.h's.
#pragma once
#include "foundation/ResultCodes.h"
#include "foundation/Types.h"

#include <wincrypt.h>

#include <cstddef>
#include <new>

// SecureWipe: overwrites cb bytes at pv with zeros through a volatile pointer,
// so the stores survive even when the memory is freed right after.
inline void SecureWipe(void* pv, size_t cb) {
    if (pv == nullptr)
        return;
    volatile BYTE* pb = static_cast<volatile BYTE*>(pv);
    for (size_t i = 0; i < cb; ++i)
        pb[i] = 0;
}

// WipeAndDeleteArray: the way to free a handed-out array that held key
// material: wipes cb bytes, then delete[]s it. A null array is ignored.
inline void WipeAndDeleteArray(BYTE* pb, DWORD cb) {
    if (pb == nullptr)
        return;
    SecureWipe(pb, cb);
    delete[] pb;
}

// HeapBytes: owns one new[] byte array and its length. A secret one is wiped
// (its whole allocation) before it is freed.
class HeapBytes {
public:
    explicit HeapBytes(bool fSecret = false) : m_fSecret(fSecret) {}
    ~HeapBytes() { Reset(); }
    HeapBytes(const HeapBytes&) = delete;
    HeapBytes& operator=(const HeapBytes&) = delete;

    // Allocate: a zeroed array of cb bytes (at least one is allocated, so an
    // empty array still has an address); false when memory runs out.
    bool Allocate(DWORD cb) {
        Reset();
        m_pb = new (std::nothrow) BYTE[cb != 0 ? cb : 1]();
        if (m_pb == nullptr)
            return false;
        m_cb = cb;
        m_cbAllocated = cb != 0 ? cb : 1;
        return true;
    }
    // Attach: takes over an array the caller allocated with new[] (cbAllocated
    // its full size, cb the length that counts).
    void Attach(BYTE* pb, DWORD cb, DWORD cbAllocated) {
        Reset();
        m_pb = pb;
        m_cb = cb;
        m_cbAllocated = pb != nullptr ? cbAllocated : 0;
    }
    void Attach(BYTE* pb, DWORD cb) { Attach(pb, cb, cb); }
    // Shrink: the counted length drops to cb (the allocation stays whole).
    void Shrink(DWORD cb) {
        if (cb < m_cb)
            m_cb = cb;
    }
    // ShrinkToFit: moves the counted bytes into an array of exactly that size
    // (wiping the old one if secret), so that a caller who frees by the
    // counted length frees and wipes all of it. False when memory runs out.
    bool ShrinkToFit() {
        if (m_pb == nullptr || m_cb == m_cbAllocated)
            return true;
        BYTE* pbExact = new (std::nothrow) BYTE[m_cb != 0 ? m_cb : 1]();
        if (pbExact == nullptr)
            return false;
        for (DWORD i = 0; i < m_cb; ++i)
            pbExact[i] = m_pb[i];
        const DWORD cb = m_cb;
        Reset();
        m_pb = pbExact;
        m_cb = cb;
        m_cbAllocated = cb != 0 ? cb : 1;
        return true;
    }
    // HandOut: gives the array to the caller, who frees it with delete[]
    // (secret arrays after wiping them, WipeAndDeleteArray).
    void HandOut(BYTE** ppb, DWORD* pcb) {
        *ppb = m_pb;
        *pcb = m_cb;
        m_pb = nullptr;
        m_cb = m_cbAllocated = 0;
    }
    void Reset() {
        if (m_pb != nullptr) {
            if (m_fSecret)
                SecureWipe(m_pb, m_cbAllocated);
            delete[] m_pb;
        }
        m_pb = nullptr;
        m_cb = m_cbAllocated = 0;
    }
    BYTE* Get() const { return m_pb; }
    DWORD Size() const { return m_cb; }
    bool Empty() const { return m_pb == nullptr; }

private:
    BYTE* m_pb = nullptr;
    DWORD m_cb = 0;
    DWORD m_cbAllocated = 0;
    bool m_fSecret;
};
