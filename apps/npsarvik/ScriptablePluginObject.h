// npSarvik's scriptable object: the signing methods a page calls
// (signing/SignMethods.h), each checking and converting the script's
// arguments and calling the object's own signing agent, which keeps the
// selected certificate for as long as the object lives.
#pragma once
#include "plugin/ScriptableAgentObject.h"
#include "signing/SigningAgent.h"

namespace orvane::signing {

// CScriptablePluginObject: an object of instance npp with a fresh agent whose
// error texts and dialog resources come from this library. Its nine methods
// are matched exactly; a refused call (wrong arguments, a failing agent)
// answers false with a null result.
class CScriptablePluginObject final : public CScriptableAgentObject<ISigningAgent, CCryptoAgent> {
public:
    explicit CScriptablePluginObject(NPP npp);
};

} // namespace orvane::signing
