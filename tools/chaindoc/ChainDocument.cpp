#include "tools/chaindoc/ChainDocument.h"

#include "chain/ChainDocumentReader.h"
#include "der/Der.h"
#include "certificates/CertificateQueries.h"
#include "foundation/Handles.h"
#include "foundation/Encodings.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

namespace chaindoc {

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr char kHexDigits[] = "0123456789ABCDEF";

UniqueCertContext Context(const Bytes& certificate) {
    if (certificate.empty())
        return UniqueCertContext();
    return UniqueCertContext(
        CertCreateCertificateContext(kEncoding, certificate.data(), DWORD(certificate.size())));
}

std::string Hex(const BYTE* pb, size_t cb) {
    std::string s;
    for (size_t i = 0; i < cb; ++i) {
        s.push_back(kHexDigits[pb[i] >> 4]);
        s.push_back(kHexDigits[pb[i] & 15]);
    }
    return s;
}

std::string Utf8(const WCHAR* pwsz) {
    std::string text;
    if (pwsz == nullptr || FAILED(UTF16ToUTF8(pwsz, &text)))
        return std::string();
    return text;
}

std::string NameText(const Bytes& certificate, DWORD dwQueryId) {
    UniqueCertContext cert = Context(certificate);
    if (!cert)
        return std::string();
    CertificateField field;
    if (FAILED(QueryCertContextInfo(&field, cert.get(), dwQueryId)))
        return std::string();
    return Utf8(field.wstrText.c_str());
}

bool IsSelfIssued(PCCERT_CONTEXT pCert) {
    const CERT_NAME_BLOB& a = pCert->pCertInfo->Issuer;
    const CERT_NAME_BLOB& b = pCert->pCertInfo->Subject;
    return a.cbData == b.cbData && std::memcmp(a.pbData, b.pbData, a.cbData) == 0;
}

ULONGLONG Ticks(const FILETIME& ft) {
    return ULONGLONG(ft.dwHighDateTime) << 32 | ft.dwLowDateTime;
}

std::string DateText(const FILETIME& ft) {
    SYSTEMTIME st{};
    if (!FileTimeToSystemTime(&ft, &st))
        return "?";
    char sz[32];
    std::snprintf(sz, sizeof(sz), "%04u-%02u-%02u", unsigned(st.wYear), unsigned(st.wMonth),
                  unsigned(st.wDay));
    return sz;
}

std::string XmlEscape(const std::string& s) {
    std::string out;
    for (char c : s) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        default:
            out.push_back(c);
        }
    }
    return out;
}

void PutRecord(Bytes& out, DWORD dwId, const BYTE* pb, DWORD cb) {
    for (DWORD v : {dwId, DWORD(1), cb})
        for (int i = 0; i < 4; ++i)
            out.push_back(BYTE(v >> (8 * i)));
    out.insert(out.end(), pb, pb + cb);
}

std::string Text(const WString& s) {
    return Utf8(s.c_str());
}

// RootEntryFaultText: why the import refuses a root entry.
std::string RootEntryFaultText(const REGISTERED_CERT_INFO& info, RootEntryFault fault) {
    switch (fault) {
    case RootEntryFault::ImportPath:
        return "<ImportPath> is '" + Text(info.strImportPath) +
               "', not the machine root store's key " + kRootStorePath + ": the import refuses it";
    case RootEntryFault::Content:
        return "<Content> is not Base64";
    case RootEntryFault::Blob:
        return "<Content> is not a property blob holding exactly one certificate (exactly one "
               "property 32, whose value is one whole DER element, every record within the "
               "blob)";
    case RootEntryFault::Certificate:
        return "property 32 does not hold a certificate";
    case RootEntryFault::EntryPoint: {
        UniqueCertContext cert;
        std::vector<BYTE> blob;
        std::string thumbprint = "?";
        if (SUCCEEDED(DecodeBase64Text(info.strContent.c_str(), blob)) &&
            SUCCEEDED(CertificateOfRootBlob(blob, &cert)))
            thumbprint = Thumbprint(Bytes(cert.get()->pbCertEncoded,
                                          cert.get()->pbCertEncoded + cert.get()->cbCertEncoded));
        return "<EntryPoint> is '" + Text(info.strEntryPoint) +
               "', not the certificate's thumbprint " + thumbprint;
    }
    case RootEntryFault::None:
        break;
    }
    return "refused by the import";
}

} // namespace

