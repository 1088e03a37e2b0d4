// MethodTable: the methods an agent offers to pages, written once as a table
// that every entry point reads: a native-messaging host's dispatcher (JSON
// requests, host/JsonMethods.h) and a plug-in's scriptable object (NPAPI calls,
// plugin/ScriptableAgentObject.h). A row names the method, the agent
// operation it calls with the kinds of its arguments and of its result, and
// the few things each entry point says about it in its own words (the trace
// reason of a refused argument list, which failures a host reports as -1).
//
//   constexpr Method kRows[] = {
//       {.name = kName<"VURO_SetCSPInfo">,
//        .call = kAgentCall<&ICryptoAgent::VURO_SetCSPInfo, Boolean(Number, Text)>,
//        .args = {"nKeyLength", "CSPName"},
//        .script = {.pszCheckReason = "(argCount != 2 || ...)"}},
//   };
//   constexpr MethodTable<ICryptoAgent> kMethods(kRows, kDialect);
//
// A call whose declared kinds disagree with the operation's parameters, a row
// that calls another agent's operation, an argument without a name and an
// offered script method without a check reason do not compile.
#pragma once
#include "foundation/Handles.h"
#include "foundation/ResultCodes.h"
#include "foundation/Types.h"

#include <array>
#include <cstddef>
#include <memory>
#include <span>
#include <tuple>
#include <type_traits>
#include <utility>

