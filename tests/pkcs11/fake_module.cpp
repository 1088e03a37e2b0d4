// A PKCS#11 module for tests whose behaviour a test chooses: one slot with one
// token holding one RSA key pair (made with OpenSSL when the module starts)
// and a self-signed certificate for it; a user PIN with a tries counter that
// locks the token; a PIN pad; keys that want the PIN for every signature; a
// token that can be taken away; a start that fails or never returns.
//
// Settings, ORVANE_FAKE_P11_<NAME> in the environment, or NAME=value lines
// in a file beside the module named <module file>.env (which wins), so that
// copies of the module in one process can behave differently:
//   INIT         ok | fail | hang (C_Initialize)
//   LABEL        the token's label ("Fake Token"); SERIAL its serial
//   PIN          the user PIN ("1234"); TRIES wrong PINs before the lock (3)
//   PINPAD       1: a protected authentication path; C_Login without a PIN
//                succeeds after PINPAD_MS (300)
//   ALWAYS_AUTH  1: the private key wants a context-specific login per signature
//   KEY          a PEM private key to hold instead of a new one (so that other
//                processes, the PKCS#11 tools among them, see the same key)
//   PRESENT_FILE the token is present while this file exists
//   LOG          a file each login and signature is appended to, one line each
// A test tool: enough of the interface for the provider's login and
// signature paths, checked the way a strict token checks them.
#include <p11-kit/pkcs11.h>

#include <dlfcn.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

constexpr CK_SLOT_ID kSlot = 7; // not 0: a caller must use the ids it is given
constexpr CK_ULONG kMinPinLength = 4, kMaxPinLength = 64;
constexpr CK_OBJECT_HANDLE kPublic = 11, kPrivate = 12, kCertificate = 13;
const Bytes kId = {0x0f, 0x4e, 0x11};

struct Session {
    CK_OBJECT_HANDLE signKey = 0;
    bool contextLogin = false;
    std::vector<CK_OBJECT_HANDLE> found;
    bool finding = false;
};

struct Token {
    std::mutex lock;
    bool initialized = false;
    std::map<std::string, std::string> settings;
    EVP_PKEY* key = nullptr;
    std::map<CK_OBJECT_HANDLE, std::map<CK_ATTRIBUTE_TYPE, Bytes>> objects;
    std::map<CK_SESSION_HANDLE, Session> sessions;
    CK_SESSION_HANDLE nextSession = 100;
    bool loggedIn = false;
    unsigned wrong = 0;
} g;

std::string Setting(const std::string& name, const std::string& fallback = "") {
    auto it = g.settings.find(name);
    return it != g.settings.end() ? it->second : fallback;
}

unsigned Tries() {
    return unsigned(std::max(1, std::atoi(Setting("TRIES", "3").c_str())));
}

void LoadSettings() {
    g.settings.clear();
    for (const char* name : {"INIT", "LABEL", "SERIAL", "PIN", "TRIES", "PINPAD", "PINPAD_MS",
                             "ALWAYS_AUTH", "KEY", "PRESENT_FILE", "LOG"}) {
        if (const char* v = std::getenv(("ORVANE_FAKE_P11_" + std::string(name)).c_str()))
            g.settings[name] = v;
    }
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&LoadSettings), &info) != 0 && info.dli_fname != nullptr) {
        std::ifstream file(std::string(info.dli_fname) + ".env");
        for (std::string line; std::getline(file, line);) {
            const size_t eq = line.find('=');
            if (eq != std::string::npos)
                g.settings[line.substr(0, eq)] = line.substr(eq + 1);
        }
    }
}

void Log(const std::string& line) {
    const std::string path = Setting("LOG");
    if (path.empty())
        return;
    if (FILE* f = std::fopen(path.c_str(), "a")) {
        std::fprintf(f, "%s\n", line.c_str());
        std::fclose(f);
    }
}

bool Present() {
    const std::string file = Setting("PRESENT_FILE");
    return file.empty() || access(file.c_str(), F_OK) == 0;
}

