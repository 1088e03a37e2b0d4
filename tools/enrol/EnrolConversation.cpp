#include "tools/enrol/EnrolConversation.h"

#include "tools/nmclient/HostProcess.h"
#include "tools/testca/TestIssuer.h"

#include "host/JsonHandles.h"

#include <chrono>
#include <memory>

namespace orvane::tools {
namespace {

std::string Print(const cJSON* json) {
    UniqueJsonText text(cJSON_PrintUnformatted(json));
    return text ? text.get() : "";
}

// Readable: the JSON with every long string cut to its head and its length,
// so requests and certificates do not flood the screen.
std::string Readable(const cJSON* json) {
    UniqueJson copy(cJSON_Duplicate(json, 1));
    std::function<void(cJSON*)> shorten = [&](cJSON* node) {
        for (cJSON* item = node; item != nullptr; item = item->next) {
            if (cJSON_IsString(item) && item->valuestring != nullptr) {
                const std::string value = item->valuestring;
                if (value.size() > 72) {
                    const std::string cut = value.substr(0, 48) + "... (" +
                                            std::to_string(value.size()) + " characters)";
                    cJSON_SetValuestring(item, cut.c_str());
                }
            }
            if (item->child != nullptr)
                shorten(item->child);
        }
    };
    if (copy)
        shorten(copy.get());
    return copy ? Print(copy.get()) : "";
}

class Conversation {
public:
    Conversation(const EnrolOptions& options, EnrolResult& result)
        : m_options(options), m_result(result) {}

    bool Start() {
        if (!m_host.Start(m_options.hostCommand, m_options.hostEnvironment))
            return Fail("cannot start the host: " + m_host.Error());
        return true;
    }

    void Close() {
        m_host.CloseInput();
        m_host.Wait();
    }

    // Call: one request; the response's "result" when "errorcode" is 0.
    bool Call(const std::string& function, UniqueJson params, UniqueJson& result) {
        UniqueJson request(cJSON_CreateObject());
        cJSON_AddStringToObject(request.get(), "function", function.c_str());
        cJSON_AddItemToObject(request.get(), "params",
                              params ? params.release() : cJSON_CreateArray());
        cJSON_AddStringToObject(request.get(), "randomId", std::to_string(++m_id).c_str());
        Say("-> " + Readable(request.get()));

        const auto start = std::chrono::steady_clock::now();
        std::string body;
        if (!m_host.WriteAll(Frame(Print(request.get()))))
            return Fail(function + ": the host has gone");
        const auto status = m_host.ReadFrame(body, m_options.timeoutMs);
        const double ms =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count();
        m_result.steps.push_back({function, ms});
        if (status != HostProcess::ReadStatus::Frame)
            return Fail(function + ": no response from the host");
        UniqueJson response(cJSON_Parse(body.c_str()));
        if (!response)
            return Fail(function + ": the response is not JSON: " + body);
        Say("<- " + Readable(response.get()));
        const cJSON* code = cJSON_GetObjectItemCaseSensitive(response.get(), "errorcode");
        if (!cJSON_IsNumber(code) || code->valuedouble != 0) {
            UniqueJson describe;
            const std::string codeText = cJSON_IsNumber(code) ? Print(code) : "none";
            if (function != "VURO_GetLastErrorDesc" &&
                CallQuietly("VURO_GetLastErrorDesc", describe) && cJSON_IsString(describe.get()))
                return Fail(function + " failed with " + codeText + ": " +
                            describe.get()->valuestring);
            return Fail(function + " failed with " + codeText);
        }
        result.reset(cJSON_DetachItemFromObjectCaseSensitive(response.get(), "result"));
        return true;
    }

    bool CallText(const std::string& function, UniqueJson params, std::string& text) {
        UniqueJson result;
        if (!Call(function, std::move(params), result))
            return false;
        if (!cJSON_IsString(result.get()))
            return Fail(function + ": the result is not a text");
        text = result.get()->valuestring;
        return true;
    }

    bool CallTrue(const std::string& function, UniqueJson params) {
        UniqueJson result;
        if (!Call(function, std::move(params), result))
            return false;
        if (!cJSON_IsTrue(result.get()))
            return Fail(function + ": the result is not true");
        return true;
    }

    void Say(const std::string& line) {
        if (m_options.print)
            m_options.print(line);
    }

