// Guards for CryptoAPI handles in tests: the provider is released and the
// key destroyed when the guard goes, on every path an assertion may take.
#pragma once

#include <windows.h>
#include <wincrypt.h>

struct Prov {
    HCRYPTPROV h = 0;
    Prov() = default;
    Prov(const Prov&) = delete;
    Prov& operator=(const Prov&) = delete;
    ~Prov() {
        if (h != 0)
            CryptReleaseContext(h, 0);
    }
};

struct KeyH {
    HCRYPTKEY h = 0;
    KeyH() = default;
    KeyH(const KeyH&) = delete;
    KeyH& operator=(const KeyH&) = delete;
    ~KeyH() {
        if (h != 0)
            CryptDestroyKey(h);
    }
};