std::vector<Bytes> ReadCertificates(const std::string& strContents) {
    static const std::string kBegin = "-----BEGIN CERTIFICATE-----";
    static const std::string kEnd = "-----END CERTIFICATE-----";
    std::vector<Bytes> certificates;
    if (strContents.find("-----BEGIN") == std::string::npos) {
        Bytes der(strContents.begin(), strContents.end());
        if (Context(der))
            certificates.push_back(std::move(der));
        return certificates;
    }
    for (size_t pos = strContents.find(kBegin); pos != std::string::npos;
         pos = strContents.find(kBegin, pos)) {
        const size_t start = pos + kBegin.size();
        const size_t end = strContents.find(kEnd, start);
        if (end == std::string::npos)
            return {};
        const std::string body = strContents.substr(start, end - start);
        Bytes der;
        if (body.empty() || FAILED(Base64DecodeEx(int(body.size()), &der, body.c_str())))
            return {};
        if (!Context(der))
            return {};
        certificates.push_back(std::move(der));
        pos = end + kEnd.size();
    }
    return certificates;
}

std::string Thumbprint(const Bytes& certificate) {
    UniqueCertContext cert = Context(certificate);
    BYTE rgb[20] = {};
    DWORD cb = sizeof(rgb);
    if (!cert || !CertGetCertificateContextProperty(cert.get(), CERT_SHA1_HASH_PROP_ID, rgb, &cb))
        return std::string();
    return Hex(rgb, cb);
}

std::string SerialText(const Bytes& certificate) {
    UniqueCertContext cert = Context(certificate);
    if (!cert)
        return std::string();
    // CERT_INFO keeps the serial least significant byte first.
    const CRYPT_INTEGER_BLOB& serial = cert.get()->pCertInfo->SerialNumber;
    Bytes bigEndian(serial.pbData, serial.pbData + serial.cbData);
    SwapByteOrder(bigEndian.data(), DWORD(bigEndian.size()));
    return Hex(bigEndian.data(), bigEndian.size());
}

std::string SubjectText(const Bytes& certificate) {
    return NameText(certificate, QUERYID_SUBJECT_FULL);
}

std::string IssuerText(const Bytes& certificate) {
    return NameText(certificate, QUERYID_ISSUER);
}

Bytes PropertyBlob(const Bytes& certificate) {
    UniqueCertContext cert = Context(certificate);
    if (!cert)
        return Bytes();
    Bytes blob;
    BYTE rgbHash[20] = {};
    DWORD cbHash = sizeof(rgbHash);
    if (!CertGetCertificateContextProperty(cert.get(), CERT_SHA1_HASH_PROP_ID, rgbHash, &cbHash))
        return Bytes();
    PutRecord(blob, CERT_SHA1_HASH_PROP_ID, rgbHash, cbHash);
    // The key identifier, when the certificate names one.
    const CERT_INFO* pInfo = cert.get()->pCertInfo;
    if (const CERT_EXTENSION* pExt = CertFindExtension(szOID_SUBJECT_KEY_IDENTIFIER,
                                                       pInfo->cExtension, pInfo->rgExtension)) {
        // SubjectKeyIdentifier ::= KeyIdentifier ::= OCTET STRING
        orvane::der::DerReader reader({pExt->Value.pbData, pExt->Value.cbData});
        orvane::der::Bytes keyId;
        if (reader.Read(orvane::der::tag::kOctetString, keyId) == 0 && reader.AtEnd())
            PutRecord(blob, CERT_KEY_IDENTIFIER_PROP_ID, keyId.data(), DWORD(keyId.size()));
    }
    PutRecord(blob, CERT_BLOB_CERTIFICATE_PROPERTY, certificate.data(), DWORD(certificate.size()));
    return blob;
}

