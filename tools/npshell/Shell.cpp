#include "tools/npshell/Shell.h"

#include "tools/npshell/Browser.h"

#include <cstring>
#include <istream>

namespace npshell {

Shell::Shell(const NPPluginFuncs& pluginFuncs, std::string strMimeDescription, std::string strMime,
             std::vector<std::pair<std::string, std::string>> args, std::ostream& out,
             std::ostream& err)
    : m_funcs(pluginFuncs), m_strMimeDescription(std::move(strMimeDescription)),
      m_strMime(std::move(strMime)), m_args(std::move(args)), m_out(out), m_err(err) {}

Shell::~Shell() {
    DestroyAll();
}

void Shell::DestroyAll() {
    for (auto& p : m_instances) {
        if (!p->bAlive)
            continue;
        if (p->pObject != nullptr) {
            Browser::ReleaseObject(p->pObject);
            p->pObject = nullptr;
        }
        if (m_funcs.destroy != nullptr)
            m_funcs.destroy(&p->npp, nullptr);
        p->bAlive = false;
    }
}

bool Shell::NewInstance(const std::string& strMime,
                        const std::vector<std::pair<std::string, std::string>>& args,
                        std::string* pstrError) {
    if (m_funcs.newp == nullptr) {
        *pstrError = "the plug-in has no NPP_New";
        return false;
    }
    auto p = std::make_unique<Instance>();
    std::vector<std::string> names, values;
    for (const auto& a : args) {
        names.push_back(a.first);
        values.push_back(a.second);
    }
    std::vector<char*> argn, argv;
    for (size_t i = 0; i < args.size(); ++i) {
        argn.push_back(names[i].data());
        argv.push_back(values[i].data());
    }
    std::string mime = strMime;
    NPError nResult = m_funcs.newp(mime.data(), &p->npp, NP_EMBED, int16_t(args.size()),
                                   argn.data(), argv.data(), nullptr);
    if (nResult != NPERR_NO_ERROR) {
        *pstrError = "NPP_New failed with " + std::to_string(nResult);
        return false;
    }
    p->bAlive = true;
    m_instances.push_back(std::move(p));
    m_nCurrent = m_instances.size();
    return true;
}

Shell::Instance* Shell::Current(std::string* pstrError) {
    if (m_nCurrent == 0 && !NewInstance(m_strMime, m_args, pstrError))
        return nullptr;
    Instance* p = m_instances[m_nCurrent - 1].get();
    if (!p->bAlive) {
        *pstrError = "instance " + std::to_string(m_nCurrent) + " was destroyed";
        return nullptr;
    }
    return p;
}

NPObject* Shell::CurrentObject(std::string* pstrError) {
    Instance* p = Current(pstrError);
    if (p == nullptr)
        return nullptr;
    if (p->pObject == nullptr) {
        NPObject* pObject = nullptr;
        NPError nResult = m_funcs.getvalue == nullptr
                              ? NPERR_GENERIC_ERROR
                              : m_funcs.getvalue(&p->npp, NPPVpluginScriptableNPObject, &pObject);
        if (nResult != NPERR_NO_ERROR || pObject == nullptr) {
            *pstrError = "no scriptable object (NPP_GetValue gave " + std::to_string(nResult) + ")";
            return nullptr;
        }
        p->pObject = pObject;
    }
    return p->pObject;
}

Value Shell::ToValue(const NPVariant& v) const {
    switch (v.type) {
    case NPVariantType_Null:
        return Value::Null();
    case NPVariantType_Bool:
        return Value::Bool(v.value.boolValue);
    case NPVariantType_Int32:
        return Value::Int(v.value.intValue);
    case NPVariantType_Double:
        return Value::Double(v.value.doubleValue);
    case NPVariantType_String:
        return Value::String(
            v.value.stringValue.UTF8Characters == nullptr
                ? std::string()
                : std::string(v.value.stringValue.UTF8Characters, v.value.stringValue.UTF8Length));
    case NPVariantType_Object:
        return Value::Object(Browser::Instance().ObjectNumber(v.value.objectValue));
    default:
        return Value::Void();
    }
}

bool Shell::ArgsToVariants(const std::vector<Arg>& args, std::vector<NPVariant>* pVariants,
                           std::string* pstrError) {
    m_argStrings.clear();
    for (const Arg& a : args) {
        const Value* pValue = &a.literal;
        if (!a.variable.empty()) {
            auto it = m_vars.find(a.variable);
            if (it == m_vars.end()) {
                *pstrError = "$" + a.variable + " has no value";
                return false;
            }
            pValue = &it->second;
        }
        NPVariant v;
        VOID_TO_NPVARIANT(v);
        switch (pValue->type) {
        case NPVariantType_Null:
            NULL_TO_NPVARIANT(v);
            break;
        case NPVariantType_Bool:
            BOOLEAN_TO_NPVARIANT(pValue->b, v);
            break;
        case NPVariantType_Int32:
            INT32_TO_NPVARIANT(pValue->i, v);
            break;
        case NPVariantType_Double:
            DOUBLE_TO_NPVARIANT(pValue->d, v);
            break;
        case NPVariantType_String: {
            // Exactly the characters, with no terminator after them, as
            // browsers hand strings over: a plug-in that reads past the
            // length is caught by the sanitizers.
            const size_t cb = pValue->s.size();
            std::unique_ptr<char[]> p(new char[cb == 0 ? 1 : cb]);
            if (cb != 0)
                std::memcpy(p.get(), pValue->s.data(), cb);
            STRINGN_TO_NPVARIANT(p.get(), uint32_t(cb), v);
            m_argStrings.push_back(std::move(p));
            break;
        }
        case NPVariantType_Object:
            *pstrError = "objects cannot be passed as arguments";
            return false;
        default:
            break;
        }
        pVariants->push_back(v);
    }
    return true;
}

bool Shell::RunCall(const Command& cmd, Value* pResult, std::string* pstrStatus,
                    std::string* pstrError) {
    NPObject* pObject = CurrentObject(pstrError);
    if (pObject == nullptr)
        return false;
    std::vector<NPVariant> variants;
    if (!ArgsToVariants(cmd.args, &variants, pstrError))
        return false;
    NPNetscapeFuncs f = Browser::Instance().Functions();
    NPP npp = &Current(pstrError)->npp;
    NPVariant result;
    VOID_TO_NPVARIANT(result);
    bool bOk = false;
    if (cmd.method.empty()) {
        bOk = f.invokeDefault(npp, pObject, variants.data(), uint32_t(variants.size()), &result);
    } else {
        // As a page does: the name must be a method before it can be called.
        NPIdentifier id = f.getstringidentifier(cmd.method.c_str());
        if (!f.hasmethod(npp, pObject, id)) {
            *pstrStatus = "nomethod";
            *pResult = Value::Void();
            m_argStrings.clear();
            return true;
        }
        bOk = f.invoke(npp, pObject, id, variants.data(), uint32_t(variants.size()), &result);
    }
    m_argStrings.clear();
    *pResult = ToValue(result);
    // The browser frees what the plug-in handed out, whatever the outcome.
    Browser::ReleaseVariantValue(&result);
    *pstrStatus = bOk ? "ok" : "failed";
    std::string strException = Browser::Instance().TakeException();
    if (!strException.empty())
        m_err << "npshell: exception: " << strException << "\n";
    return true;
}

bool Shell::RunDirective(const Command& cmd, Value* pResult, std::string* pstrStatus,
                         std::string* pstrError) {
    const std::string& d = cmd.directive;
    const std::vector<std::string>& w = cmd.words;
    NPNetscapeFuncs f = Browser::Instance().Functions();
    *pstrStatus = "ok";
    if (d == "new") {
        std::string strMime = m_strMime;
        std::vector<std::pair<std::string, std::string>> args;
        for (const std::string& word : w) {
            size_t eq = word.find('=');
            if (eq == std::string::npos)
                strMime = word;
            else
                args.emplace_back(word.substr(0, eq), word.substr(eq + 1));
        }
        if (!NewInstance(strMime, args, pstrError))
            return false;
        *pResult = Value::Int(int32_t(m_nCurrent));
        return true;
    }
    if (d == "mime") {
        *pResult = Value::String(m_strMimeDescription);
        return true;
    }
    if (d == "objects") {
        *pResult = Value::Int(int32_t(Browser::Instance().LiveObjects()));
        return true;
    }
    if (d == "blocks") {
        *pResult = Value::Int(int32_t(Browser::Instance().LiveBlocks()));
        return true;
    }
    if (d == "use") {
        unsigned long n = w.size() == 1 ? std::strtoul(w[0].c_str(), nullptr, 10) : 0;
        if (n == 0 || n > m_instances.size()) {
            *pstrError = "!use takes an instance number";
            return false;
        }
        m_nCurrent = n;
        *pResult = Value::Int(int32_t(n));
        return true;
    }
    Instance* p = Current(pstrError);
    if (p == nullptr)
        return false;
    if (d == "destroy") {
        if (p->pObject != nullptr) {
            Browser::ReleaseObject(p->pObject);
            p->pObject = nullptr;
        }
        NPError nResult = m_funcs.destroy(&p->npp, nullptr);
        p->bAlive = false;
        *pstrStatus = nResult == NPERR_NO_ERROR ? "ok" : "failed";
        *pResult = Value::Int(nResult);
        return true;
    }
    if (d == "getvalue") {
        if (w.size() != 1) {
            *pstrError = "!getvalue takes one variable";
            return false;
        }
        static const std::map<std::string, NPPVariable> kNames = {
            {"name", NPPVpluginNameString},
            {"description", NPPVpluginDescriptionString},
            {"xembed", NPPVpluginNeedsXEmbed},
            {"object", NPPVpluginScriptableNPObject}};
        auto it = kNames.find(w[0]);
        NPPVariable variable =
            it != kNames.end() ? it->second : NPPVariable(std::strtol(w[0].c_str(), nullptr, 10));
        union {
            const char* psz;
            NPBool b;
            NPObject* pObject;
            void* pAny;
        } value{};
        NPError nResult = m_funcs.getvalue(&p->npp, variable, &value);
        if (nResult != NPERR_NO_ERROR) {
            *pstrStatus = "failed";
            *pResult = Value::Int(nResult);
            return true;
        }
        if (variable == NPPVpluginNameString || variable == NPPVpluginDescriptionString) {
            *pResult = Value::String(value.psz != nullptr ? value.psz : "");
        } else if (variable == NPPVpluginNeedsXEmbed) {
            *pResult = Value::Bool(value.b != 0);
        } else if (variable == NPPVpluginScriptableNPObject) {
            *pResult = Value::Object(Browser::Instance().ObjectNumber(value.pObject));
            // The shell keeps one reference per instance; further ones are the
            // page's and are dropped at once, as a page that forgets them.
            if (p->pObject == nullptr)
                p->pObject = value.pObject;
            else
                Browser::ReleaseObject(value.pObject);
        } else {
            *pResult = Value::Void();
        }
        return true;
    }
    if (d == "refs") {
        NPObject* pObject = CurrentObject(pstrError);
        if (pObject == nullptr)
            return false;
        *pResult = Value::Int(int32_t(pObject->referenceCount));
        return true;
    }
    if (d == "write" || d == "writeready") {
        NPStream stream{};
        stream.url = "npshell:stream";
        if (d == "writeready") {
            *pResult = Value::Int(m_funcs.writeready(&p->npp, &stream));
            return true;
        }
        long n = w.size() == 1 ? std::strtol(w[0].c_str(), nullptr, 10) : -1;
        if (n < 0 || n > (1L << 24)) {
            *pstrError = "!write takes a byte count";
            return false;
        }
        std::vector<char> bytes(size_t(n), 'x');
        *pResult = Value::Int(m_funcs.write(&p->npp, &stream, 0, int32_t(n), bytes.data()));
        return true;
    }
    if (d == "hasmethod" || d == "hasproperty" || d == "getproperty") {
        if (w.size() != 1) {
            *pstrError = "!" + d + " takes one name";
            return false;
        }
        NPObject* pObject = CurrentObject(pstrError);
        if (pObject == nullptr)
            return false;
        NPIdentifier id = f.getstringidentifier(w[0].c_str());
        if (d == "hasmethod") {
            *pResult = Value::Bool(f.hasmethod(&p->npp, pObject, id));
        } else if (d == "hasproperty") {
            *pResult = Value::Bool(f.hasproperty(&p->npp, pObject, id));
        } else {
            NPVariant result;
            VOID_TO_NPVARIANT(result);
            bool bOk = f.getproperty(&p->npp, pObject, id, &result);
            *pResult = ToValue(result);
            Browser::ReleaseVariantValue(&result);
            *pstrStatus = bOk ? "ok" : "failed";
        }
        return true;
    }
    *pstrError = "unknown directive !" + d;
    return false;
}

bool Shell::Run(const Command& cmd, Value* pResult, std::string* pstrStatus,
                std::string* pstrError) {
    return cmd.kind == Command::Call ? RunCall(cmd, pResult, pstrStatus, pstrError)
                                     : RunDirective(cmd, pResult, pstrStatus, pstrError);
}

bool Shell::Matches(const Expectation& e, const std::string& strStatus, const Value& v) {
    if (e.status != strStatus)
        return false;
    switch (e.mode) {
    case Expectation::Exact:
        return e.value == v;
    case Expectation::Contains:
        return v.type == NPVariantType_String && v.s.find(e.part) != std::string::npos;
    default:
        return true;
    }
}

bool Shell::RunLine(const std::string& strLine, int nLine) {
    Command cmd;
    std::string strError;
    bool bGood = true;
    if (!ParseLine(strLine, &cmd, &strError)) {
        m_out << "line " << nLine << " -> error " << FormatValue(Value::String(strError)) << "\n";
        m_err << "npshell: line " << nLine << ": " << strError << "\n";
        m_out.flush();
        return false;
    }
    if (cmd.kind == Command::Empty)
        return true;
    Value result;
    std::string strStatus;
    if (!Run(cmd, &result, &strStatus, &strError)) {
        m_out << cmd.Label() << " -> error " << FormatValue(Value::String(strError)) << "\n";
        m_err << "npshell: line " << nLine << ": " << strError << "\n";
        bGood = false;
    } else {
        m_out << cmd.Label() << " -> " << strStatus << " " << FormatValue(result) << "\n";
        if (cmd.kind == Command::Call && strStatus == "ok" && result.type == NPVariantType_String)
            m_vars["last"] = result;
        if (!cmd.assignTo.empty())
            m_vars[cmd.assignTo] = result;
        if (cmd.expect && !Matches(*cmd.expect, strStatus, result)) {
            std::string strWanted = cmd.expect->status;
            if (cmd.expect->mode == Expectation::Exact)
                strWanted += " " + FormatValue(cmd.expect->value);
            else if (cmd.expect->mode == Expectation::Contains)
                strWanted += " ~" + FormatValue(Value::String(cmd.expect->part));
            m_err << "npshell: line " << nLine << ": expected " << strWanted << ", got "
                  << strStatus << " " << FormatValue(result) << "\n";
            bGood = false;
        }
    }
    for (const std::string& strFault : Browser::Instance().TakeFaults()) {
        m_out << "fault -> " << FormatValue(Value::String(strFault)) << "\n";
        m_err << "npshell: line " << nLine << ": fault: " << strFault << "\n";
        bGood = false;
    }
    m_out.flush();
    return bGood;
}

int RunShell(const std::string& strPlugin, const std::string& strMimeIn,
             const std::vector<std::pair<std::string, std::string>>& args, std::istream& in,
             std::ostream& out, std::ostream& err) {
    std::string strError;
    std::unique_ptr<PluginLibrary> pLibrary = PluginLibrary::Load(strPlugin, &strError);
    if (!pLibrary) {
        err << "npshell: cannot load " << strPlugin << ": " << strError << "\n";
        return 2;
    }
    NPNetscapeFuncs browserFuncs = Browser::Instance().Functions();
    NPPluginFuncs pluginFuncs{};
    pluginFuncs.size = uint16_t(sizeof(pluginFuncs));
    NPError nResult = pLibrary->Initialize(&browserFuncs, &pluginFuncs);
    if (nResult != NPERR_NO_ERROR) {
        err << "npshell: NP_Initialize failed with " << nResult << "\n";
        return 2;
    }
    const std::string strMimeDescription = pLibrary->MIMEDescription();
    std::string strMime = strMimeIn;
    if (strMime.empty())
        strMime = strMimeDescription.substr(0, strMimeDescription.find(':'));

    int nExit = 0;
    {
        Shell shell(pluginFuncs, strMimeDescription, strMime, args, out, err);
        std::string strLine;
        int nLine = 0;
        while (std::getline(in, strLine)) {
            ++nLine;
            if (!shell.RunLine(strLine, nLine))
                nExit = 1;
        }
        shell.DestroyAll();
    }
    pLibrary->Shutdown();
    for (const std::string& strFault : Browser::Instance().TakeFaults()) {
        out << "fault -> " << FormatValue(Value::String(strFault)) << "\n";
        nExit = 1;
    }
    const size_t nObjects = Browser::Instance().LiveObjects();
    const size_t nBlocks = Browser::Instance().LiveBlocks();
    out << "end -> " << (nObjects == 0 && nBlocks == 0 ? "ok" : "failed")
        << " \"objects=" << nObjects << " blocks=" << nBlocks << "\"\n";
    out.flush();
    if (nExit == 0 && (nObjects != 0 || nBlocks != 0)) {
        err << "npshell: left alive at the end: " << nObjects << " objects, " << nBlocks
            << " memory blocks\n";
        nExit = 3;
    }
    return nExit;
}

} // namespace npshell
