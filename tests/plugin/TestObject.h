// The frame's own test plug-in: a scriptable object with a few methods, so
// that the frame and the test browser are checked without the enrolment
// agent.
#pragma once
#include "plugin/ScriptablePluginObjectBase.h"

// CTestObject methods: "echo"(x) gives x back (strings through the
// browser's allocator), "add"(a, b) the sum of two numbers as int32,
// "fail"() answers false, "live"() the number of CTestObjects alive. Called
// as a function it gives "test default". Three methods break the browser's
// rules on purpose, so that the test browser is seen to catch them:
// "leak"() keeps a reference to the object that is never released,
// "freetwice"() frees a browser block twice, "rawstring"() returns a string
// the browser did not allocate.
class CTestObject final : public CScriptablePluginObjectBase {
public:
    explicit CTestObject(NPP npp);
    ~CTestObject() override;
    bool HasMethod(NPIdentifier name) override;
    bool Invoke(NPIdentifier name, const NPVariant* args, uint32_t argCount,
                NPVariant* result) override;
    bool InvokeDefault(const NPVariant* args, uint32_t argCount, NPVariant* result) override;

    static int Live();
};
