// A token context's own operations: the algorithms the token offers, the
// container's key pairs (finding them, generating them on the token,
// installing imported private keys, replacing the older pair) and imports
// (PUBLICKEYBLOB, PRIVATEKEYBLOB, enveloped private keys, SIMPLEBLOB session
// keys unwrapped on the token). Signing and the keys' own operations are in
// token_keys.cpp.
#include "../envelope.h"
#include "token_objects.h"

#include <algorithm>

namespace orvane::platform::csp::pkcs11_detail {
namespace {

constexpr size_t kIdLength = 16;

// BigEndian: a CryptoAPI number (least significant byte first) as PKCS#11
// holds it, without leading zeros.
Bytes BigEndian(std::span<const BYTE> le) {
    Bytes be(le.rbegin(), le.rend());
    const auto first = std::find_if(be.begin(), be.end(), [](BYTE b) { return b != 0; });
    be.erase(be.begin(), first);
    return be;
}

// PublicKeyOf: the OpenSSL key of a token's public RSA key.
Status PublicKeyOf(Token::Session& s, CK_OBJECT_HANDLE object, Pkey& key) {
    Bytes modulus, exponent;
    if (Status st = pkcs11::Value(s, object, CKA_MODULUS, modulus))
        return st;
    if (Status st = pkcs11::Value(s, object, CKA_PUBLIC_EXPONENT, exponent))
        return st;
    while (!modulus.empty() && modulus.front() == 0)
        modulus.erase(modulus.begin());
    while (!exponent.empty() && exponent.front() == 0)
        exponent.erase(exponent.begin());
    if (modulus.empty() || modulus.size() > 16384 / 8 || exponent.empty() || exponent.size() > 4)
        return Err(NTE_BAD_KEY);
    RsaParts parts;
    parts.bits = static_cast<DWORD>(modulus.size() * 8);
    for (BYTE b : exponent)
        parts.publicExponent = (parts.publicExponent << 8) | b;
    parts.modulus.assign(modulus.rbegin(), modulus.rend());
    return RsaFromParts(parts, false, key);
}

// PairTemplates: what both halves of every pair this provider puts on a
// token carry, generated there or installed: the container's label and one
// ID, on the token; the private half private, sensitive and never
// extractable; an exchange pair's halves also encrypt, wrap, decrypt and
// unwrap. The values must outlive the templates.
struct PairTemplates {
    Attributes pub, priv;
};
PairTemplates PairAttributes(const Bytes& id, const std::string& label, const CK_BBOOL& exchange) {
    return {{Attribute(CKA_TOKEN, kTrue), Attribute(CKA_PRIVATE, kFalse), Attribute(CKA_ID, id),
             Attribute(CKA_LABEL, label), Attribute(CKA_VERIFY, kTrue),
             Attribute(CKA_ENCRYPT, exchange), Attribute(CKA_WRAP, exchange)},
            {Attribute(CKA_TOKEN, kTrue), Attribute(CKA_PRIVATE, kTrue),
             Attribute(CKA_SENSITIVE, kTrue), Attribute(CKA_EXTRACTABLE, kFalse),
             Attribute(CKA_ID, id), Attribute(CKA_LABEL, label), Attribute(CKA_SIGN, kTrue),
             Attribute(CKA_DECRYPT, exchange), Attribute(CKA_UNWRAP, exchange)}};
}

const AlgInfo kHashAlgs[] = {
    {CALG_SHA1, 160, 160, 160, "SHA-1", "Secure Hash Algorithm (SHA-1)"},
    {CALG_MD5, 128, 128, 128, "MD5", "Message Digest 5 (MD5)"},
};

} // namespace

Status TokenContext::ReadAlgorithms() {
    return provider_.token().Run([&](Token::Session& s) -> Status {
        Token& t = provider_.token();
        algs_.clear();
        const bool rawSign = t.Offers(s, CKM_RSA_PKCS);
        if (rawSign || t.Offers(s, CKM_SHA1_RSA_PKCS))
            algs_.push_back(kHashAlgs[0]);
        if (rawSign || t.Offers(s, CKM_MD5_RSA_PKCS))
            algs_.push_back(kHashAlgs[1]);
        CK_MECHANISM_INFO info{};
        if (t.Offers(s, CKM_RSA_PKCS_KEY_PAIR_GEN, &info)) {
            const DWORD min = static_cast<DWORD>(info.ulMinKeySize);
            const DWORD max = static_cast<DWORD>(info.ulMaxKeySize);
            const DWORD def = std::clamp<DWORD>(1024, min, std::max(min, max));
            algs_.push_back({CALG_RSA_SIGN, def, min, max, "RSA_SIGN", "RSA Signature"});
            algs_.push_back({CALG_RSA_KEYX, def, min, max, "RSA_KEYX", "RSA Key Exchange"});
        }
        return 0;
    });
}

Status TokenContext::MakeKey(DWORD keySpec, std::shared_ptr<Key>& key) {
    KeyRef ref{&provider_, container_, keySpec, {}};
    Pkey publicKey;
    if (Status st = provider_.token().Run([&](Token::Session& s) -> Status {
            CK_OBJECT_HANDLE h = CK_INVALID_HANDLE;
            if (Status e = provider_.FindPair(s, container_, keySpec, h, ref.id))
                return e;
            return PublicKeyOf(s, h, publicKey);
        }))
        return st;
    key = std::make_shared<TokenKey>(std::move(ref), std::move(publicKey), *this);
    return 0;
}

// Made: the container holds a pair now, so it is no longer only reserved.
Status TokenContext::Made(DWORD keySpec, std::shared_ptr<Key>& key) {
    auto& reserved = provider_.token().reserved;
    reserved.erase(std::remove(reserved.begin(), reserved.end(), container_), reserved.end());
    return MakeKey(keySpec, key);
}

Status TokenContext::GetUserKey(DWORD keySpec, std::shared_ptr<Key>& key) {
    if ((keySpec != AT_KEYEXCHANGE && keySpec != AT_SIGNATURE) || container_.empty())
        return Err(NTE_NO_KEY);
    return MakeKey(keySpec, key);
}

// Replace: destroys the container's other pairs of keySpec (and their
// certificates), keeping the one whose CKA_ID is keep.
Status TokenContext::Replace(Token::Session& s, DWORD keySpec, const Bytes& keep) {
    for (;;) {
        CK_OBJECT_HANDLE old = CK_INVALID_HANDLE;
        Bytes id;
        const Status st = provider_.FindPair(s, container_, keySpec, old, id, &keep);
        if (st == Err(NTE_NO_KEY))
            return 0; // nothing else of that kind
        if (st != 0)
            return st;
        for (CK_OBJECT_CLASS c : {CKO_PRIVATE_KEY, CKO_CERTIFICATE}) {
            std::vector<CK_OBJECT_HANDLE> objects;
            if (Status e =
                    pkcs11::Find(s, {Attribute(CKA_CLASS, c), Attribute(CKA_ID, id)}, objects))
                return e;
            for (CK_OBJECT_HANDLE h : objects)
                if (Status e = s.Check(s.f->C_DestroyObject(s.h, h)))
                    return e;
        }
        if (Status e = s.Check(s.f->C_DestroyObject(s.h, old)))
            return e;
    }
}

Status TokenContext::GenKey(ALG_ID alg, DWORD flags, std::shared_ptr<Key>& key) {
    const DWORD keySpec = RsaKeySpecOf(alg);
    if (keySpec == 0)
        return Err(NTE_BAD_ALGID);
    // CRYPT_EXPORTABLE is not honoured, as by the other tokens: a token's
    // private keys never leave it, and exports say so.
    const DWORD bits = (flags >> 16) == 0 ? 1024 : flags >> 16;
    if (container_.empty())
        return Err(NTE_BAD_KEYSET);
    Bytes id(kIdLength);
    if (Status s = Random(id.data(), id.size()))
        return s;
    Token& t = provider_.token();
    Status st = t.Run([&](Token::Session& s) -> Status {
        CK_MECHANISM_INFO info{};
        if (!t.Offers(s, CKM_RSA_PKCS_KEY_PAIR_GEN, &info))
            return Err(NTE_BAD_ALGID);
        const bool standard = bits == 1024 || bits == 2048;
        const bool within =
            bits >= info.ulMinKeySize && (info.ulMaxKeySize == 0 || bits <= info.ulMaxKeySize);
        if (!within || (!standard && bits % 8 != 0))
            return Err(NTE_BAD_FLAGS);
        if (Status e = t.Login(s, CredentialFor(keySpec)))
            return e;
        const CK_ULONG modulusBits = bits;
        const Bytes exponent = {0x01, 0x00, 0x01};
        const std::string label = Utf8(container_);
        const CK_BBOOL exchange = keySpec == AT_KEYEXCHANGE ? CK_TRUE : CK_FALSE;
        auto [pub, priv] = PairAttributes(id, label, exchange);
        pub.push_back(Attribute(CKA_MODULUS_BITS, modulusBits));
        pub.push_back(Attribute(CKA_PUBLIC_EXPONENT, exponent));
        CK_MECHANISM mechanism{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
        CK_OBJECT_HANDLE hPub = CK_INVALID_HANDLE, hPriv = CK_INVALID_HANDLE;
        if (Status e = s.Check(s.f->C_GenerateKeyPair(s.h, &mechanism, pub.data(), pub.size(),
                                                      priv.data(), priv.size(), &hPub, &hPriv)))
            return e;
        return Replace(s, keySpec, id);
    });
    if (st != 0)
        return st;
    return Made(keySpec, key);
}

Status TokenContext::Install(EVP_PKEY* pkey, DWORD keySpec, std::shared_ptr<Key>& key) {
    if (container_.empty())
        return Err(NTE_BAD_KEYSET);
    RsaParts parts;
    if (Status s = RsaToParts(pkey, true, parts))
        return s;
    Bytes id(kIdLength);
    if (Status s = Random(id.data(), id.size()))
        return s;
    const Bytes modulus = BigEndian(parts.modulus);
    Bytes exponent;
    for (DWORD e = parts.publicExponent; e != 0; e >>= 8)
        exponent.insert(exponent.begin(), static_cast<BYTE>(e));
    struct Secret {
        SecureBytes d, p, q, dp, dq, qi;
    } secret;
    auto be = [](const SecureBytes& le) {
        Bytes b = BigEndian(le);
        SecureBytes out(b.begin(), b.end());
        OPENSSL_cleanse(b.data(), b.size());
        return out;
    };
    secret.d = be(parts.privateExponent);
    secret.p = be(parts.prime1);
    secret.q = be(parts.prime2);
    secret.dp = be(parts.exponent1);
    secret.dq = be(parts.exponent2);
    secret.qi = be(parts.coefficient);
    Token& t = provider_.token();
    Status st = t.Run([&](Token::Session& s) -> Status {
        if (Status e = t.Login(s, CredentialFor(keySpec)))
            return e;
        const CK_OBJECT_CLASS privateClass = CKO_PRIVATE_KEY, publicClass = CKO_PUBLIC_KEY;
        const CK_KEY_TYPE type = CKK_RSA;
        const std::string label = Utf8(container_);
        const CK_BBOOL exchange = keySpec == AT_KEYEXCHANGE ? CK_TRUE : CK_FALSE;
        auto secretAttribute = [](CK_ATTRIBUTE_TYPE a, const SecureBytes& v) {
            return CK_ATTRIBUTE{a, const_cast<BYTE*>(v.data()), v.size()};
        };
        auto [pub, priv] = PairAttributes(id, label, exchange);
        priv.insert(priv.end(),
                    {Attribute(CKA_CLASS, privateClass), Attribute(CKA_KEY_TYPE, type),
                     Attribute(CKA_MODULUS, modulus), Attribute(CKA_PUBLIC_EXPONENT, exponent),
                     secretAttribute(CKA_PRIVATE_EXPONENT, secret.d),
                     secretAttribute(CKA_PRIME_1, secret.p), secretAttribute(CKA_PRIME_2, secret.q),
                     secretAttribute(CKA_EXPONENT_1, secret.dp),
                     secretAttribute(CKA_EXPONENT_2, secret.dq),
                     secretAttribute(CKA_COEFFICIENT, secret.qi)});
        pub.insert(pub.end(),
                   {Attribute(CKA_CLASS, publicClass), Attribute(CKA_KEY_TYPE, type),
                    Attribute(CKA_MODULUS, modulus), Attribute(CKA_PUBLIC_EXPONENT, exponent)});
        CK_OBJECT_HANDLE hPriv = CK_INVALID_HANDLE, hPub = CK_INVALID_HANDLE;
        if (Status e = s.Check(s.f->C_CreateObject(s.h, priv.data(), priv.size(), &hPriv)))
            return e;
        if (Status e = s.Check(s.f->C_CreateObject(s.h, pub.data(), pub.size(), &hPub))) {
            (void)s.f->C_DestroyObject(s.h, hPriv); // no half pair is left behind
            return e;
        }
        return Replace(s, keySpec, id);
    });
    if (st != 0)
        return st;
    return Made(keySpec, key);
}

Status TokenContext::ImportKey(std::span<const BYTE> blob, Key* wrap, DWORD /*flags*/,
                               std::shared_ptr<Key>& key) {
    BlobReader r(blob);
    BlobHeader h;
    DWORD magic = 0;
    if (!ReadHeader(r, h) || !r.U32(magic))
        return Err(NTE_BAD_DATA);
    if (h.type == SIMPLEBLOB)
        return ImportSessionKey(h, magic, r.Rest(), wrap, key);
    if (h.type == PRIVATEKEYBLOB && h.alg == CALG_RSA_KEYX && magic == CALG_RSA_KEYX) {
        EnvelopeFields fields;
        if (Status s = ReadEnvelopeFields(r, fields))
            return s;
        if (container_.empty())
            return Err(NTE_BAD_KEYSET);
        std::shared_ptr<Key> exchange;
        if (Status s = GetUserKey(AT_KEYEXCHANGE, exchange))
            return s;
        const KeyRef& ref = static_cast<TokenKey&>(*exchange).Ref();
        Pkey pkey;
        // The session key is opened on the token, by the container's exchange key.
        if (Status s = OpenEnvelope(
                fields,
                [&](std::span<const BYTE> cipher, SecureBytes& sessionKey) {
                    return DecryptOnToken(ref, cipher, sessionKey);
                },
                pkey))
            return s;
        return Install(pkey.get(), AT_KEYEXCHANGE, key);
    }
    Pkey pkey;
    bool isPrivate = false;
    if (Status s = RsaFromBlob(blob, h, pkey, isPrivate))
        return s;
    if (!isPrivate) { // a public key to verify with needs no token
        key = std::make_shared<RsaKey>(std::move(pkey), h.alg, false, false);
        return 0;
    }
    return Install(pkey.get(), h.alg == CALG_RSA_KEYX ? AT_KEYEXCHANGE : AT_SIGNATURE, key);
}

// ImportSessionKey: a SIMPLEBLOB's triple-DES key, unwrapped on the token by
// the container's exchange key when the token can (else NTE_NOT_SUPPORTED:
// the key is never opened in software).
Status TokenContext::ImportSessionKey(const BlobHeader& h, DWORD wrapAlg,
                                      std::span<const BYTE> wrapped, Key* wrap,
                                      std::shared_ptr<Key>& key) {
    if (h.alg != CALG_3DES)
        return Err(NTE_BAD_ALGID);
    auto* exchange = dynamic_cast<TokenKey*>(wrap);
    if (exchange == nullptr || exchange->Ref().provider != &provider_ ||
        exchange->Ref().keySpec != AT_KEYEXCHANGE)
        return Err(NTE_BAD_KEY);
    if (wrapAlg != CALG_RSA_KEYX)
        return Err(NTE_BAD_ALGID);
    Token& t = provider_.token();
    if (Status st = t.Run([&](Token::Session& s) -> Status {
            CK_MECHANISM_INFO info{};
            return t.Offers(s, CKM_RSA_PKCS, &info) && (info.flags & CKF_UNWRAP) != 0 &&
                           t.Offers(s, CKM_DES3_CBC) && t.Offers(s, CKM_DES3_ECB)
                       ? Status()
                       : pkcs11::kNotSupported;
        }))
        return st;
    const Bytes cipher(wrapped.rbegin(), wrapped.rend()); // the blob holds it reversed
    CK_OBJECT_HANDLE made = CK_INVALID_HANDLE;
    if (Status st = PrivateUse(
            exchange->Ref(), [](Token::Session&, CK_OBJECT_HANDLE) { return Status(); },
            [&](Token::Session& s, CK_OBJECT_HANDLE k) {
                const CK_OBJECT_CLASS cls = CKO_SECRET_KEY;
                const CK_KEY_TYPE type = CKK_DES3;
                Attributes tmpl = {
                    Attribute(CKA_CLASS, cls),       Attribute(CKA_KEY_TYPE, type),
                    Attribute(CKA_TOKEN, kFalse),    Attribute(CKA_PRIVATE, kTrue),
                    Attribute(CKA_SENSITIVE, kTrue), Attribute(CKA_EXTRACTABLE, kFalse),
                    Attribute(CKA_DECRYPT, kTrue)};
                CK_MECHANISM m{CKM_RSA_PKCS, nullptr, 0};
                return s.Check(s.f->C_UnwrapKey(s.h, &m, k, const_cast<BYTE*>(cipher.data()),
                                                cipher.size(), tmpl.data(), tmpl.size(), &made));
            }))
        return st;
    key = std::make_shared<TokenSessionKey>(t, made);
    return 0;
}

} // namespace orvane::platform::csp::pkcs11_detail
