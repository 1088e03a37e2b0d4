// Exact: a heap copy of exactly the input's size that outlives the spans
// taken from it, so that a read one byte past the end is an overread that
// AddressSanitizer reports rather than a silent look at the next vector's
// spare capacity.
#pragma once
#include "der/Der.h"

#include <algorithm>
#include <cstddef>
#include <memory>
#include <vector>

namespace orvane::tests {

struct Exact {
    explicit Exact(const std::vector<BYTE>& v)
        : size(v.size()), data(new BYTE[v.empty() ? 1 : v.size()]) {
        std::copy(v.begin(), v.end(), data.get());
    }
    der::Bytes span() const { return der::Bytes(data.get(), size); }
    size_t size;
    std::unique_ptr<BYTE[]> data;
};

} // namespace orvane::tests