// A token taken away forgets its sessions and its login.
bool Removed() {
    if (Present())
        return false;
    g.sessions.clear();
    g.loggedIn = false;
    return true;
}

void Padded(unsigned char* field, size_t size, const std::string& text) {
    std::memset(field, ' ', size);
    std::memcpy(field, text.data(), std::min(size, text.size()));
}

Bytes Bn(const BIGNUM* n) {
    Bytes b(size_t(BN_num_bytes(n)));
    BN_bn2bin(n, b.data());
    return b;
}

template <typename T> Bytes Value(T v) {
    Bytes b(sizeof v);
    std::memcpy(b.data(), &v, sizeof v);
    return b;
}

Bytes Text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

bool MakeObjects() {
    if (const std::string pem = Setting("KEY"); !pem.empty()) {
        if (FILE* f = std::fopen(pem.c_str(), "r")) {
            g.key = PEM_read_PrivateKey(f, nullptr, nullptr, nullptr);
            std::fclose(f);
        }
    } else {
        g.key = EVP_RSA_gen(2048);
    }
    if (g.key == nullptr || EVP_PKEY_get_base_id(g.key) != EVP_PKEY_RSA)
        return false;
    BIGNUM *n = nullptr, *e = nullptr;
    EVP_PKEY_get_bn_param(g.key, "n", &n);
    EVP_PKEY_get_bn_param(g.key, "e", &e);
    const Bytes modulus = Bn(n), exponent = Bn(e);
    BN_free(n);
    BN_free(e);

    X509* cert = X509_new();
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert), 365L * 24 * 3600);
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>("Fake Token Holder"), -1, -1,
                               0);
    X509_set_issuer_name(cert, name);
    X509_set_pubkey(cert, g.key);
    X509_sign(cert, g.key, EVP_sha256());
    unsigned char* der = nullptr;
    const int derLength = i2d_X509(cert, &der);
    const Bytes certificate(der, der + std::max(derLength, 0));
    OPENSSL_free(der);
    X509_free(cert);

    const CK_BBOOL yes = CK_TRUE, no = CK_FALSE;
    const Bytes label = Text("fake-key");
    g.objects.clear();
    g.objects[kPublic] = {{CKA_CLASS, Value<CK_OBJECT_CLASS>(CKO_PUBLIC_KEY)},
                          {CKA_KEY_TYPE, Value<CK_KEY_TYPE>(CKK_RSA)},
                          {CKA_TOKEN, Value(yes)},
                          {CKA_PRIVATE, Value(no)},
                          {CKA_ID, kId},
                          {CKA_LABEL, label},
                          {CKA_VERIFY, Value(yes)},
                          {CKA_ENCRYPT, Value(no)},
                          {CKA_MODULUS, modulus},
                          {CKA_MODULUS_BITS, Value<CK_ULONG>(CK_ULONG(EVP_PKEY_get_bits(g.key)))},
                          {CKA_PUBLIC_EXPONENT, exponent}};
    g.objects[kPrivate] = {
        {CKA_CLASS, Value<CK_OBJECT_CLASS>(CKO_PRIVATE_KEY)},
        {CKA_KEY_TYPE, Value<CK_KEY_TYPE>(CKK_RSA)},
        {CKA_TOKEN, Value(yes)},
        {CKA_PRIVATE, Value(yes)},
        {CKA_SENSITIVE, Value(yes)},
        {CKA_EXTRACTABLE, Value(no)},
        {CKA_ID, kId},
        {CKA_LABEL, label},
        {CKA_SIGN, Value(yes)},
        {CKA_DECRYPT, Value(no)}, // a signature pair
        {CKA_UNWRAP, Value(no)},
        {CKA_MODULUS, modulus},
        {CKA_PUBLIC_EXPONENT, exponent},
        {CKA_ALWAYS_AUTHENTICATE, Value(Setting("ALWAYS_AUTH") == "1" ? yes : no)}};
    g.objects[kCertificate] = {{CKA_CLASS, Value<CK_OBJECT_CLASS>(CKO_CERTIFICATE)},
                               {CKA_CERTIFICATE_TYPE, Value<CK_CERTIFICATE_TYPE>(CKC_X_509)},
                               {CKA_TOKEN, Value(yes)},
                               {CKA_PRIVATE, Value(no)},
                               {CKA_ID, kId},
                               {CKA_LABEL, label},
                               {CKA_VALUE, certificate}};
    return true;
}

