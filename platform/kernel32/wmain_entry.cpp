// Console programs start at wmain with UTF-16 arguments, as on Windows: this
// main converts the UTF-8 command line and hands over.
#include <windows.h>

#include "internal/util.h"

#include <cstring>
#include <string>
#include <vector>

extern "C" int wmain(int argc, WCHAR** argv);

int main(int argc, char** argv) {
    std::vector<std::u16string> args;
    args.reserve(size_t(argc));
    for (int i = 0; i < argc; ++i)
        args.push_back(orvane::platform::ToUtf16(argv[i], std::strlen(argv[i])));
    std::vector<WCHAR*> pointers;
    for (auto& a : args)
        pointers.push_back(a.data());
    pointers.push_back(nullptr);
    return wmain(argc, pointers.data());
}
