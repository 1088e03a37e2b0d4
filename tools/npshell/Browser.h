// The browser side of the plug-in interface for the test browser: the table of
// browser functions with the rules a browser keeps (its own allocator for
// everything that crosses, reference counts, deallocation at the last release,
// interned identifiers), plus the bookkeeping that lets a run tell whether a
// plug-in broke one of those rules.
#pragma once
#include "plugin/npapi/NPApi.h"

#include <cstddef>
#include <string>
#include <vector>

namespace npshell {

// Browser: one per process, as the function table has no context pointer.
class Browser {
public:
    static Browser& Instance();

    // Functions: the full browser table (size and version set). Functions a
    // test browser has no use for are null.
    NPNetscapeFuncs Functions() const;

    // Counters a run checks at its end.
    size_t LiveObjects() const;
    size_t LiveBlocks() const;
    // IsLiveObject: whether obj was created by NPN_CreateObject and not yet
    // deallocated.
    bool IsLiveObject(const NPObject* obj) const;
    // LiveObjectList: the objects still alive, in no particular order.
    std::vector<NPObject*> LiveObjectList() const;
    // ObjectNumber: a stable number for a live object (1, 2, ... in order of
    // creation), 0 for anything else.
    unsigned ObjectNumber(const NPObject* obj) const;

    // TakeFaults: the rule violations seen since the last call, in order
    // (freeing memory the browser never gave, releasing a dead object, ...).
    std::vector<std::string> TakeFaults();
    // TakeException: the message of the last NPN_SetException, empty if none.
    std::string TakeException();

    // The allocator and identifier functions, for the shell's own use.
    static void* MemAlloc(uint32_t size);
    static void MemFree(void* ptr);
    static NPIdentifier GetStringIdentifier(const NPUTF8* name);
    static NPObject* RetainObject(NPObject* obj);
    static void ReleaseObject(NPObject* obj);
    static void ReleaseVariantValue(NPVariant* variant);

private:
    Browser() = default;
};

} // namespace npshell