bool Visible(CK_OBJECT_HANDLE h) {
    return g.objects.count(h) != 0 && (h != kPrivate || g.loggedIn);
}

// Every call below takes the token's lock; the module is safe from any thread.
#define ENTER()                                                                                    \
    std::lock_guard<std::mutex> guard(g.lock);                                                     \
    if (!g.initialized)                                                                            \
    return CKR_CRYPTOKI_NOT_INITIALIZED

#define SESSION(h)                                                                                 \
    ENTER();                                                                                       \
    if (Removed())                                                                                 \
        return CKR_DEVICE_REMOVED;                                                                 \
    auto found_ = g.sessions.find(h);                                                              \
    if (found_ == g.sessions.end())                                                                \
        return CKR_SESSION_HANDLE_INVALID;                                                         \
    Session& s = found_->second

CK_RV Initialize(void*) {
    {
        std::lock_guard<std::mutex> guard(g.lock);
        if (g.initialized)
            return CKR_CRYPTOKI_ALREADY_INITIALIZED;
        LoadSettings();
    }
    const std::string mode = Setting("INIT", "ok");
    Log("C_Initialize " + mode);
    if (mode == "fail")
        return CKR_DEVICE_ERROR;
    if (mode == "hang")
        for (;;)
            std::this_thread::sleep_for(std::chrono::hours(1));
    std::lock_guard<std::mutex> guard(g.lock);
    if (!MakeObjects()) {
        EVP_PKEY_free(g.key);
        g.key = nullptr;
        return CKR_GENERAL_ERROR;
    }
    g.initialized = true;
    // The caller may start a module in a thread it then leaves to end on its
    // own; OpenSSL's state for this thread (its random generators, made for
    // the certificate's signature) goes now, not at a thread exit that the
    // process's own exit can overtake.
    OPENSSL_thread_stop();
    return CKR_OK;
}

CK_RV Finalize(void*) {
    ENTER();
    EVP_PKEY_free(g.key);
    g.key = nullptr;
    g.sessions.clear();
    g.loggedIn = false;
    g.initialized = false;
    return CKR_OK;
}

CK_RV GetInfo(CK_INFO* info) {
    ENTER();
    std::memset(info, 0, sizeof *info);
    info->cryptokiVersion = {2, 40};
    Padded(info->manufacturerID, sizeof info->manufacturerID, "Orvane tests");
    Padded(info->libraryDescription, sizeof info->libraryDescription, "fake module");
    return CKR_OK;
}

CK_RV GetSlotList(CK_BBOOL present, CK_SLOT_ID* list, CK_ULONG* count) {
    ENTER();
    const CK_ULONG n = (present && !Present()) ? 0 : 1;
    if (list != nullptr) {
        if (*count < n) {
            *count = n;
            return CKR_BUFFER_TOO_SMALL;
        }
        if (n == 1)
            list[0] = kSlot;
    }
    *count = n;
    return CKR_OK;
}

CK_RV GetSlotInfo(CK_SLOT_ID slot, CK_SLOT_INFO* info) {
    ENTER();
    if (slot != kSlot)
        return CKR_SLOT_ID_INVALID;
    std::memset(info, 0, sizeof *info);
    Padded(info->slotDescription, sizeof info->slotDescription, "Fake reader");
    Padded(info->manufacturerID, sizeof info->manufacturerID, "Orvane tests");
    info->flags = CKF_REMOVABLE_DEVICE | CKF_HW_SLOT | (Present() ? CKF_TOKEN_PRESENT : 0);
    return CKR_OK;
}