namespace orvane::methods {

// The kinds of arguments and results, as types for a call's signature
// (`Boolean(Number, Text)`); never defined.
struct Text;    // argument: NUL-terminated UTF-16 text (const WCHAR*); result: a BSTR
struct Number;  // argument: a signed 32-bit integer (LONG)
struct Boolean; // argument or result: VARIANT_BOOL, VARIANT_TRUE (-1) or VARIANT_FALSE (0)

// The same kinds as values, for the entry points' checks.
enum class Kind : unsigned char { Text, Number, Boolean };

// The most arguments a method takes.
inline constexpr size_t kMaxArguments = 5;

// One argument converted for the agent.
struct ArgumentValue {
    WString wstrText;                     // Text
    LONG lNumber = 0;                     // Number
    VARIANT_BOOL vbValue = VARIANT_FALSE; // Boolean
};

// The agent's answer: a text or a yes/no.
struct AgentResult {
    UniqueBstr bstrText;
    VARIANT_BOOL vbValue = VARIANT_FALSE;
};

// What answers a method.
enum class Answer : unsigned char {
    Agent,     // an agent operation
    Version,   // the deliverable's version text; no agent, no arguments
    HostCheck, // true, from a host; no agent ("checkHost")
};

// Call: what a row calls, as the entry points need it.
struct Call {
    Answer answer = Answer::Agent;
    Kind result = Kind::Text;
    unsigned char nArgs = 0;
    Kind kinds[kMaxArguments] = {};
    // pfnInvoke: calls the operation on the agent (of the type pAgentTag
    // names) with the converted arguments; the result goes to *pResult.
    HRESULT (*pfnInvoke)(void* pAgent, ArgumentValue* pArgs, AgentResult* pResult) = nullptr;
    const void* pAgentTag = nullptr;
};

namespace detail {

template <class K> struct KindOf;
template <> struct KindOf<Text> {
    static constexpr Kind value = Kind::Text;
    using Parameter = const WCHAR*;
    using Out = BSTR*;
};
template <> struct KindOf<Number> {
    static constexpr Kind value = Kind::Number;
    using Parameter = LONG;
    using Out = void; // no operation answers a number
};
template <> struct KindOf<Boolean> {
    static constexpr Kind value = Kind::Boolean;
    using Parameter = VARIANT_BOOL;
    using Out = VARIANT_BOOL*;
};

template <class F> struct Operation;
template <class A, class... P> struct Operation<HRESULT (A::*)(P...)> {
    using Agent = A;
    using Parameters = std::tuple<P...>;
};
template <class A, class... P> struct Operation<HRESULT (A::*)(P...) noexcept> {
    using Agent = A;
    using Parameters = std::tuple<P...>;
};

template <class Signature, class Parameters> struct Agrees : std::false_type {};
template <class R, class... K, class... P>
struct Agrees<R(K...), std::tuple<P...>>
    : std::is_same<std::tuple<typename KindOf<K>::Parameter..., typename KindOf<R>::Out>,
                   std::tuple<P...>> {};

template <class K> auto Pass(ArgumentValue& v) {
    if constexpr (std::is_same_v<K, Text>)
        return v.wstrText.c_str();
    else if constexpr (std::is_same_v<K, Number>)
        return v.lNumber;
    else
        return v.vbValue;
}

template <class R> auto Out(AgentResult* pResult) {
    if constexpr (std::is_same_v<R, Text>)
        return pResult->bstrText.put();
    else
        return &pResult->vbValue;
}

template <class Agent> inline constexpr char kAgentTag = 0;

// Each row of a table is checked while the table is built; this function is
// not constexpr, so reaching it stops the compilation at the offending rule.
inline void InvalidMethodTable(const char* /*pszRule*/) {}

template <size_t N> struct FixedName {
    char sz[N]{};
    consteval FixedName(const char (&psz)[N]) {
        for (size_t i = 0; i < N; ++i)
            sz[i] = psz[i];
    }
};

template <class Ch, size_t... N>
consteval std::array<Ch, ((N - 1) + ...) + 1> Join(const char (&... parts)[N]) {
    std::array<Ch, ((N - 1) + ...) + 1> joined{};
    size_t at = 0;
    auto append = [&](const char* psz, size_t n) {
        for (size_t i = 0; i + 1 < n; ++i)
            joined[at++] = Ch(psz[i]);
    };
    (append(parts, N), ...);
    return joined;
}

template <FixedName Name, FixedName Response> struct NameForms {
    static constexpr auto narrow = Join<char>(Name.sz);
    static constexpr auto wide = Join<WCHAR>(Name.sz);
    static constexpr auto response = Join<char>(Response.sz);
    static constexpr auto hostOperation = Join<WCHAR>("nm", Response.sz);
    static constexpr auto scriptOperation = Join<char>("CScriptablePluginObject::np", Name.sz);
    static constexpr auto scriptOperationWide = Join<WCHAR>("CScriptablePluginObject::np", Name.sz);
    static constexpr auto agentMember = Join<char>("m_objCryptoAgent.", Name.sz);
};

consteval bool SameText(const char* a, const char* b) {
    while (*a != 0 && *a == *b)
        ++a, ++b;
    return *a == *b;
}

} // namespace detail

// kAgentCall<&Agent::Operation, Result(Arguments...)>: a row's call of an
// agent operation. The operation takes one parameter per argument kind, in
// order (Text: const WCHAR*, Number: LONG, Boolean: VARIANT_BOOL), then the
// out parameter of the result kind (Text: BSTR*, Boolean: VARIANT_BOOL*).
template <auto Operation, class Signature> struct AgentCallOf;
template <auto Operation, class R, class... K> struct AgentCallOf<Operation, R(K...)> {
    using Traits = detail::Operation<decltype(Operation)>;
    using Agent = typename Traits::Agent;
    static_assert(sizeof...(K) <= kMaxArguments, "more arguments than a method may take");
    static_assert(detail::Agrees<R(K...), typename Traits::Parameters>::value,
                  "the declared argument or result kinds disagree with the agent operation");

    [[nodiscard]] static HRESULT Invoke(void* pAgent, ArgumentValue* pArgs, AgentResult* pResult) {
        return InvokeWith(static_cast<Agent*>(pAgent), pArgs, pResult,
                          std::index_sequence_for<K...>{});
    }
    template <size_t... I>
    [[nodiscard]] static HRESULT InvokeWith(Agent* pAgent, [[maybe_unused]] ArgumentValue* pArgs,
                                            AgentResult* pResult, std::index_sequence<I...>) {
        return (pAgent->*Operation)(detail::Pass<K>(pArgs[I])..., detail::Out<R>(pResult));
    }

    static constexpr Call value = {Answer::Agent,
                                   detail::KindOf<R>::value,
                                   static_cast<unsigned char>(sizeof...(K)),
                                   {detail::KindOf<K>::value...},
                                   &Invoke,
                                   &detail::kAgentTag<Agent>};
};
template <auto Operation, class Signature>
inline constexpr Call kAgentCall = AgentCallOf<Operation, Signature>::value;

// AgreesWithAgent<&Agent::Operation, Result(Arguments...)>: whether the
// kinds fit the operation, the rule kAgentCall enforces.
template <auto Operation, class Signature>
inline constexpr bool AgreesWithAgent =
    detail::Agrees<Signature, typename detail::Operation<decltype(Operation)>::Parameters>::value;

// The calls answered without an agent.
inline constexpr Call kVersionCall = {Answer::Version, Kind::Text};
inline constexpr Call kHostCheckCall = {Answer::HostCheck, Kind::Boolean};

// MethodName: the spellings of one method name in requests, responses and
// traces, made once at compile time by kName.
struct MethodName {
    const char* psz;                // "VURO_SetCSPInfo": what pages call
    const WCHAR* pwsz;              // the same, wide (the host's step of the agent call)
    const char* pszResponse;        // "function" of a host's response
    const WCHAR* pwszHostOperation; // "nmVURO_SetCSPInfo"
    const char* pszScriptOperation; // "CScriptablePluginObject::npVURO_SetCSPInfo"
    const WCHAR* pwszScriptOperation;
    const char* pszAgentMember; // "m_objCryptoAgent.VURO_SetCSPInfo"
};

// kName<"Name"> or, when a host answers under another name,
// kName<"checkHost", "CheckHost">.
template <detail::FixedName Name, detail::FixedName Response = Name>
inline constexpr MethodName kName = {
    detail::NameForms<Name, Response>::narrow.data(),
    detail::NameForms<Name, Response>::wide.data(),
    detail::NameForms<Name, Response>::response.data(),
    detail::NameForms<Name, Response>::hostOperation.data(),
    detail::NameForms<Name, Response>::scriptOperation.data(),
    detail::NameForms<Name, Response>::scriptOperationWide.data(),
    detail::NameForms<Name, Response>::agentMember.data(),
};

// How a native-messaging host treats a method.
enum class HostParams : unsigned char {
    Counted, // "params" must hold exactly the call's arguments
    Ignored, // "params" is not looked at
};
enum class HostFailure : unsigned char {
    AgentCode, // a failure is reported with its own code
    Minus1,    // every failure is reported as -1 (the page asks for the description)
};
enum class HostText : unsigned char {
    Required, // a result text that cannot be converted fails the call (-1)
    Optional, // ... only leaves "result" out
};
struct HostFace {
    bool bOffered = true;
    HostParams params = HostParams::Counted;
    HostFailure failure = HostFailure::AgentCode;
    HostText text = HostText::Required;
};

// How a plug-in's scriptable object treats a method.
struct ScriptFace {
    bool bOffered = true;
    // The trace reason of a refused argument list, as the object has always
    // written it.
    const char* pszCheckReason = nullptr;
    // The step of that trace line when it is not the table's usual one.
    const char* pszCheckStep = nullptr;
};

// How one plug-in's object words the steps of its trace lines.
enum class ConversionSteps : unsigned char {
    OneStep,     // a failed text conversion: "Convert parameters"
    PerArgument, // "ConverNPStringtoNULLEndString(name)" or "UTF8ToUTF16(name)"
};
struct ScriptDialect {
    const char* pszCheckStep; // the step of a refused argument list
    ConversionSteps conversion;
    bool bAgentMemberStep; // a failed text operation's step is
                           // "m_objCryptoAgent.Name" rather than "Name"
};

// What a refused call of a row means to the agent, beyond keeping the
// refusal's code as its last result.
enum class OnRefusal : unsigned char {
    Record,          // nothing more
    ForgetSelection, // the agent forgets the certificate it had selected: a
                     // page whose selection failed, for whatever reason, must
                     // not go on signing with the one an earlier call chose
};

// Method: one row of a table.
struct Method {
    MethodName name;
    Call call;
    // The arguments' names, by position, for trace lines.
    const char* args[kMaxArguments] = {};
    // Bit i set: argument i is key material and is never traced.
    unsigned char secretArgs = 0;
    HostFace host = {};
    ScriptFace script = {};
    OnRefusal refusal = OnRefusal::Record;
};

// The rows every table holds word for word. A host answers the extension's
// presence check; a page's plug-in never did.
inline constexpr Method kVersionRow = {.name = kName<"VURO_GetVersion">,
                                       .call = kVersionCall,
                                       .host = {.params = HostParams::Ignored},
                                       .script = {.pszCheckReason = "0 != argCount"}};
inline constexpr Method kHostCheckRow = {.name = kName<"checkHost", "CheckHost">,
                                         .call = kHostCheckCall,
                                         .host = {.params = HostParams::Ignored},
                                         .script = {.bOffered = false}};

// RefusalSink: the one way an entry point tells the agent about a call the
// agent did not answer itself: refused before it ran (argument count or
// kinds, a text that cannot be passed on, a request or token beyond a host's
// bounds) or answered with a failure after it ran (an answer beyond the
// bounds, memory). Refused(pMethod, hResult) makes hResult the agent's last
// result, so that the page's next VURO_GetLastErrorDesc explains this
// failure and no earlier one, and does what the row's OnRefusal asks; pMethod
// is null when the request named no row. An empty sink, and one for an agent
// without the member a step needs (SetLastResult(HRESULT),
// ForgetSelection()), leaves that step out: such an agent keeps no such
// state.
class RefusalSink {
public:
    constexpr RefusalSink() noexcept = default;

