// Reading back what a test process traced (POSIX): the stand-in writes every
// trace line to $ORVANE_TRACE_FILE when $ORVANE_TRACE enables it, so a test
// that sets both in its CTest environment can check the lines its calls wrote.
#pragma once
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

class TraceCapture {
public:
    // TraceCapture: starts with an empty file (the process's trace sink
    // appends, so its next line lands at the new end).
    TraceCapture() {
        if (const char* pszPath = std::getenv("ORVANE_TRACE_FILE"); pszPath != nullptr)
            std::ofstream(pszPath, std::ios::binary | std::ios::trunc);
    }

    // Enabled: whether the process traces into a file at all.
    static bool Enabled() {
        const char* f = std::getenv("ORVANE_TRACE");
        const char* p = std::getenv("ORVANE_TRACE_FILE");
        return f != nullptr && f[0] != 0 && p != nullptr && p[0] != 0;
    }

    // Take: the lines written since the last Take, without the process and
    // thread prefix, and with source line numbers shown as "#" (they move
    // with every edit; modules, operations, steps and reasons do not).
    std::vector<std::string> Take() {
        std::vector<std::string> lines;
        const char* pszPath = std::getenv("ORVANE_TRACE_FILE");
        if (pszPath == nullptr)
            return lines;
        std::ifstream file(pszPath, std::ios::binary);
        file.seekg(0, std::ios::end);
        const std::streamoff end = file.tellg();
        if (end < 0 || end <= m_offset) {
            m_offset = end < 0 ? 0 : end;
            return lines;
        }
        file.seekg(m_offset);
        std::string text(size_t(end - m_offset), '\0');
        file.read(text.data(), std::streamsize(text.size()));
        m_offset = end;
        static const std::regex prefix(R"(^orvane\[\d+:\d+\] )");
        static const std::regex number(R"(^\[(\w+)\(\d+\)(\]:|:\]))");
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);) {
            line = std::regex_replace(line, prefix, "");
            lines.push_back(std::regex_replace(line, number, "[$1(#)$2"));
        }
        return lines;
    }

private:
    std::streamoff m_offset = 0;
};

// InOrder: empty when every expected line occurs in lines in the given order
// (other lines may come between); else the first expected line not found.
inline std::string InOrder(const std::vector<std::string>& lines,
                           const std::vector<std::string>& expected) {
    size_t next = 0;
    for (const std::string& want : expected) {
        while (next < lines.size() && lines[next] != want)
            ++next;
        if (next == lines.size())
            return want;
        ++next;
    }
    return {};
}