CK_RV GetTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO* info) {
    ENTER();
    if (slot != kSlot)
        return CKR_SLOT_ID_INVALID;
    if (Removed())
        return CKR_TOKEN_NOT_PRESENT;
    std::memset(info, 0, sizeof *info);
    Padded(info->label, sizeof info->label, Setting("LABEL", "Fake Token"));
    Padded(info->manufacturerID, sizeof info->manufacturerID, "Orvane tests");
    Padded(info->model, sizeof info->model, "fake");
    Padded(info->serialNumber, sizeof info->serialNumber, Setting("SERIAL", "FAKE0001"));
    const unsigned left = Tries() - std::min(g.wrong, Tries());
    info->flags = CKF_TOKEN_INITIALIZED | CKF_LOGIN_REQUIRED | CKF_USER_PIN_INITIALIZED | CKF_RNG |
                  (Setting("PINPAD") == "1" ? CKF_PROTECTED_AUTHENTICATION_PATH : 0) |
                  (left == 0   ? CKF_USER_PIN_LOCKED
                   : left == 1 ? CKF_USER_PIN_FINAL_TRY
                   : g.wrong   ? CKF_USER_PIN_COUNT_LOW
                               : 0);
    info->ulMaxSessionCount = CK_EFFECTIVELY_INFINITE;
    info->ulMaxRwSessionCount = CK_EFFECTIVELY_INFINITE;
    info->ulSessionCount = info->ulRwSessionCount = CK_UNAVAILABLE_INFORMATION;
    info->ulMaxPinLen = kMaxPinLength;
    info->ulMinPinLen = kMinPinLength;
    info->ulTotalPublicMemory = info->ulFreePublicMemory = CK_UNAVAILABLE_INFORMATION;
    info->ulTotalPrivateMemory = info->ulFreePrivateMemory = CK_UNAVAILABLE_INFORMATION;
    info->hardwareVersion = info->firmwareVersion = {1, 0};
    return CKR_OK;
}

CK_RV GetMechanismList(CK_SLOT_ID slot, CK_MECHANISM_TYPE* list, CK_ULONG* count) {
    ENTER();
    if (slot != kSlot)
        return CKR_SLOT_ID_INVALID;
    if (list != nullptr) {
        if (*count < 1) {
            *count = 1;
            return CKR_BUFFER_TOO_SMALL;
        }
        list[0] = CKM_RSA_PKCS;
    }
    *count = 1;
    return CKR_OK;
}

CK_RV GetMechanismInfo(CK_SLOT_ID slot, CK_MECHANISM_TYPE type, CK_MECHANISM_INFO* info) {
    ENTER();
    if (slot != kSlot)
        return CKR_SLOT_ID_INVALID;
    if (type != CKM_RSA_PKCS)
        return CKR_MECHANISM_INVALID;
    *info = {1024, 4096, CKF_HW | CKF_SIGN};
    return CKR_OK;
}

CK_RV OpenSession(CK_SLOT_ID slot, CK_FLAGS flags, void*, CK_NOTIFY, CK_SESSION_HANDLE* session) {
    ENTER();
    if (slot != kSlot)
        return CKR_SLOT_ID_INVALID;
    if (!(flags & CKF_SERIAL_SESSION))
        return CKR_SESSION_PARALLEL_NOT_SUPPORTED;
    if (Removed())
        return CKR_TOKEN_NOT_PRESENT;
    *session = g.nextSession++;
    g.sessions[*session] = Session{};
    return CKR_OK;
}

CK_RV CloseSession(CK_SESSION_HANDLE h) {
    SESSION(h);
    (void)s;
    g.sessions.erase(h);
    if (g.sessions.empty())
        g.loggedIn = false; // the last session's end is the login's end
    return CKR_OK;
}

CK_RV CloseAllSessions(CK_SLOT_ID slot) {
    ENTER();
    if (slot != kSlot)
        return CKR_SLOT_ID_INVALID;
    g.sessions.clear();
    g.loggedIn = false;
    return CKR_OK;
}

