// What a token's keys and hashes do: hashes made for signing on the token,
// PrivateUse (the logins before a private key is used), signing a hash, and
// TokenKey's parameters, certificate (written with the attributes a
// certificate object carries), public-key export, decryption and
// verification.
#include "../personal_store.h"
#include "der/Der.h"
#include "token_objects.h"

#include <iterator>

namespace orvane::platform::csp::pkcs11_detail {

Status TokenContext::CreateHash(ALG_ID alg, std::shared_ptr<Hash>& hash) {
    if (alg != CALG_SHA1 && alg != CALG_MD5)
        return Err(NTE_BAD_ALGID);
    Token& t = provider_.token();
    bool offered = false;
    if (Status st = t.Run([&](Token::Session& s) -> Status {
            offered = t.Offers(s, CKM_RSA_PKCS) ||
                      t.Offers(s, alg == CALG_SHA1 ? CKM_SHA1_RSA_PKCS : CKM_MD5_RSA_PKCS);
            return 0;
        }))
        return st;
    if (!offered)
        return Err(NTE_BAD_ALGID);
    auto made = std::make_shared<TokenHash>();
    if (Status s = made->Init(alg))
        return s;
    hash = made;
    return 0;
}

Status TokenContext::SignatureSize(DWORD keySpec, DWORD& size) {
    std::shared_ptr<Key> pair;
    if (Status s = GetUserKey(keySpec, pair))
        return s;
    size = (pair->BitLength() + 7) / 8;
    return 0;
}

Status TokenContext::PrivateUse(const KeyRef& ref, const PrivateOp& init, const PrivateOp& op) {
    Token& t = ref.provider->token();
    const Token::Credential with = CredentialFor(ref.keySpec);
    return t.Run([&](Token::Session& s) -> Status {
        // A PIN the user gives for the login also serves this operation's own
        // login (a key that wants the PIN for each use): one question for one
        // signature.
        SecureBytes entered;
        if (Status e = t.Login(s, with, &entered))
            return e;
        const CK_OBJECT_CLASS cls = CKO_PRIVATE_KEY;
        std::vector<CK_OBJECT_HANDLE> found;
        if (Status e =
                pkcs11::Find(s, {Attribute(CKA_CLASS, cls), Attribute(CKA_ID, ref.id)}, found))
            return e;
        if (found.empty())
            return Err(NTE_NO_KEY);
        if (Status e = init(s, found.front()))
            return e;
        if (pkcs11::Flag(s, found.front(), CKA_ALWAYS_AUTHENTICATE)) {
            Token::Credential again = with;
            if (again.pin == nullptr && !entered.empty())
                again.pin = &entered;
            if (Status e = t.LoginForOperation(s, again))
                return e;
        }
        return op(s, found.front());
    });
}

Status TokenContext::SignHash(Hash& hash, DWORD keySpec, Bytes& signature) {
    std::shared_ptr<Key> pair;
    if (Status s = GetUserKey(keySpec, pair))
        return s;
    auto* kept = dynamic_cast<TokenHash*>(&hash);
    if (kept == nullptr)
        return Err(NTE_BAD_HASH);
    Bytes digest;
    if (Status s = hash.Value(digest))
        return s;
    const ALG_ID alg = hash.AlgId();
    Token& t = provider_.token();
    // Which mechanism: the token's own hash-and-sign when it has the data,
    // else PKCS#1 v1.5 over the DigestInfo made here.
    CK_MECHANISM_TYPE mechanism = CKM_RSA_PKCS;
    Bytes input;
    if (Status st = t.Run([&](Token::Session& s) -> Status {
            const CK_MECHANISM_TYPE combined =
                alg == CALG_SHA1 ? CKM_SHA1_RSA_PKCS : CKM_MD5_RSA_PKCS;
            if (kept->Kept() && t.Offers(s, combined)) {
                mechanism = combined;
                return 0;
            }
            return t.Offers(s, CKM_RSA_PKCS) ? Status() : Err(NTE_BAD_ALGID);
        }))
        return st;
    if (mechanism == CKM_RSA_PKCS) {
        static const Bytes kSha1Info = {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2B, 0x0E,
                                        0x03, 0x02, 0x1A, 0x05, 0x00, 0x04, 0x14};
        static const Bytes kMd5Info = {0x30, 0x20, 0x30, 0x0C, 0x06, 0x08, 0x2A, 0x86, 0x48,
                                       0x86, 0xF7, 0x0D, 0x02, 0x05, 0x05, 0x00, 0x04, 0x10};
        input = alg == CALG_SHA1 ? kSha1Info : kMd5Info;
        input.insert(input.end(), digest.begin(), digest.end());
    } else {
        input.assign(kept->Data().begin(), kept->Data().end());
    }
    const KeyRef& ref = static_cast<TokenKey&>(*pair).Ref();
    Bytes out;
    Status st = PrivateUse(
        ref,
        [&](Token::Session& s, CK_OBJECT_HANDLE k) {
            CK_MECHANISM m{mechanism, nullptr, 0};
            return s.Check(s.f->C_SignInit(s.h, &m, k));
        },
        [&](Token::Session& s, CK_OBJECT_HANDLE) {
            CK_ULONG length = (pair->BitLength() + 7) / 8;
            out.assign(length, 0);
            Status e = s.Check(s.f->C_Sign(s.h, input.data(), input.size(), out.data(), &length));
            out.resize(e == 0 ? length : 0);
            return e;
        });
    OPENSSL_cleanse(input.data(), input.size());
    if (st != 0)
        return st;
    signature.assign(out.rbegin(), out.rend()); // least significant byte first
    return 0;
}

// --- key ----------------------------------------------------------------------

namespace {

// CertificateAttributes: what a certificate object carries beside its DER:
// subject, issuer and the serial number's DER INTEGER.
Status CertificateAttributes(std::span<const BYTE> der, Bytes& subject, Bytes& issuer,
                             Bytes& serial) {
    PCCERT_CONTEXT cert =
        CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), DWORD(der.size()));
    if (cert == nullptr)
        return Err(NTE_BAD_DATA);
    const CERT_INFO* info = cert->pCertInfo;
    subject.assign(info->Subject.pbData, info->Subject.pbData + info->Subject.cbData);
    issuer.assign(info->Issuer.pbData, info->Issuer.pbData + info->Issuer.cbData);
    const CRYPT_INTEGER_BLOB& n = info->SerialNumber; // least significant byte first
    const Bytes content(std::reverse_iterator(n.pbData + n.cbData),
                        std::reverse_iterator(n.pbData));
    CertFreeCertificateContext(cert);
    // The serial's own octets, as the certificate holds them.
    der::DerWriter w;
    w.Element(der::tag::kInteger, content);
    serial = w.Take();
    return w.Error() == 0 ? Status() : Err(NTE_BAD_DATA);
}

} // namespace

