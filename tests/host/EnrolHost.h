// Tandry's host program as the tests drive it: the enrolment table over an
// agent the test chooses, answering version rows with Tandry's version, built
// as Tandry's entry point builds its own; and the spine's handler of one
// enrolment row, as the dispatcher runs it.
#pragma once
#include "enrolment/EnrolMethods.h"
#include "host/OrvaneHost.h"
#include "version/Tandry.h"

#include <cJSON.h>

// EnrolHostAgent: the agent EnrolHost works on (null: none, as outside a
// host's run). Tests that set it put it back to null.
inline CCryptoAgent*& EnrolHostAgent() {
    static CCryptoAgent* pAgent = nullptr;
    return pAgent;
}

inline HostProgram& EnrolHost() {
    static AgentHost<ICryptoAgent, CCryptoAgent> host(kEnrolMethods, kTandryVersion,
                                                      EnrolHostAgent());
    return host;
}

// ENROL_ROW(Name): the handler of row Name (checked when the test is
// compiled) as a callable (UniqueJson* pResponse, cJSON* pArgs, ICryptoAgent*).
#define ENROL_ROW(Name)                                                                            \
    [](UniqueJson* pResponseJSON, cJSON* pJSONArgs, ICryptoAgent* pAgent) {                        \
        return RespondToMethod(kEnrolMethods, kEnrolMethods.Find(#Name), nullptr, pResponseJSON,   \
                               pJSONArgs, pAgent);                                                 \
    }