CK_RV GetSessionInfo(CK_SESSION_HANDLE h, CK_SESSION_INFO* info) {
    SESSION(h);
    (void)s;
    *info = {kSlot, g.loggedIn ? CKS_RO_USER_FUNCTIONS : CKS_RO_PUBLIC_SESSION, CKF_SERIAL_SESSION,
             0};
    return CKR_OK;
}

// CheckPin: the token's judgement of a PIN, counting wrong ones.
CK_RV CheckPin(const unsigned char* pin, CK_ULONG length, const char* who) {
    if (g.wrong >= Tries()) {
        Log(std::string("C_Login ") + who + " locked");
        return CKR_PIN_LOCKED;
    }
    if (pin == nullptr) {
        if (Setting("PINPAD") != "1")
            return CKR_ARGUMENTS_BAD;
        // The reader asks the user; the wait stands for the typing.
        g.lock.unlock();
        std::this_thread::sleep_for(
            std::chrono::milliseconds(std::atoi(Setting("PINPAD_MS", "300").c_str())));
        g.lock.lock();
        Log(std::string("C_Login ") + who + " pinpad");
        return CKR_OK;
    }
    // As strict tokens do, a PIN outside the token's lengths is refused
    // before it is judged, and costs no try.
    if (length < kMinPinLength || length > kMaxPinLength) {
        Log(std::string("C_Login ") + who + " length");
        return CKR_PIN_LEN_RANGE;
    }
    const std::string expected = Setting("PIN", "1234");
    if (std::string(reinterpret_cast<const char*>(pin), length) != expected) {
        ++g.wrong;
        Log(std::string("C_Login ") + who + " incorrect");
        return g.wrong >= Tries() ? CKR_PIN_LOCKED : CKR_PIN_INCORRECT;
    }
    g.wrong = 0;
    Log(std::string("C_Login ") + who + " ok");
    return CKR_OK;
}

CK_RV Login(CK_SESSION_HANDLE h, CK_USER_TYPE user, unsigned char* pin, CK_ULONG length) {
    SESSION(h);
    if (user == CKU_SO)
        return CKR_USER_TYPE_INVALID;
    if (user == CKU_CONTEXT_SPECIFIC) {
        if (!g.loggedIn)
            return CKR_USER_NOT_LOGGED_IN;
        if (s.signKey == 0)
            return CKR_OPERATION_NOT_INITIALIZED;
        const CK_RV rv = CheckPin(pin, length, "context");
        s.contextLogin = rv == CKR_OK;
        return rv;
    }
    if (user != CKU_USER)
        return CKR_USER_TYPE_INVALID;
    if (g.loggedIn)
        return CKR_USER_ALREADY_LOGGED_IN; // the PIN is not even looked at
    const CK_RV rv = CheckPin(pin, length, "user");
    g.loggedIn = rv == CKR_OK;
    return rv;
}

CK_RV Logout(CK_SESSION_HANDLE h) {
    SESSION(h);
    (void)s;
    if (!g.loggedIn)
        return CKR_USER_NOT_LOGGED_IN;
    g.loggedIn = false;
    Log("C_Logout");
    return CKR_OK;
}

CK_RV GetAttributeValue(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE object, CK_ATTRIBUTE* templ,
                        CK_ULONG count) {
    SESSION(h);
    (void)s;
    if (!Visible(object))
        return CKR_OBJECT_HANDLE_INVALID;
    const auto& attributes = g.objects[object];
    CK_RV rv = CKR_OK;
    for (CK_ULONG i = 0; i < count; ++i) {
        auto it = attributes.find(templ[i].type);
        if (it == attributes.end()) {
            templ[i].ulValueLen = CK_UNAVAILABLE_INFORMATION;
            rv = CKR_ATTRIBUTE_TYPE_INVALID;
        } else if (templ[i].pValue == nullptr) {
            templ[i].ulValueLen = it->second.size();
        } else if (templ[i].ulValueLen < it->second.size()) {
            templ[i].ulValueLen = CK_UNAVAILABLE_INFORMATION;
            rv = CKR_BUFFER_TOO_SMALL;
        } else {
            std::memcpy(templ[i].pValue, it->second.data(), it->second.size());
            templ[i].ulValueLen = it->second.size();
        }
    }
    return rv;
}

