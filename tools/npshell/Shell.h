// Runs scripts against a plug-in: creates instances, gets their scriptable
// objects and makes the calls a page would make. Every command prints one
// line "LABEL -> STATUS VALUE" (STATUS: ok, failed, nomethod, error), followed
// by a "fault -> ..." line for each browser rule the plug-in broke meanwhile.
//
// Directives:
//   !new [MIME] [name=value ...]  NPP_New for a new instance; it becomes current
//   !destroy                      NPP_Destroy of the current instance
//   !use N                        make instance N (1, 2, ... by creation) current
//   !getvalue name|description|xembed|object|N   NPP_GetValue
//   !hasmethod NAME / !hasproperty NAME / !getproperty NAME
//   !refs                         reference count of the current object
//   !objects / !blocks            live objects / live NPN_MemAlloc blocks
//   !write N / !writeready        NPP_Write of N bytes / NPP_WriteReady
//   !mime                         NP_GetMIMEDescription
#pragma once
#include "tools/npshell/PluginLibrary.h"
#include "tools/npshell/Script.h"

#include <istream>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace npshell {

class Shell {
public:
    // Shell: talks to an initialised plug-in through pluginFuncs, writing
    // results to out and diagnostics to err. strMime and args are used for the
    // first instance, made when the first command needs one;
    // strMimeDescription is what !mime answers.
    Shell(const NPPluginFuncs& pluginFuncs, std::string strMimeDescription, std::string strMime,
          std::vector<std::pair<std::string, std::string>> args, std::ostream& out,
          std::ostream& err);
    ~Shell();
    Shell(const Shell&) = delete;
    Shell& operator=(const Shell&) = delete;

    // RunLine: parses and runs one line. Returns false when the line was
    // malformed, its expectation failed or the plug-in broke a browser rule.
    [[nodiscard]] bool RunLine(const std::string& strLine, int nLine);

    // DestroyAll: releases the shell's object references and destroys every
    // instance, as a browser does when the page goes away.
    void DestroyAll();

private:
    struct Instance {
        NPP_t npp{};
        NPObject* pObject = nullptr; // the shell's reference, once asked for
        bool bAlive = false;
    };

    [[nodiscard]] bool Run(const Command& cmd, Value* pResult, std::string* pstrStatus,
                           std::string* pstrError);
    [[nodiscard]] bool RunCall(const Command& cmd, Value* pResult, std::string* pstrStatus,
                               std::string* pstrError);
    [[nodiscard]] bool RunDirective(const Command& cmd, Value* pResult, std::string* pstrStatus,
                                    std::string* pstrError);
    [[nodiscard]] bool NewInstance(const std::string& strMime,
                                   const std::vector<std::pair<std::string, std::string>>& args,
                                   std::string* pstrError);
    Instance* Current(std::string* pstrError);
    NPObject* CurrentObject(std::string* pstrError);
    Value ToValue(const NPVariant& v) const;
    [[nodiscard]] bool ArgsToVariants(const std::vector<Arg>& args,
                                      std::vector<NPVariant>* pVariants, std::string* pstrError);
    static bool Matches(const Expectation& e, const std::string& strStatus, const Value& v);

    NPPluginFuncs m_funcs;
    std::string m_strMimeDescription;
    std::string m_strMime;
    std::vector<std::pair<std::string, std::string>> m_args;
    std::ostream& m_out;
    std::ostream& m_err;
    std::vector<std::unique_ptr<Instance>> m_instances;
    size_t m_nCurrent = 0; // 1-based; 0: none yet
    std::map<std::string, Value> m_vars;
    std::vector<std::unique_ptr<char[]>> m_argStrings; // strings of the call in progress
};

// RunShell: the whole program: loads the plug-in, initialises it, runs the
// script read line by line from in (answering each line before reading the
// next, so a driver can talk to it through pipes), destroys the instances,
// shuts the plug-in down and checks that nothing it created was left behind.
// Returns the exit code: 0 all well; 1 a line failed; 2 the plug-in could not
// be loaded or initialised; 3 objects or memory blocks were left alive.
[[nodiscard]] int RunShell(const std::string& strPlugin, const std::string& strMime,
                           const std::vector<std::pair<std::string, std::string>>& args,
                           std::istream& in, std::ostream& out, std::ostream& err);

} // namespace npshell
