// One owner for OpenSSL objects in tests: OsslPtr<X509, X509_free>.
#pragma once

#include <memory>

namespace orvane::tests {

template <auto Free> struct OsslFree {
    template <class T> void operator()(T* p) const { Free(p); }
};

template <class T, auto Free> using OsslPtr = std::unique_ptr<T, OsslFree<Free>>;

} // namespace orvane::tests