Status TokenKey::GetParam(DWORD param, Bytes& out) {
    switch (param) {
    case KP_ALGID:
        out = DwordBytes(AlgId());
        return 0;
    case KP_KEYLEN:
    case KP_BLOCKLEN:
        out = DwordBytes(BitLength());
        return 0;
    case KP_PERMISSIONS:
        out = DwordBytes(CRYPT_READ | CRYPT_WRITE);
        return 0;
    case KP_CERTIFICATE:
        return ref_.provider->token().Run([&](Token::Session& s) -> Status {
            const CK_OBJECT_CLASS cls = CKO_CERTIFICATE;
            std::vector<CK_OBJECT_HANDLE> found;
            if (Status e =
                    pkcs11::Find(s, {Attribute(CKA_CLASS, cls), Attribute(CKA_ID, ref_.id)}, found))
                return e;
            if (found.empty())
                return Err(NTE_NOT_FOUND);
            return pkcs11::Value(s, found.front(), CKA_VALUE, out);
        });
    default:
        return Err(NTE_BAD_TYPE);
    }
}

Status TokenKey::SetParam(DWORD param, std::span<const BYTE> data) {
    if (param != KP_CERTIFICATE)
        return Err(NTE_BAD_TYPE);
    if (Status s = WholeCertificate(data))
        return s;
    Bytes subject, issuer, serial;
    if (Status s = CertificateAttributes(data, subject, issuer, serial))
        return s;
    Token& t = ref_.provider->token();
    const Token::Credential with = context_.CredentialFor(ref_.keySpec);
    if (Status st = t.Run([&](Token::Session& s) -> Status {
            // Writing to the token is a user's act, as making the key was.
            if (Status e = t.Login(s, with))
                return e;
            const CK_OBJECT_CLASS cls = CKO_CERTIFICATE;
            const CK_CERTIFICATE_TYPE type = CKC_X_509;
            const std::string label = Utf8(ref_.container);
            const Bytes value(data.begin(), data.end());
            std::vector<CK_OBJECT_HANDLE> older;
            if (Status e =
                    pkcs11::Find(s, {Attribute(CKA_CLASS, cls), Attribute(CKA_ID, ref_.id)}, older))
                return e;
            Attributes cert = {Attribute(CKA_CLASS, cls),
                               Attribute(CKA_CERTIFICATE_TYPE, type),
                               Attribute(CKA_TOKEN, kTrue),
                               Attribute(CKA_PRIVATE, kFalse),
                               Attribute(CKA_ID, ref_.id),
                               Attribute(CKA_LABEL, label),
                               Attribute(CKA_SUBJECT, subject),
                               Attribute(CKA_ISSUER, issuer),
                               Attribute(CKA_SERIAL_NUMBER, serial),
                               Attribute(CKA_VALUE, value)};
            CK_OBJECT_HANDLE made = CK_INVALID_HANDLE;
            if (Status e = s.Check(s.f->C_CreateObject(s.h, cert.data(), cert.size(), &made)))
                return e;
            for (CK_OBJECT_HANDLE h : older) // the new one is there before the old goes
                if (Status e = s.Check(s.f->C_DestroyObject(s.h, h)))
                    return e;
            return 0;
        }))
        return st;
    return RegisterInPersonalStore(ref_.provider->LongName(), ref_.container, ref_.keySpec, data);
}