CK_RV FindObjectsInit(CK_SESSION_HANDLE h, CK_ATTRIBUTE* templ, CK_ULONG count) {
    SESSION(h);
    if (s.finding)
        return CKR_OPERATION_ACTIVE;
    s.found.clear();
    for (const auto& [handle, attributes] : g.objects) {
        if (!Visible(handle))
            continue;
        bool match = true;
        for (CK_ULONG i = 0; i < count && match; ++i) {
            auto it = attributes.find(templ[i].type);
            const auto* v = static_cast<const unsigned char*>(templ[i].pValue);
            match = it != attributes.end() && it->second.size() == templ[i].ulValueLen &&
                    std::equal(it->second.begin(), it->second.end(), v);
        }
        if (match)
            s.found.push_back(handle);
    }
    s.finding = true;
    return CKR_OK;
}

CK_RV FindObjects(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE* out, CK_ULONG max, CK_ULONG* count) {
    SESSION(h);
    if (!s.finding)
        return CKR_OPERATION_NOT_INITIALIZED;
    *count = 0;
    while (*count < max && !s.found.empty()) {
        out[(*count)++] = s.found.front();
        s.found.erase(s.found.begin());
    }
    return CKR_OK;
}

CK_RV FindObjectsFinal(CK_SESSION_HANDLE h) {
    SESSION(h);
    if (!s.finding)
        return CKR_OPERATION_NOT_INITIALIZED;
    s.finding = false;
    s.found.clear();
    return CKR_OK;
}

CK_RV SignInit(CK_SESSION_HANDLE h, CK_MECHANISM* mechanism, CK_OBJECT_HANDLE key) {
    SESSION(h);
    if (s.signKey != 0)
        return CKR_OPERATION_ACTIVE;
    if (mechanism == nullptr || mechanism->mechanism != CKM_RSA_PKCS)
        return CKR_MECHANISM_INVALID;
    if (!g.loggedIn)
        return CKR_USER_NOT_LOGGED_IN;
    if (key != kPrivate)
        return CKR_KEY_HANDLE_INVALID;
    s.signKey = key;
    s.contextLogin = false;
    return CKR_OK;
}

CK_RV Sign(CK_SESSION_HANDLE h, unsigned char* data, CK_ULONG length, unsigned char* signature,
           CK_ULONG* signatureLength) {
    SESSION(h);
    if (s.signKey == 0)
        return CKR_OPERATION_NOT_INITIALIZED;
    const CK_ULONG size = CK_ULONG(EVP_PKEY_get_size(g.key));
    if (signature == nullptr) {
        *signatureLength = size;
        return CKR_OK;
    }
    if (*signatureLength < size) {
        *signatureLength = size;
        return CKR_BUFFER_TOO_SMALL;
    }
    const bool always = Setting("ALWAYS_AUTH") == "1";
    s.signKey = 0; // whatever happens now ends the operation
    if (always && !s.contextLogin) {
        Log("C_Sign refused");
        return CKR_USER_NOT_LOGGED_IN;
    }
    s.contextLogin = false;
    if (length + 11 > size)
        return CKR_DATA_LEN_RANGE;
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(g.key, nullptr);
    size_t out = *signatureLength;
    const bool ok = ctx != nullptr && EVP_PKEY_sign_init(ctx) == 1 &&
                    EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) == 1 &&
                    EVP_PKEY_sign(ctx, signature, &out, data, length) == 1;
    EVP_PKEY_CTX_free(ctx);
    if (!ok)
        return CKR_FUNCTION_FAILED;
    *signatureLength = out;
    Log("C_Sign ok");
    return CKR_OK;
}

template <typename F> struct Unsupported;
template <typename... A> struct Unsupported<CK_RV (*)(A...)> {
    static CK_RV Call(A...) { return CKR_FUNCTION_NOT_SUPPORTED; }
};

