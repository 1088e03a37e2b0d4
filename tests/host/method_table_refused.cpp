// Rows that break a rule of the method table, one per ORVANE_REFUSED_CASE;
// each must stop the compilation, and CTest checks that the compiler names
// the rule. Case 0 breaks none and must compile, so that the others fail for
// their rule and not for a broken build of this file.
#include "methods/MethodTable.h"

using namespace orvane::methods;

namespace {

struct IAgent {
    HRESULT Choose(LONG, const WCHAR*, VARIANT_BOOL*) { return S_OK; }
    HRESULT Describe(BSTR*) { return S_OK; }
};
struct IOtherAgent {
    HRESULT Describe(BSTR*) { return S_OK; }
};

constexpr ScriptDialect kDialect = {"Check parameter", ConversionSteps::OneStep, false};

#if ORVANE_REFUSED_CASE == 1 // the argument kinds swapped
#define CHOOSE_CALL kAgentCall<&IAgent::Choose, Boolean(Text, Number)>
#else
#define CHOOSE_CALL kAgentCall<&IAgent::Choose, Boolean(Number, Text)>
#endif

#if ORVANE_REFUSED_CASE == 4 // another agent's operation
#define DESCRIBE_CALL kAgentCall<&IOtherAgent::Describe, Text()>
#else
#define DESCRIBE_CALL kAgentCall<&IAgent::Describe, Text()>
#endif

constexpr Method kRows[] = {
    {.name = kName<"Choose">,
     .call = CHOOSE_CALL,
#if ORVANE_REFUSED_CASE == 5 // an argument without a name for the traces
     .args = {"lLength"},
#else
     .args = {"lLength", "Name"},
#endif
     .script = {.pszCheckReason = "2 != argCount"}},
    {.name = kName<"Describe">,
     .call = DESCRIBE_CALL,
#if ORVANE_REFUSED_CASE == 6 // a script method without the reason of its check
     .script = {}},
#else
     .script = {.pszCheckReason = "0 != argCount"}},
#endif
};

constexpr MethodTable<IAgent> kTable(kRows, kDialect);

#if ORVANE_REFUSED_CASE == 7 // a handler of a row the table does not have
constexpr const Method& kMissing = kTable.Find("Descibe");
#else
constexpr const Method& kFound = kTable.Find("Describe");
static_assert(kFound.call.nArgs == 0);
#endif

} // namespace
