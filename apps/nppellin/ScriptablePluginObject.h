// npPellin's scriptable object: the enrolment methods a page calls
// (enrolment/EnrolMethods.h, the rows offered to scripts), each checking and
// converting the script's arguments and calling the object's own enrolment
// agent.
#pragma once
#include "enrolment/CryptoAgent.h"
#include "plugin/ScriptableAgentObject.h"

// CScriptablePluginObject: an object of instance npp with a fresh agent whose
// error texts come from this library's string table. Its ten methods are
// matched exactly; a refused call (wrong arguments, a failing agent, a
// boolean that came out false) answers false: text methods then leave a null
// result, boolean methods a false one.
class CScriptablePluginObject final : public CScriptableAgentObject<ICryptoAgent, CCryptoAgent> {
public:
    explicit CScriptablePluginObject(NPP npp);
};