Bytes CertificatesOnlyPkcs7(const std::vector<Bytes>& certificates) {
    using orvane::der::DerWriter;
    using orvane::der::WriteOid;
    namespace tag = orvane::der::tag;
    using Span = orvane::der::Bytes;
    // ContentInfo ::= SEQUENCE {
    //   contentType ContentType,                 -- signedData 1.2.840.113549.1.7.2
    //   content [0] EXPLICIT SignedData }
    // SignedData ::= SEQUENCE {
    //   version CMSVersion,                      -- 1
    //   digestAlgorithms SET OF DigestAlgorithmIdentifier,     -- empty
    //   encapContentInfo SEQUENCE { eContentType } -- data 1.2.840.113549.1.7.1
    //   certificates [0] IMPLICIT CertificateSet,  -- in the order given
    //   signerInfos SET OF SignerInfo }            -- empty
    DerWriter w;
    w.Constructed(tag::kSequence, [&](DerWriter& ci) {
        WriteOid(ci, "1.2.840.113549.1.7.2");
        ci.Constructed(tag::ContextConstructed(0), [&](DerWriter& explicitContent) {
            explicitContent.Constructed(tag::kSequence, [&](DerWriter& sd) {
                const BYTE version = 1;
                sd.Element(tag::kInteger, Span(&version, 1));
                sd.Element(tag::kSet, Span());
                sd.Constructed(tag::kSequence,
                               [&](DerWriter& eci) { WriteOid(eci, "1.2.840.113549.1.7.1"); });
                sd.Constructed(tag::ContextConstructed(0), [&](DerWriter& set) {
                    for (const Bytes& c : certificates)
                        set.Raw(Span(c.data(), c.size()));
                });
                sd.Element(tag::kSet, Span());
            });
        });
    });
    return w.Error() == 0 ? w.Take() : Bytes();
}

std::string Base64Lines(const Bytes& data) {
    std::string oneLine;
    if (FAILED(Base64EncodeEx(BASE64_FLAG_NOCRLF, &oneLine, data.data(), DWORD(data.size()))))
        return std::string();
    std::string text;
    for (size_t i = 0; i < oneLine.size(); i += 64) {
        text.append(oneLine, i, 64);
        text.push_back('\n');
    }
    return text;
}

std::string MakeDocument(const std::vector<Bytes>& roots, const std::vector<Bytes>& chain,
                         const std::string& strComment) {
    std::string doc = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    if (!strComment.empty())
        doc += "<!-- " + strComment + " -->\n";
    doc += "<root>\n  <RootCACertificate>\n";
    for (const Bytes& root : roots) {
        doc += "    <Certificate SerialNum=\"" + SerialText(root) + "\" SubjectDN=\"" +
               XmlEscape(SubjectText(root)) + "\">\n";
        doc += "      <ImportPath>" + XmlEscape(kRootStorePath) + "</ImportPath>\n";
        doc += "      <EntryPoint>" + Thumbprint(root) + "</EntryPoint>\n";
        doc += "      <Content>\n" + Base64Lines(PropertyBlob(root)) + "      </Content>\n";
        doc += "    </Certificate>\n";
    }
    doc += "  </RootCACertificate>\n";
    doc += "  <P7bContent>\n" + Base64Lines(CertificatesOnlyPkcs7(chain)) + "  </P7bContent>\n";
    doc += "</root>\n";
    return doc;
}

std::string WithdrawnRow(const Bytes& certificate) {
    UniqueCertContext cert = Context(certificate);
    if (!cert)
        return std::string();
    const std::string subject = SubjectText(certificate);
    const std::string issuer = IssuerText(certificate);
    for (const std::string* name : {&subject, &issuer})
        if (name->empty() || name->find_first_of("\"\\#\r\n") != std::string::npos)
            return std::string();
    if (IsSelfIssued(cert.get()))
        return "WITHDRAWN_ROOT(\"" + subject + "\", \"" + Thumbprint(certificate) + "\", \"" +
               SerialText(certificate) + "\")";
    return "WITHDRAWN_INTERMEDIATE(\"" + issuer + "\", \"" + subject + "\", \"" +
           SerialText(certificate) + "\")";
}