    bool Fail(const std::string& why) {
        if (m_result.error.empty())
            m_result.error = why;
        return false;
    }

private:
    bool CallQuietly(const std::string& function, UniqueJson& result) {
        UniqueJson request(cJSON_CreateObject());
        cJSON_AddStringToObject(request.get(), "function", function.c_str());
        cJSON_AddItemToObject(request.get(), "params", cJSON_CreateArray());
        std::string body;
        if (!m_host.WriteAll(Frame(Print(request.get()))) ||
            m_host.ReadFrame(body, m_options.timeoutMs) != HostProcess::ReadStatus::Frame)
            return false;
        UniqueJson response(cJSON_Parse(body.c_str()));
        if (!response)
            return false;
        Say("<- " + Readable(response.get()));
        result.reset(cJSON_DetachItemFromObjectCaseSensitive(response.get(), "result"));
        return true;
    }

    const EnrolOptions& m_options;
    EnrolResult& m_result;
    HostProcess m_host;
    int m_id = 0;
};

UniqueJson Params(std::initializer_list<cJSON*> items) {
    UniqueJson array(cJSON_CreateArray());
    for (cJSON* item : items)
        cJSON_AddItemToArray(array.get(), item);
    return array;
}

} // namespace

std::string DefaultEnvelopeFormat(const EnrolOptions& options) {
    if (options.algorithm == "SM2" || options.algorithm == "sm2")
        return "sm2-c1c3c2";
    if (options.provider.find("Microsoft") != std::string::npos || options.keyBits == 1024)
        return "old";
    return "new-rsa";
}

EnrolResult RunEnrolment(const EnrolOptions& options) {
    EnrolResult result;
    Conversation talk(options, result);
    if (!talk.Start())
        return result;

    auto run = [&]() -> bool {
        std::string version;
        if (!talk.CallText("VURO_GetVersion", {}, version) ||
            !talk.CallText("VURO_GetCSPInfo", {}, result.cspList))
            return false;
        if (!talk.CallTrue("VURO_SetCSPInfo",
                           Params({cJSON_CreateNumber(options.keyBits),
                                   cJSON_CreateString(options.provider.c_str())})) ||
            !talk.CallTrue("VURO_SetKeyAlgorithm",
                           Params({cJSON_CreateString(options.algorithm.c_str())})))
            return false;
        if (!talk.CallText("VURO_PKCS10CertRequisition",
                           Params({cJSON_CreateString(options.subject.c_str()),
                                   cJSON_CreateNumber(options.certType),
                                   cJSON_CreateNumber(options.generationFlags)}),
                           result.request) ||
            !talk.CallText("VURO_GetContainer", {}, result.container))
            return false;

        // The issuing authority's part, here the test issuer in this process.
        testca::IssueOptions issue;
        issue.caDir = options.caDir;
        if (options.certType == 2) {
            const std::string form = options.envelopeFormat.empty() ? DefaultEnvelopeFormat(options)
                                                                    : options.envelopeFormat;
            issue.format = testca::ParseFormat(form);
            if (!issue.format)
                return talk.Fail("unknown envelope form " + form);
        }
        const auto start = std::chrono::steady_clock::now();
        const testca::IssueResult issued = testca::Issue(issue, result.request);
        result.steps.push_back({"issue", std::chrono::duration<double, std::milli>(
                                             std::chrono::steady_clock::now() - start)
                                             .count()});
        if (!issued.ok)
            return talk.Fail("the issuer refused the request: " + issued.error);
        talk.Say("   issuer: signed the request's certificate" +
                 std::string(options.certType == 2
                                 ? ", made the encryption key pair, its certificate and envelope"
                                 : ""));
        result.signCert = issued.signCert;
        result.encCert = issued.encCert;
        result.encKeyPem = issued.encKeyPem;

        if (!talk.CallTrue("VURO_ImportSignCert",
                           Params({cJSON_CreateNumber(options.certType),
                                   cJSON_CreateString(issued.signCert.c_str()),
                                   cJSON_CreateString(result.container.c_str())})))
            return false;
        if (options.certType == 2 &&
            !talk.CallTrue("VURO_ImportEncryptCert",
                           Params({cJSON_CreateString(issued.envelope.c_str()),
                                   cJSON_CreateString(issued.encCert.c_str()),
                                   cJSON_CreateString(result.container.c_str()),
                                   cJSON_CreateNumber(options.importFlags)})))
            return false;
        return talk.CallText("VURO_GetAllCertInfo", Params({}), result.certList);
    };
    result.ok = run();
    talk.Close();
    return result;
}

} // namespace orvane::tools
