// npshell: a test browser for NPAPI plug-ins. Loads a plug-in library, makes
// instances and calls the methods of their scriptable objects as a page
// would, one script line at a time. See Shell.h and Script.h for the language.
#include "tools/npshell/PluginLibrary.h"
#include "tools/npshell/Shell.h"

#include <cstring>
#include <fstream>
#include <iostream>

namespace {

int Usage() {
    std::cerr << "usage: npshell [-m MIME] [-a NAME=VALUE]... PLUGIN [SCRIPT|-]\n"
                 "       npshell --install PLUGIN\n"
                 "  PLUGIN   the plug-in library (npX.so / npX.dll)\n"
                 "  SCRIPT   script file; '-' or none reads standard input line by line\n"
                 "  -m MIME  MIME type for NPP_New (default: the plug-in's first)\n"
                 "  -a N=V   an argument of the embedding element (repeatable)\n"
                 "  --install  call the plug-in's NP_Install, as an installer does, and exit\n"
                 "Each line prints 'LABEL -> STATUS VALUE'. Exit code: 0 all well, 1 a line\n"
                 "failed, 2 the plug-in could not be loaded, 3 objects or memory left alive.\n";
    return 2;
}

// Install: NP_Install of the plug-in at strPlugin. It reports nothing; its
// trace (ORVANE_TRACE on POSIX) says what it did.
int Install(const std::string& strPlugin) {
    std::string strError;
    std::unique_ptr<npshell::PluginLibrary> library =
        npshell::PluginLibrary::Load(strPlugin, &strError);
    if (!library) {
        std::cerr << "npshell: cannot load " << strPlugin << ": " << strError << "\n";
        return 2;
    }
    if (!library->Install()) {
        std::cerr << "npshell: " << strPlugin << " does not export NP_Install\n";
        return 2;
    }
    std::cout << "NP_Install -> done\n";
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    npshell::PrepareStandardStreams();
    if (argc >= 2 && std::strcmp(argv[1], "--install") == 0)
        return argc == 3 ? Install(argv[2]) : Usage();
    std::string strMime;
    std::vector<std::pair<std::string, std::string>> args;
    int i = 1;
    for (; i < argc && argv[i][0] == '-' && argv[i][1] != '\0'; ++i) {
        if (std::strcmp(argv[i], "-m") == 0 && i + 1 < argc) {
            strMime = argv[++i];
        } else if (std::strcmp(argv[i], "-a") == 0 && i + 1 < argc) {
            std::string a = argv[++i];
            size_t eq = a.find('=');
            if (eq == std::string::npos)
                return Usage();
            args.emplace_back(a.substr(0, eq), a.substr(eq + 1));
        } else {
            return Usage();
        }
    }
    if (i >= argc || argc - i > 2)
        return Usage();
    const std::string strPlugin = argv[i];
    const std::string strScript = i + 1 < argc ? argv[i + 1] : "-";
    try {
        if (strScript == "-")
            return npshell::RunShell(strPlugin, strMime, args, std::cin, std::cout, std::cerr);
        std::ifstream file(strScript, std::ios::binary);
        if (!file) {
            std::cerr << "npshell: cannot read " << strScript << "\n";
            return 2;
        }
        return npshell::RunShell(strPlugin, strMime, args, file, std::cout, std::cerr);
    } catch (const std::exception& e) {
        std::cerr << "npshell: " << e.what() << "\n";
        return 1;
    }
}