CheckReport CheckDocument(const Bytes& document, const FILETIME& ftNow) {
    CheckReport report;
    auto error = [&](const std::string& s) { report.errors.push_back(s); };
    auto note = [&](const std::string& s) { report.notes.push_back(s); };
    auto validity = [&](PCCERT_CONTEXT pCert, const std::string& strWhat) {
        const std::string range =
            DateText(pCert->pCertInfo->NotBefore) + " to " + DateText(pCert->pCertInfo->NotAfter);
        if (Ticks(pCert->pCertInfo->NotAfter) < Ticks(ftNow))
            note(strWhat + ": expired (valid " + range + "), will be skipped");
        else if (Ticks(pCert->pCertInfo->NotBefore) > Ticks(ftNow))
            note(strWhat + ": not valid yet (valid " + range + "), will be installed");
        else
            note(strWhat + ": valid " + range);
    };

    XML_NODE doc;
    if (HRESULT hr = LoadXMLDom(document.data(), DWORD(document.size()), &doc); FAILED(hr)) {
        char sz[64];
        std::snprintf(sz, sizeof(sz), "0x%08X", unsigned(hr));
        error(std::string("the document does not parse (") + sz +
              "): it must be well-formed UTF-8 XML without a DOCTYPE, at most 1 MiB");
        return report;
    }
    const XML_NODE* pRoot = nullptr;
    if (FAILED(GetXMLRootNode(&doc, &pRoot))) {
        error("the document has no nodes");
        return report;
    }
    if (pRoot->strName != TEXT("root"))
        error("the last node of the document is '" + Text(pRoot->strName) +
              "', not the <root> element: nothing may follow </root>, not even a comment");
    const XML_NODE* pRoots = nullptr;
    if (FindChildNode(&pRoots, pRoot, TEXT("RootCACertificate")) != S_OK) {
        error("<root> has no <RootCACertificate> child: nothing would be installed");
        return report;
    }
    if (pRoots->strName != TEXT("RootCACertificate"))
        note("<" + Text(pRoots->strName) + "> is taken for <RootCACertificate>");

    int index = 0;
    static const WCHAR* const kChildNames[] = {TEXT("ImportPath"), TEXT("EntryPoint"),
                                               TEXT("Content")};
    for (const XML_NODE& entry : pRoots->children) {
        ++index;
        const std::string where = "root entry " + std::to_string(index);
        REGISTERED_CERT_INFO info;
        if (FAILED(GetRegisteredCertificateInfoNode(&entry, &info))) {
            error(where + " (<" + Text(entry.strName) +
                  ">): needs three children, ImportPath, EntryPoint and Content");
            continue;
        }
        for (size_t i = 0; i < 3; ++i)
            if (entry.children[i].strName != kChildNames[i])
                note(where + ": child " + std::to_string(i + 1) + " is <" +
                     Text(entry.children[i].strName) + ">, read as " + Text(kChildNames[i]) +
                     " (children count by position)");
        // The import's own checks, so that whatever it would refuse is an error here.
        ROOT_ENTRY checked;
        RootEntryFault fault = RootEntryFault::None;
        if (FAILED(CheckRootEntry(info, &checked, &fault))) {
            error(where + ": " + RootEntryFaultText(info, fault));
            continue;
        }
        const PCCERT_CONTEXT pCert = checked.cert.get();
        const std::string subject =
            SubjectText(Bytes(pCert->pbCertEncoded, pCert->pbCertEncoded + pCert->cbCertEncoded));
        if (info.strImportPath != kRootStoreImportPath)
            note(where + " (" + subject + "): <ImportPath> '" + Text(info.strImportPath) +
                 "' is the root store's key in other letter case");
        if (!IsSelfIssued(pCert))
            note(where + " (" + subject + "): not self-issued, yet installed as a root");
        validity(pCert, where + " (" + subject + ")");
        ++report.roots;
    }

    const XML_NODE* pChain = nullptr;
    if (FindChildNode(&pChain, pRoot, TEXT("P7bContent")) != S_OK) {
        error("<root> has no <P7bContent> child");
        return report;
    }
    if (pChain->strName != TEXT("P7bContent"))
        note("<" + Text(pChain->strName) + "> is taken for <P7bContent>");
    std::vector<BYTE> pkcs7;
    CRYPT_DATA_BLOB stBlob{};
    UniqueStore store;
    if (SUCCEEDED(DecodeBase64Text(XmlTextOf(*pChain).c_str(), pkcs7))) {
        stBlob = {DWORD(pkcs7.size()), pkcs7.data()};
        store.reset(
            CertOpenStore(CERT_STORE_PROV_PKCS7, kEncoding, 0, CERT_STORE_READONLY_FLAG, &stBlob));
    }
    if (!store) {
        error("<P7bContent> is not a Base64 PKCS #7 of certificates");
        return report;
    }
    PCCERT_CONTEXT pCert = nullptr;
    while ((pCert = CertEnumCertificatesInStore(store.get(), pCert)) != nullptr) {
        ++report.chainCertificates;
        const Bytes der(pCert->pbCertEncoded, pCert->pbCertEncoded + pCert->cbCertEncoded);
        std::string what = "chain certificate " + std::to_string(report.chainCertificates) + " (" +
                           SubjectText(der) + ")";
        if (IsSelfIssued(pCert))
            note(what + ": self-issued, not added to \"CA\"");
        else
            validity(pCert, what);
    }
    if (report.chainCertificates == 0)
        error("<P7bContent> holds no certificate");
    return report;
}

} // namespace chaindoc