Status TokenKey::Export(DWORD blobType, Key* /*wrap*/, Bytes& out) {
    if (blobType == PRIVATEKEYBLOB)
        return Err(NTE_BAD_KEY_STATE); // a token's private key never leaves it
    if (blobType != PUBLICKEYBLOB)
        return Err(NTE_BAD_TYPE);
    RsaParts parts;
    if (Status s = RsaToParts(public_.get(), false, parts))
        return s;
    out = BuildRsaBlob(AlgId(), parts, false);
    return 0;
}

Status TokenContext::DecryptOnToken(const KeyRef& ref, std::span<const BYTE> cipher,
                                    SecureBytes& plain) {
    Bytes in(cipher.begin(), cipher.end()); // C_Decrypt takes a non-const buffer
    return PrivateUse(
        ref,
        [](Token::Session& s, CK_OBJECT_HANDLE k) {
            CK_MECHANISM m{CKM_RSA_PKCS, nullptr, 0};
            return s.Check(s.f->C_DecryptInit(s.h, &m, k));
        },
        [&](Token::Session& s, CK_OBJECT_HANDLE) {
            plain.assign(in.size(), 0);
            CK_ULONG length = plain.size();
            Status e = s.Check(s.f->C_Decrypt(s.h, in.data(), in.size(), plain.data(), &length));
            plain.resize(e == 0 ? length : 0);
            return e;
        });
}

Status TokenKey::Decrypt(bool /*final*/, Bytes& data) {
    if (ref_.keySpec != AT_KEYEXCHANGE)
        return Err(NTE_BAD_KEY);
    const Bytes cipher(data.rbegin(), data.rend()); // CryptoAPI's order is least significant first
    SecureBytes plain;
    if (Status st = context_.DecryptOnToken(ref_, cipher, plain))
        return st;
    data.assign(plain.begin(), plain.end());
    return 0;
}

Status TokenKey::VerifyHash(Hash& hash, std::span<const BYTE> signatureLe) {
    Bytes digest;
    if (Status s = hash.Value(digest))
        return s;
    const Bytes signature(signatureLe.rbegin(), signatureLe.rend());
    return RsaVerifyDigest(public_.get(), hash.AlgId(), digest, signature);
}

} // namespace orvane::platform::csp::pkcs11_detail
