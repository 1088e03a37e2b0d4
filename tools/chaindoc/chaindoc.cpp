// chaindoc: makes and checks the chain documents a plug-in carries (the
// authority's roots and intermediates), and writes the rows of its
// withdrawn-certificate tables. See resources/chain/README.md.
#include "tools/chaindoc/ChainDocument.h"

#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

namespace {

int Usage() {
    std::cerr << "usage:\n"
                 "  chaindoc make --roots CERT... --chain CERT... [--comment TEXT] --out FILE\n"
                 "      a document: every root certificate as a root-store entry, and the\n"
                 "      intermediates with their roots (--chain, in that order) as PKCS #7\n"
                 "  chaindoc check FILE\n"
                 "      reads a document as the plug-in does and reports what it would do;\n"
                 "      exit status 1 when something in it is wrong\n"
                 "  chaindoc row CERT...\n"
                 "      one withdrawn-table row per certificate (a root when self-issued)\n"
                 "CERT files are DER or PEM (a PEM file may hold several certificates).\n";
    return 2;
}

bool ReadFile(const std::string& strPath, std::string& strContents) {
    std::ifstream in(strPath, std::ios::binary);
    if (!in)
        return false;
    strContents.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

bool ReadCertificateFiles(const std::vector<std::string>& files,
                          std::vector<chaindoc::Bytes>& out) {
    for (const std::string& file : files) {
        std::string contents;
        if (!ReadFile(file, contents)) {
            std::cerr << "chaindoc: cannot read " << file << "\n";
            return false;
        }
        std::vector<chaindoc::Bytes> certs = chaindoc::ReadCertificates(contents);
        if (certs.empty()) {
            std::cerr << "chaindoc: " << file << " holds no readable certificate\n";
            return false;
        }
        out.insert(out.end(), certs.begin(), certs.end());
    }
    return true;
}

int Make(int argc, char** argv) {
    std::vector<std::string> roots, chain;
    std::string comment, out;
    std::vector<std::string>* pList = nullptr;
    for (int i = 0; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--roots") {
            pList = &roots;
        } else if (arg == "--chain") {
            pList = &chain;
        } else if (arg == "--comment" && i + 1 < argc) {
            comment = argv[++i];
            pList = nullptr;
        } else if (arg == "--out" && i + 1 < argc) {
            out = argv[++i];
            pList = nullptr;
        } else if (pList != nullptr && arg.rfind("--", 0) != 0) {
            pList->push_back(arg);
        } else {
            return Usage();
        }
    }
    if (roots.empty() || chain.empty() || out.empty())
        return Usage();
    if (comment.find("--") != std::string::npos) {
        std::cerr << "chaindoc: a comment cannot hold \"--\"\n";
        return 2;
    }
    std::vector<chaindoc::Bytes> rootCerts, chainCerts;
    if (!ReadCertificateFiles(roots, rootCerts) || !ReadCertificateFiles(chain, chainCerts))
        return 1;
    const std::string doc = chaindoc::MakeDocument(rootCerts, chainCerts, comment);
    std::ofstream file(out, std::ios::binary | std::ios::trunc);
    if (!(file << doc) || !file.flush()) {
        std::cerr << "chaindoc: cannot write " << out << "\n";
        return 1;
    }
    std::cout << out << ": " << rootCerts.size() << " roots, " << chainCerts.size()
              << " certificates in the PKCS #7\n";
    return 0;
}

int Check(const std::string& strPath) {
    std::string contents;
    if (!ReadFile(strPath, contents)) {
        std::cerr << "chaindoc: cannot read " << strPath << "\n";
        return 2;
    }
    FILETIME ftNow{};
    GetSystemTimeAsFileTime(&ftNow);
    const chaindoc::CheckReport report =
        chaindoc::CheckDocument(chaindoc::Bytes(contents.begin(), contents.end()), ftNow);
    for (const std::string& note : report.notes)
        std::cout << strPath << ": " << note << "\n";
    for (const std::string& error : report.errors)
        std::cout << strPath << ": error: " << error << "\n";
    std::cout << strPath << ": " << report.roots << " roots, " << report.chainCertificates
              << " certificates in the PKCS #7, " << report.errors.size() << " errors\n";
    return report.errors.empty() ? 0 : 1;
}

int Rows(int argc, char** argv) {
    if (argc == 0)
        return Usage();
    std::vector<chaindoc::Bytes> certs;
    if (!ReadCertificateFiles(std::vector<std::string>(argv, argv + argc), certs))
        return 1;
    for (const chaindoc::Bytes& cert : certs) {
        const std::string row = chaindoc::WithdrawnRow(cert);
        if (row.empty()) {
            std::cerr << "chaindoc: a certificate's names cannot go into a table row\n";
            return 1;
        }
        std::cout << row << "\n";
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2)
        return Usage();
    const std::string command = argv[1];
    if (command == "make")
        return Make(argc - 2, argv + 2);
    if (command == "check" && argc == 3)
        return Check(argv[2]);
    if (command == "row")
        return Rows(argc - 2, argv + 2);
    return Usage();
}