CK_FUNCTION_LIST MakeList() {
    CK_FUNCTION_LIST l{};
    l.version = {2, 40};
#define UNSUPPORTED(name) l.name = Unsupported<decltype(l.name)>::Call;
    UNSUPPORTED(C_InitToken)
    UNSUPPORTED(C_InitPIN)
    UNSUPPORTED(C_SetPIN)
    UNSUPPORTED(C_GetOperationState)
    UNSUPPORTED(C_SetOperationState)
    UNSUPPORTED(C_CreateObject)
    UNSUPPORTED(C_CopyObject)
    UNSUPPORTED(C_DestroyObject)
    UNSUPPORTED(C_GetObjectSize)
    UNSUPPORTED(C_SetAttributeValue)
    UNSUPPORTED(C_EncryptInit)
    UNSUPPORTED(C_Encrypt)
    UNSUPPORTED(C_EncryptUpdate)
    UNSUPPORTED(C_EncryptFinal)
    UNSUPPORTED(C_DecryptInit)
    UNSUPPORTED(C_Decrypt)
    UNSUPPORTED(C_DecryptUpdate)
    UNSUPPORTED(C_DecryptFinal)
    UNSUPPORTED(C_DigestInit)
    UNSUPPORTED(C_Digest)
    UNSUPPORTED(C_DigestUpdate)
    UNSUPPORTED(C_DigestKey)
    UNSUPPORTED(C_DigestFinal)
    UNSUPPORTED(C_SignUpdate)
    UNSUPPORTED(C_SignFinal)
    UNSUPPORTED(C_SignRecoverInit)
    UNSUPPORTED(C_SignRecover)
    UNSUPPORTED(C_VerifyInit)
    UNSUPPORTED(C_Verify)
    UNSUPPORTED(C_VerifyUpdate)
    UNSUPPORTED(C_VerifyFinal)
    UNSUPPORTED(C_VerifyRecoverInit)
    UNSUPPORTED(C_VerifyRecover)
    UNSUPPORTED(C_DigestEncryptUpdate)
    UNSUPPORTED(C_DecryptDigestUpdate)
    UNSUPPORTED(C_SignEncryptUpdate)
    UNSUPPORTED(C_DecryptVerifyUpdate)
    UNSUPPORTED(C_GenerateKey)
    UNSUPPORTED(C_GenerateKeyPair)
    UNSUPPORTED(C_WrapKey)
    UNSUPPORTED(C_UnwrapKey)
    UNSUPPORTED(C_DeriveKey)
    UNSUPPORTED(C_SeedRandom)
    UNSUPPORTED(C_GenerateRandom)
    UNSUPPORTED(C_GetFunctionStatus)
    UNSUPPORTED(C_CancelFunction)
    UNSUPPORTED(C_WaitForSlotEvent)
#undef UNSUPPORTED
    l.C_Initialize = Initialize;
    l.C_Finalize = Finalize;
    l.C_GetInfo = GetInfo;
    l.C_GetFunctionList = C_GetFunctionList;
    l.C_GetSlotList = GetSlotList;
    l.C_GetSlotInfo = GetSlotInfo;
    l.C_GetTokenInfo = GetTokenInfo;
    l.C_GetMechanismList = GetMechanismList;
    l.C_GetMechanismInfo = GetMechanismInfo;
    l.C_OpenSession = OpenSession;
    l.C_CloseSession = CloseSession;
    l.C_CloseAllSessions = CloseAllSessions;
    l.C_GetSessionInfo = GetSessionInfo;
    l.C_Login = Login;
    l.C_Logout = Logout;
    l.C_GetAttributeValue = GetAttributeValue;
    l.C_FindObjectsInit = FindObjectsInit;
    l.C_FindObjects = FindObjects;
    l.C_FindObjectsFinal = FindObjectsFinal;
    l.C_SignInit = SignInit;
    l.C_Sign = Sign;
    return l;
}

} // namespace

extern "C" __attribute__((visibility("default"))) CK_RV
C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list) {
    static CK_FUNCTION_LIST functions = MakeList();
    if (list == nullptr)
        return CKR_ARGUMENTS_BAD;
    *list = &functions;
    return CKR_OK;
}
