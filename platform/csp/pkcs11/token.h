// One PKCS#11 token as this process uses it: its module and slot, one session
// (opened on first use, guarded by a mutex, opened again when the module says
// the session is gone), and the login, asked for once per process and token.
#pragma once
#include "../crypto.h"
#include "modules.h"

#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace orvane::platform::csp::pkcs11 {

// The smart-card codes a token's failures are reported with.
constexpr Status kRemovedCard = Err(SCARD_W_REMOVED_CARD); // the token is gone
constexpr Status kWrongPin = Err(SCARD_W_WRONG_CHV);
constexpr Status kPinBlocked = Err(SCARD_W_CHV_BLOCKED);
constexpr Status kNotSupported = Err(NTE_NOT_SUPPORTED);

// FromRv: the Status a PKCS#11 return value is reported as.
Status FromRv(CK_RV rv);

using Attributes = std::vector<CK_ATTRIBUTE>;

class Token {
public:
    Token(const Module& module, CK_SLOT_ID slot, std::u16string label)
        : module_(module), slot_(slot), label_(std::move(label)) {}
    Token(const Token&) = delete;
    Token& operator=(const Token&) = delete;

    const Module& module() const { return module_; }
    const std::u16string& label() const { return label_; }

    // Seen / Gone: what the last look at the slots found (under the table's lock).
    void Seen(CK_SLOT_ID slot);
    void Gone();

    // Session: one use of the token. Run calls op with the module and the
    // session under the token's mutex; an op that fails because the session
    // was closed under it (CKR_SESSION_HANDLE_INVALID / CLOSED) runs once more
    // in a new session. Ops report PKCS#11 failures through Check, so that
    // Run sees the return value.
    struct Session {
        CK_FUNCTION_LIST* f;
        CK_SESSION_HANDLE h;
        CK_SLOT_ID slot;
        CK_RV* last;
        Status Check(CK_RV rv) const {
            *last = rv;
            return FromRv(rv);
        }
    };
    using Op = std::function<Status(Session&)>;
    Status Run(const Op& op);

    // Credential: what a login may use. pin is a PIN the program set (null:
    // none); silent is a context acquired with CRYPT_SILENT, for which the
    // user is never asked, on screen or on a PIN pad.
    struct Credential {
        const SecureBytes* pin = nullptr;
        bool silent = false;
    };
    // Login: makes the session a user's. A PIN the program set is always
    // checked by the token, even when the token is logged in already; else a
    // logged-in token is used as it is, a PIN pad is used when the token has
    // one, and otherwise the user is asked (NTE_SILENT_CONTEXT when that may
    // not be). When the user was asked, entered (if given) receives the PIN
    // the token took, for a context-specific login of the same operation.
    Status Login(Session& s, Credential with, SecureBytes* entered = nullptr);
    // LoginForOperation: the login a key with CKA_ALWAYS_AUTHENTICATE asks
    // for after each operation's Init.
    Status LoginForOperation(Session& s, Credential with);

    // Mechanisms: what the token offers (read once per session).
    bool Offers(Session& s, CK_MECHANISM_TYPE mechanism, CK_MECHANISM_INFO* info = nullptr);

    // Reserved: containers made with CRYPT_NEWKEYSET that hold no key pair
    // yet. They are remembered in this process only: a container on a token is
    // its key pairs, and an empty one has nothing to be written as.
    std::vector<std::u16string> reserved;

private:
    Status Open(CK_RV& rv);
    void Close();
    Status LoginAs(Session& s, CK_USER_TYPE user, Credential with, SecureBytes* entered = nullptr);

    const Module& module_;
    std::mutex mutex_;
    CK_SLOT_ID slot_;
    bool present_ = true;
    std::u16string label_;
    CK_SESSION_HANDLE session_ = CK_INVALID_HANDLE;
    std::vector<CK_MECHANISM_TYPE> mechanisms_;
    bool mechanismsRead_ = false;
};

// --- object helpers (all within one Session) ------------------------------------

// Find: the handles of the objects matching the template.
Status Find(Token::Session& s, Attributes match, std::vector<CK_OBJECT_HANDLE>& found);
// Value: one attribute's bytes; a missing or unreadable one is empty.
Status Value(Token::Session& s, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type, Bytes& value);
bool Flag(Token::Session& s, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type);

// Attribute: a template entry over a value that outlives the call.
template <class T> CK_ATTRIBUTE Attribute(CK_ATTRIBUTE_TYPE type, const T& value) {
    return {type, const_cast<T*>(&value), sizeof value};
}
inline CK_ATTRIBUTE Attribute(CK_ATTRIBUTE_TYPE type, const Bytes& value) {
    return {type, const_cast<BYTE*>(value.data()), value.size()};
}
inline CK_ATTRIBUTE Attribute(CK_ATTRIBUTE_TYPE type, const std::string& value) {
    return {type, const_cast<char*>(value.data()), value.size()};
}

extern const CK_BBOOL kTrue;
extern const CK_BBOOL kFalse;

} // namespace orvane::platform::csp::pkcs11
