#include "tools/testca/Ossl.h"

#include "tools/testca/TestIssuer.h"

#include <openssl/asn1.h>
#include <openssl/err.h>

#include <cctype>

namespace orvane::tools::testca {

std::string OsslError(std::string_view fallback) {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0)
        return std::string(fallback);
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return std::string(fallback) + " (" + text + ")";
}

std::string Base64Encode(ByteView data) {
    if (data.empty())
        return {};
    std::string out(4 * ((data.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), data.data(),
                                  static_cast<int>(data.size()));
    out.resize(n < 0 ? 0 : static_cast<size_t>(n));
    return out;
}

std::optional<Bytes> Base64Decode(std::string_view text) {
    std::string clean;
    clean.reserve(text.size());
    for (const char c : text) {
        if (std::isspace(static_cast<unsigned char>(c)))
            continue;
        const bool alphabet = std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '/';
        // Padding only at the end: nothing but more padding may follow it.
        if (!alphabet && c != '=')
            return std::nullopt;
        if (alphabet && !clean.empty() && clean.back() == '=')
            return std::nullopt;
        clean.push_back(c);
    }
    if (clean.empty() || clean.size() % 4 != 0)
        return std::nullopt;
    const size_t padding = clean.size() - clean.find_last_not_of('=') - 1;
    if (padding > 2)
        return std::nullopt;
    Bytes out(clean.size() / 4 * 3, 0);
    const int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(clean.data()),
                                  static_cast<int>(clean.size()));
    if (n < 0 || static_cast<size_t>(n) < padding)
        return std::nullopt;
    // EVP_DecodeBlock counts the padding as zero bytes.
    out.resize(static_cast<size_t>(n) - padding);
    return out;
}

bool DerReader::Read(uint8_t tag, ByteView& content, ByteView* whole) {
    if (m_rest.empty())
        return false;
    const unsigned char* p = m_rest.data();
    long length = 0;
    int number = 0, xclass = 0;
    const long available = static_cast<long>(m_rest.size());
    const int info = ASN1_get_object(&p, &length, &number, &xclass, available);
    // 0x80: malformed or longer than what is left; 0x01: indefinite length.
    if ((info & 0x80) != 0 || (info & 0x01) != 0 || number > 30) {
        ERR_clear_error();
        return false;
    }
    const uint8_t identifier = static_cast<uint8_t>(xclass | (info & V_ASN1_CONSTRUCTED) | number);
    if (identifier != tag)
        return false;
    const size_t header = static_cast<size_t>(p - m_rest.data());
    const size_t total = header + static_cast<size_t>(length);
    if (total > m_rest.size())
        return false;
    content = m_rest.subspan(header, static_cast<size_t>(length));
    if (whole != nullptr)
        *whole = m_rest.first(total);
    m_rest = m_rest.subspan(total);
    return true;
}

std::optional<uint8_t> DerReader::PeekTag() const {
    if (m_rest.empty())
        return std::nullopt;
    return m_rest[0];
}

Bytes Tlv(uint8_t tag, ByteView content) {
    Bytes out{tag};
    const size_t n = content.size();
    if (n < 0x80) {
        out.push_back(static_cast<uint8_t>(n));
    } else {
        Bytes length;
        for (size_t v = n; v != 0; v >>= 8)
            length.insert(length.begin(), static_cast<uint8_t>(v & 0xFF));
        out.push_back(static_cast<uint8_t>(0x80 | length.size()));
        Append(out, length);
    }
    Append(out, content);
    return out;
}

void Append(Bytes& out, ByteView more) {
    out.insert(out.end(), more.begin(), more.end());
}

bool InitSm2Digest(Sm2DigestContext& ctx, EVP_PKEY* key, bool sign) {
    ctx.pkeyCtx.reset(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
    ctx.mdCtx.reset(EVP_MD_CTX_new());
    if (!ctx.pkeyCtx || !ctx.mdCtx ||
        EVP_PKEY_CTX_set1_id(ctx.pkeyCtx.get(), kSm2DefaultId.data(), kSm2DefaultId.size()) != 1)
        return false;
    EVP_MD_CTX_set_pkey_ctx(ctx.mdCtx.get(), ctx.pkeyCtx.get());
    return sign ? EVP_DigestSignInit(ctx.mdCtx.get(), nullptr, EVP_sm3(), nullptr, key) == 1
                : EVP_DigestVerifyInit(ctx.mdCtx.get(), nullptr, EVP_sm3(), nullptr, key) == 1;
}

} // namespace orvane::tools::testca
