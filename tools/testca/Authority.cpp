#include "tools/testca/Authority.h"

#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace orvane::tools::testca {
namespace {

namespace fs = std::filesystem;

constexpr long kAuthorityDays = 3650;

// Unique: closes a POSIX file descriptor at scope exit.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : m_fd(fd) {}
    ~FileDescriptor() {
        if (m_fd >= 0)
            close(m_fd);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int Get() const { return m_fd; }

private:
    int m_fd;
};

bool IsSm2(const EVP_PKEY* key) {
    return EVP_PKEY_is_a(key, "SM2") == 1;
}

bool Sign(X509* cert, EVP_PKEY* key, std::string& error) {
    if (IsSm2(key)) {
        Sm2DigestContext ctx;
        if (!InitSm2Digest(ctx, key, true) || X509_sign_ctx(cert, ctx.mdCtx.get()) <= 0) {
            error = OsslError("signing a certificate with SM2 failed");
            return false;
        }
        return true;
    }
    if (X509_sign(cert, key, EVP_sha256()) <= 0) {
        error = OsslError("signing a certificate with RSA failed");
        return false;
    }
    return true;
}

bool SetRandomSerial(X509* cert) {
    // 127 random bits with the top bit clear (positive) and the next one set,
    // so the encoding is always 16 bytes and the value never 0.
    uint8_t bytes[16];
    if (RAND_bytes(bytes, sizeof bytes) != 1)
        return false;
    bytes[0] = static_cast<uint8_t>((bytes[0] & 0x7F) | 0x40);
    BnPtr value(BN_bin2bn(bytes, sizeof bytes, nullptr));
    return value && BN_to_ASN1_INTEGER(value.get(), X509_get_serialNumber(cert)) != nullptr;
}

// WriteFileAtomically: the whole file appears under its name or nothing does
// (written beside it, flushed, then renamed over it).
bool WriteFileAtomically(const fs::path& path, std::string_view data, mode_t mode,
                         std::string& error) {
    static std::atomic<unsigned> counter{0};
    const fs::path temp = path.string() + ".tmp." + std::to_string(getpid()) + "." +
                          std::to_string(counter.fetch_add(1));
    FileDescriptor fd(open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
    bool ok = fd.Get() >= 0 && fchmod(fd.Get(), mode) == 0;
    for (size_t done = 0; ok && done < data.size();) {
        const ssize_t n = write(fd.Get(), data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        ok = n > 0;
        if (ok)
            done += static_cast<size_t>(n);
    }
    ok = ok && fsync(fd.Get()) == 0 && rename(temp.c_str(), path.c_str()) == 0;
    if (!ok) {
        error = "cannot write " + path.string() + ": " + std::strerror(errno);
        unlink(temp.c_str());
    }
    return ok;
}

std::string PemOfCertificate(X509* cert) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_X509(bio.get(), cert) != 1)
        return {};
    char* data = nullptr;
    const long n = BIO_get_mem_data(bio.get(), &data);
    return n > 0 ? std::string(data, static_cast<size_t>(n)) : std::string();
}

// CreateAuthority: a new self-signed root, key first: a certificate on disk
// always has its key beside it.
bool CreateAuthority(bool sm2, const fs::path& keyPath, const fs::path& certPath,
                     std::string& error) {
    PkeyPtr key(sm2 ? EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2")
                    : EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(2048)));
    NamePtr name(X509_NAME_new());
    if (!key || !name) {
        error = OsslError("CA key generation failed");
        return false;
    }
    const char* common = sm2 ? "Orvane Test SM2 Root CA" : "Orvane Test RSA Root CA";
    const auto add = [&](const char* field, const char* value) {
        return X509_NAME_add_entry_by_txt(name.get(), field, MBSTRING_ASC,
                                          reinterpret_cast<const unsigned char*>(value), -1, -1,
                                          0) == 1;
    };
    if (!add("C", "CN") || !add("O", "Orvane Test") || !add("CN", common)) {
        error = OsslError("CA name");
        return false;
    }
    const Extension extensions[] = {
        {NID_basic_constraints, "critical,CA:TRUE"},
        {NID_key_usage, "critical,keyCertSign,cRLSign"},
        {NID_subject_key_identifier, "hash"},
        {NID_authority_key_identifier, "keyid:always"},
    };
    X509Ptr cert = MakeCertificate(name.get(), key.get(), nullptr, key.get(), kAuthorityDays,
                                   extensions, error);
    if (!cert)
        return false;
    const std::string keyPem = PemOfKey(key.get());
    const std::string certPem = PemOfCertificate(cert.get());
    if (keyPem.empty() || certPem.empty()) {
        error = OsslError("CA PEM encoding failed");
        return false;
    }
    return WriteFileAtomically(keyPath, keyPem, 0600, error) &&
           WriteFileAtomically(certPath, certPem, 0644, error);
}

bool Exists(const fs::path& path) {
    std::error_code ec;
    return fs::is_regular_file(path, ec);
}