    template <class TAgent> static RefusalSink For(TAgent* pAgent) noexcept {
        RefusalSink sink;
        sink.m_pAgent = pAgent;
        sink.m_pfnRefused = [](void* p, OnRefusal refusal, HRESULT hResult) noexcept {
            TAgent* pTyped = static_cast<TAgent*>(p);
            if constexpr (requires(TAgent & agent) { agent.ForgetSelection(); }) {
                if (refusal == OnRefusal::ForgetSelection)
                    pTyped->ForgetSelection();
            }
            if constexpr (requires(TAgent & agent) { agent.SetLastResult(hResult); })
                pTyped->SetLastResult(hResult);
        };
        return sink;
    }

    void Refused(const Method* pMethod, HRESULT hResult) const noexcept {
        if (m_pAgent != nullptr && m_pfnRefused != nullptr)
            m_pfnRefused(m_pAgent, pMethod != nullptr ? pMethod->refusal : OnRefusal::Record,
                         hResult);
    }

private:
    void* m_pAgent = nullptr;
    void (*m_pfnRefused)(void* pAgent, OnRefusal refusal, HRESULT hResult) noexcept = nullptr;
};

// MethodTable<Agent>: the rows of one agent's methods in the order pages are
// matched against, and the plug-in's trace wording. Built at compile time; a
// row that breaks a rule stops the compilation.
template <class Agent> class MethodTable {
public:
    template <size_t N>
    consteval MethodTable(const Method (&rows)[N], ScriptDialect dialect)
        : m_pRows(rows), m_nRows(N), m_dialect(dialect) {
        for (const Method& m : rows) {
            if (m.call.pAgentTag != nullptr && m.call.pAgentTag != &detail::kAgentTag<Agent>)
                detail::InvalidMethodTable("a row calls an operation of another agent");
            for (size_t i = 0; i < m.call.nArgs; ++i)
                if (m.args[i] == nullptr)
                    detail::InvalidMethodTable("every argument has a name for the traces");
            if (m.script.bOffered && m.script.pszCheckReason == nullptr)
                detail::InvalidMethodTable("an offered script method has a check reason");
            if (m.script.bOffered && m.call.answer == Answer::HostCheck)
                detail::InvalidMethodTable("only a host answers a host check");
        }
    }

    std::span<const Method> Rows() const noexcept { return {m_pRows, m_nRows}; }
    const ScriptDialect& Dialect() const noexcept { return m_dialect; }

    // Find: the row named pszName (exactly); a missing name does not compile.
    consteval const Method& Find(const char* pszName) const {
        for (size_t i = 0; i < m_nRows; ++i)
            if (detail::SameText(m_pRows[i].name.psz, pszName))
                return m_pRows[i];
        detail::InvalidMethodTable("no row has this name");
        return m_pRows[0];
    }

    // Erase: the agent as the rows' calls take it.
    static void* Erase(Agent* pAgent) noexcept { return pAgent; }

private:
    const Method* m_pRows;
    size_t m_nRows;
    ScriptDialect m_dialect;
};

} // namespace orvane::methods
