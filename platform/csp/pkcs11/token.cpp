#include "token.h"

#include "pin_prompt.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <thread>

namespace orvane::platform::csp::pkcs11 {

const CK_BBOOL kTrue = CK_TRUE;
const CK_BBOOL kFalse = CK_FALSE;

Status FromRv(CK_RV rv) {
    switch (rv) {
    case CKR_OK:
        return 0;
    case CKR_DEVICE_REMOVED:
    case CKR_TOKEN_NOT_PRESENT:
    case CKR_TOKEN_NOT_RECOGNIZED:
    case CKR_SLOT_ID_INVALID:
        return kRemovedCard;
    case CKR_PIN_INCORRECT:
    case CKR_PIN_INVALID:
    case CKR_PIN_LEN_RANGE:
        return kWrongPin;
    case CKR_PIN_LOCKED:
        return kPinBlocked;
    case CKR_MECHANISM_INVALID:
    case CKR_MECHANISM_PARAM_INVALID:
        return Err(NTE_BAD_ALGID);
    case CKR_FUNCTION_NOT_SUPPORTED:
    case CKR_TEMPLATE_INCONSISTENT:
    case CKR_ATTRIBUTE_VALUE_INVALID:
    case CKR_ATTRIBUTE_TYPE_INVALID:
        return kNotSupported;
    case CKR_KEY_SIZE_RANGE:
        return Err(NTE_BAD_FLAGS);
    case CKR_HOST_MEMORY:
    case CKR_DEVICE_MEMORY:
        return Err(NTE_NO_MEMORY);
    case CKR_ENCRYPTED_DATA_INVALID:
    case CKR_ENCRYPTED_DATA_LEN_RANGE:
    case CKR_DATA_LEN_RANGE:
    case CKR_DATA_INVALID:
        return Err(NTE_BAD_DATA);
    case CKR_KEY_FUNCTION_NOT_PERMITTED:
    case CKR_KEY_TYPE_INCONSISTENT:
        return Err(NTE_BAD_KEY);
    case CKR_USER_NOT_LOGGED_IN:
    case CKR_TOKEN_WRITE_PROTECTED:
        return Err(NTE_PERM);
    default:
        return Err(NTE_FAIL);
    }
}

void Token::Seen(CK_SLOT_ID slot) {
    std::lock_guard<std::mutex> hold(mutex_);
    if (!present_ || slot != slot_) {
        Close(); // a session of the slot it left, or of before it went, is gone
        mechanismsRead_ = false;
    }
    present_ = true;
    slot_ = slot;
}

void Token::Gone() {
    std::lock_guard<std::mutex> hold(mutex_);
    present_ = false;
    Close();
    reserved.clear();
}

void Token::Close() {
    // Closing what the module may have dropped already: its answer changes nothing.
    if (session_ != CK_INVALID_HANDLE)
        (void)module_.functions->C_CloseSession(session_);
    session_ = CK_INVALID_HANDLE;
}

namespace {

bool SaysRemoved(CK_RV rv) {
    return FromRv(rv) == kRemovedCard;
}

// How long a token may fail to describe itself before it counts as gone. A
// module that keeps the token in files (SoftHSM2) fails for a moment while
// another program's login rewrites them; a token really taken away keeps
// failing, or says so outright.
constexpr int kDescribeAttempts = 10;
constexpr auto kDescribePause = std::chrono::milliseconds(20);

} // namespace

Status Token::Open(CK_RV& rv) {
    if (!present_)
        return kRemovedCard;
    // A token taken away may leave its session looking alive (a module that
    // keeps its objects in memory finds nothing, or fails later); a slot that
    // says it is empty, or a token that can no longer describe itself, is a
    // token gone.
    for (int attempt = 0;; ++attempt) {
        CK_SLOT_INFO slot{};
        CK_TOKEN_INFO token{};
        const CK_RV slotRv = module_.functions->C_GetSlotInfo(slot_, &slot);
        const CK_RV tokenRv = slotRv == CKR_OK && (slot.flags & CKF_TOKEN_PRESENT) != 0
                                  ? module_.functions->C_GetTokenInfo(slot_, &token)
                                  : CKR_TOKEN_NOT_PRESENT;
        if (tokenRv == CKR_OK)
            break;
        if (SaysRemoved(slotRv) || SaysRemoved(tokenRv) || attempt + 1 >= kDescribeAttempts) {
            rv = CKR_TOKEN_NOT_PRESENT;
            return kRemovedCard;
        }
        std::this_thread::sleep_for(kDescribePause);
    }
    if (session_ != CK_INVALID_HANDLE)
        return 0;
    rv = module_.functions->C_OpenSession(slot_, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr,
                                          nullptr, &session_);
    if (rv != CKR_OK) {
        session_ = CK_INVALID_HANDLE;
        return FromRv(rv);
    }
    return 0;
}

// Run: a token found gone here is not marked gone for good: the next call
// looks again (a token put back, or one that failed for a moment, answers
// then); only a slot scan that no longer finds it forgets it.
Status Token::Run(const Op& op) {
    std::lock_guard<std::mutex> hold(mutex_);
    for (int attempt = 0;; ++attempt) {
        CK_RV rv = CKR_OK;
        if (Status s = Open(rv)) {
            if (s == kRemovedCard)
                Close();
            return s;
        }
        Session session{module_.functions, session_, slot_, &rv};
        Status s = op(session);
        if (s == 0)
            return s;
        if ((rv == CKR_SESSION_HANDLE_INVALID || rv == CKR_SESSION_CLOSED) && attempt == 0) {
            session_ = CK_INVALID_HANDLE;
            continue;
        }
        if (s == kRemovedCard)
            Close();
        return s;
    }
}

bool Token::Offers(Session& s, CK_MECHANISM_TYPE mechanism, CK_MECHANISM_INFO* info) {
    if (!mechanismsRead_) {
        CK_ULONG count = 0;
        mechanisms_.clear();
        if (s.f->C_GetMechanismList(s.slot, nullptr, &count) == CKR_OK && count < 4096) {
            mechanisms_.resize(count);
            if (s.f->C_GetMechanismList(s.slot, mechanisms_.data(), &count) != CKR_OK)
                count = 0;
            mechanisms_.resize(count);
        }
        mechanismsRead_ = true;
    }
    const bool offered =
        std::find(mechanisms_.begin(), mechanisms_.end(), mechanism) != mechanisms_.end();
    if (offered && info != nullptr && s.f->C_GetMechanismInfo(s.slot, mechanism, info) != CKR_OK)
        *info = CK_MECHANISM_INFO{};
    return offered;
}

namespace {

bool LoggedIn(Token::Session& s) {
    CK_SESSION_INFO info{};
    return s.f->C_GetSessionInfo(s.h, &info) == CKR_OK &&
           (info.state == CKS_RW_USER_FUNCTIONS || info.state == CKS_RO_USER_FUNCTIONS);
}

PinTries Tries(CK_FLAGS flags) {
    if ((flags & CKF_USER_PIN_FINAL_TRY) != 0)
        return PinTries::Final;
    if ((flags & CKF_USER_PIN_COUNT_LOW) != 0)
        return PinTries::Low;
    return PinTries::Unknown;
}

// A guard for tokens that never lock a PIN: after this many wrong ones in a
// row the user is not asked again and the last answer stands.
constexpr int kMostPrompts = 10;

} // namespace

Status Token::LoginAs(Session& s, CK_USER_TYPE user, Credential with, SecureBytes* accepted) {
    if (const SecureBytes* pin = with.pin) {
        auto* text = const_cast<CK_UTF8CHAR*>(pin->data());
        return s.Check(s.f->C_Login(s.h, user, text, pin->size()));
    }
    CK_TOKEN_INFO info{};
    if (Status st = s.Check(s.f->C_GetTokenInfo(s.slot, &info)))
        return st;
    // A locked token takes no PIN: asking the user for one would be for nothing.
    if ((info.flags & CKF_USER_PIN_LOCKED) != 0)
        return kPinBlocked;
    // A silent caller has no one to ask, whether on screen or on the reader.
    if (with.silent)
        return Err(NTE_SILENT_CONTEXT);
    if ((info.flags & CKF_PROTECTED_AUTHENTICATION_PATH) != 0) {
        std::unique_ptr<PinPadNotice> notice = PinPadNotice::Show(label_);
        return s.Check(s.f->C_Login(s.h, user, nullptr, 0));
    }
    PinRequest request{label_, Tries(info.flags), false};
    for (int asked = 0;; ++asked) {
        SecureBytes entered;
        if (Status st = AskForPin(request, entered))
            return st;
        const CK_RV rv = s.f->C_Login(s.h, user, entered.data(), entered.size());
        if (rv == CKR_OK && accepted != nullptr)
            *accepted = std::move(entered);
        // A PIN of a length the token does not take is refused before it is
        // judged (no try is spent): ask again as for a wrong one.
        const bool wrong = rv == CKR_PIN_INCORRECT || rv == CKR_PIN_LEN_RANGE;
        if (!wrong || asked + 1 >= kMostPrompts)
            return s.Check(rv);
        // Ask again, saying the last one was wrong and what the token now says.
        request.retry = true;
        if (s.f->C_GetTokenInfo(s.slot, &info) == CKR_OK) {
            if ((info.flags & CKF_USER_PIN_LOCKED) != 0)
                return kPinBlocked;
            request.tries = Tries(info.flags);
        }
    }
}

Status Token::Login(Session& s, Credential with, SecureBytes* entered) {
    if (LoggedIn(s)) {
        if (with.pin == nullptr)
            return 0;
        // The token must judge a PIN the program set, so a wrong one is never
        // taken for right because someone logged in before.
        if (Status st = s.Check(s.f->C_Logout(s.h)))
            return st;
    }
    return LoginAs(s, CKU_USER, with, entered);
}

Status Token::LoginForOperation(Session& s, Credential with) {
    return LoginAs(s, CKU_CONTEXT_SPECIFIC, with);
}

Status Find(Token::Session& s, Attributes match, std::vector<CK_OBJECT_HANDLE>& found) {
    found.clear();
    if (Status st = s.Check(s.f->C_FindObjectsInit(s.h, match.data(), match.size())))
        return st;
    CK_OBJECT_HANDLE batch[32];
    CK_ULONG count = 0;
    CK_RV rv = CKR_OK;
    while ((rv = s.f->C_FindObjects(s.h, batch, 32, &count)) == CKR_OK && count > 0)
        found.insert(found.end(), batch, batch + count);
    const CK_RV final = s.f->C_FindObjectsFinal(s.h);
    return s.Check(rv != CKR_OK ? rv : final);
}

Status Value(Token::Session& s, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type, Bytes& value) {
    value.clear();
    CK_ATTRIBUTE a{type, nullptr, 0};
    const CK_RV rv = s.f->C_GetAttributeValue(s.h, object, &a, 1);
    if (rv == CKR_ATTRIBUTE_SENSITIVE || rv == CKR_ATTRIBUTE_TYPE_INVALID ||
        a.ulValueLen == CK_UNAVAILABLE_INFORMATION)
        return 0;
    if (Status st = s.Check(rv))
        return st;
    if (a.ulValueLen > (1u << 20))
        return Err(NTE_BAD_DATA);
    value.resize(a.ulValueLen);
    a.pValue = value.data();
    if (Status st = s.Check(s.f->C_GetAttributeValue(s.h, object, &a, 1)))
        return st;
    value.resize(a.ulValueLen);
    return 0;
}

bool Flag(Token::Session& s, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type) {
    CK_BBOOL v = CK_FALSE;
    CK_ATTRIBUTE a{type, &v, sizeof v};
    return s.f->C_GetAttributeValue(s.h, object, &a, 1) == CKR_OK && v == CK_TRUE;
}

} // namespace orvane::platform::csp::pkcs11