bool LoadOne(const std::string& keyPath, const std::string& certPath, bool sm2, Authority& out,
             std::string& error) {
    BioPtr keyBio(BIO_new_file(keyPath.c_str(), "r"));
    BioPtr certBio(BIO_new_file(certPath.c_str(), "r"));
    if (keyBio)
        out.key.reset(PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, nullptr));
    if (certBio)
        out.cert.reset(PEM_read_bio_X509(certBio.get(), nullptr, nullptr, nullptr));
    if (!out.key || !out.cert) {
        error = OsslError("cannot read the CA in " + keyPath + " and " + certPath);
        return false;
    }
    const bool keyIsSm2 = IsSm2(out.key.get());
    if (keyIsSm2 != sm2 || (!sm2 && !EVP_PKEY_is_a(out.key.get(), "RSA")) ||
        X509_check_private_key(out.cert.get(), out.key.get()) != 1) {
        error = OsslError("CA key " + keyPath + " does not belong to " + certPath);
        return false;
    }
    out.sm2 = sm2;
    return true;
}

} // namespace

X509Ptr MakeCertificate(const X509_NAME* subject, EVP_PKEY* publicKey, const X509* issuer,
                        EVP_PKEY* signingKey, long days, std::span<const Extension> extensions,
                        std::string& error) {
    X509Ptr cert(X509_new());
    if (!cert || X509_set_version(cert.get(), X509_VERSION_3) != 1 ||
        !SetRandomSerial(cert.get()) || X509_set_subject_name(cert.get(), subject) != 1 ||
        X509_set_issuer_name(cert.get(),
                             issuer != nullptr ? X509_get_subject_name(issuer) : subject) != 1 ||
        X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600) == nullptr ||
        X509_time_adj_ex(X509_getm_notAfter(cert.get()), static_cast<int>(days), 0, nullptr) ==
            nullptr ||
        X509_set_pubkey(cert.get(), publicKey) != 1) {
        error = OsslError("building a certificate failed");
        return nullptr;
    }
    // The extension context wants writable certificates; the issuer is only read.
    X509V3_CTX v3;
    X509V3_set_ctx(&v3, issuer != nullptr ? const_cast<X509*>(issuer) : cert.get(), cert.get(),
                   nullptr, nullptr, 0);
    for (const Extension& e : extensions) {
        X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &v3, e.nid, e.value);
        const bool added = ext != nullptr && X509_add_ext(cert.get(), ext, -1) == 1;
        X509_EXTENSION_free(ext);
        if (!added) {
            error = OsslError(std::string("certificate extension ") + OBJ_nid2sn(e.nid));
            return nullptr;
        }
    }
    if (!Sign(cert.get(), signingKey, error))
        return nullptr;
    return cert;
}

Bytes DerOfCertificate(const X509* cert) {
    const int n = i2d_X509(cert, nullptr);
    if (n <= 0)
        return {};
    Bytes der(static_cast<size_t>(n));
    unsigned char* p = der.data();
    if (i2d_X509(cert, &p) != n)
        return {};
    return der;
}

std::optional<Authorities> EnsureAuthorities(const std::string& caDir, std::string& error) {
    if (caDir.empty()) {
        error = "no CA folder given";
        return std::nullopt;
    }
    const fs::path dir(caDir);
    Authorities paths{(dir / "rsa-ca.cert.pem").string(), (dir / "rsa-ca.key.pem").string(),
                      (dir / "sm2-ca.cert.pem").string(), (dir / "sm2-ca.key.pem").string()};
    // Certificates are renamed into place after their keys, so a certificate
    // present means its authority is complete.
    if (Exists(paths.rsaCertPath) && Exists(paths.sm2CertPath))
        return paths;

    std::error_code ec;
    if (fs::create_directories(dir, ec))
        fs::permissions(dir, fs::perms::owner_all, fs::perm_options::replace, ec);
    if (!fs::is_directory(dir, ec)) {
        error = "cannot create the CA folder " + caDir;
        return std::nullopt;
    }
    // One creator at a time, across processes and threads (each open() is a
    // lock of its own for flock); the others find the files made.
    FileDescriptor lock(open((dir / ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    int locked = -1;
    while (lock.Get() >= 0 && (locked = flock(lock.Get(), LOCK_EX)) != 0 && errno == EINTR) {
    }
    if (locked != 0) {
        error = "cannot lock the CA folder " + caDir + ": " + std::strerror(errno);
        return std::nullopt;
    }
    if (!Exists(paths.rsaCertPath) &&
        !CreateAuthority(false, paths.rsaKeyPath, paths.rsaCertPath, error))
        return std::nullopt;
    if (!Exists(paths.sm2CertPath) &&
        !CreateAuthority(true, paths.sm2KeyPath, paths.sm2CertPath, error))
        return std::nullopt;
    return paths;
}

bool LoadAuthorities(const std::string& caDir, Authority& rsa, Authority& sm2, std::string& error) {
    const std::optional<Authorities> paths = EnsureAuthorities(caDir, error);
    return paths && LoadOne(paths->rsaKeyPath, paths->rsaCertPath, false, rsa, error) &&
           LoadOne(paths->sm2KeyPath, paths->sm2CertPath, true, sm2, error);
}

std::string PemOfKey(EVP_PKEY* key) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio ||
        PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1)
        return {};
    char* data = nullptr;
    const long n = BIO_get_mem_data(bio.get(), &data);
    return n > 0 ? std::string(data, static_cast<size_t>(n)) : std::string();
}

} // namespace orvane::tools::testca
