// shlwapi's case-insensitive search. Windows compares letters through the
// system's case tables; names in certificates are mostly Latin, Cyrillic,
// Greek or CJK (which has no case), so the letters of those scripts that map
// one to one between upper and lower case are folded here.
#include <shlwapi.h>

namespace {

// Lower: the lower-case partner of an upper-case letter, else c itself.
WCHAR Lower(WCHAR c) {
    const unsigned u = c;
    if (u < 0x80)
        return (u >= 'A' && u <= 'Z') ? WCHAR(u + 32) : c;
    // Latin-1: À..Þ except ×.
    if (u >= 0xC0 && u <= 0xDE && u != 0xD7)
        return WCHAR(u + 32);
    // Latin Extended-A: pairs (upper even, lower odd) with two stretches the
    // other way round; İ and ı have no simple partner, Ÿ maps to ÿ.
    if (u >= 0x100 && u <= 0x17F) {
        if (u == 0x130 || u == 0x131 || u == 0x138 || u == 0x149 || u == 0x17F)
            return c;
        if (u == 0x178)
            return WCHAR(0xFF);
        if ((u >= 0x139 && u <= 0x148) || (u >= 0x179 && u <= 0x17E))
            return (u & 1) ? WCHAR(u + 1) : c;
        return (u & 1) ? c : WCHAR(u + 1);
    }
    // Greek: Α..Ω (no capital final sigma), and the accented capitals.
    if (u >= 0x391 && u <= 0x3A9 && u != 0x3A2)
        return WCHAR(u + 32);
    if (u == 0x386)
        return WCHAR(0x3AC);
    if (u >= 0x388 && u <= 0x38A)
        return WCHAR(u + 37);
    if (u == 0x38C)
        return WCHAR(0x3CC);
    if (u == 0x38E || u == 0x38F)
        return WCHAR(u + 63);
    // Cyrillic: Ѐ..Џ, А..Я, and the pairs of the extended letters.
    if (u >= 0x400 && u <= 0x40F)
        return WCHAR(u + 80);
    if (u >= 0x410 && u <= 0x42F)
        return WCHAR(u + 32);
    if ((u >= 0x460 && u <= 0x481) || (u >= 0x48A && u <= 0x4BF) || (u >= 0x4D0 && u <= 0x52F))
        return (u & 1) ? c : WCHAR(u + 1);
    if (u == 0x4C0)
        return WCHAR(0x4CF);
    if (u >= 0x4C1 && u <= 0x4CE)
        return (u & 1) ? WCHAR(u + 1) : c;
    // Armenian: Ա..Ֆ.
    if (u >= 0x531 && u <= 0x556)
        return WCHAR(u + 48);
    // Full-width Latin: Ａ..Ｚ.
    if (u >= 0xFF21 && u <= 0xFF3A)
        return WCHAR(u + 32);
    return c;
}

} // namespace

extern "C" LPWSTR StrStrIW(LPCWSTR pszFirst, LPCWSTR pszSearch) {
    if (pszFirst == nullptr || pszSearch == nullptr || pszSearch[0] == 0)
        return nullptr;
    for (const WCHAR* start = pszFirst; *start != 0; ++start) {
        size_t i = 0;
        while (pszSearch[i] != 0 && start[i] != 0 && Lower(start[i]) == Lower(pszSearch[i]))
            ++i;
        if (pszSearch[i] == 0)
            return const_cast<LPWSTR>(start);
        if (start[i] == 0)
            return nullptr; // the rest is shorter than what is sought
    }
    return nullptr;
}
