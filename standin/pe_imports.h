// The import table of a Windows (PE) image as the Windows loader maps it,
// read with plain byte offsets rather than <windows.h>, so that the same
// reading serves the Windows host (system_win.cpp, which redirects an
// external's clock) and a check on any system (tests/windows/pe_probe.cpp,
// which maps vorn~.mxe as Windows would and lists what this finds).
#pragma once

#include <cstdint>
#include <cstring>

namespace standin::pe {

// One import of the image: the DLL it comes from, the function's name (null
// when it is imported by ordinal, or when the image has no lookup table
// left and only the bound address is known), and its slot in the import
// address table: `width` bytes (4 in a 32-bit image, 8 in a 64-bit one).
struct Import {
    const char* dll;
    const char* function;
    unsigned char* slot;
    unsigned width;
};

namespace detail {

inline uint16_t u16(const unsigned char* p) {
    uint16_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
inline uint32_t u32(const unsigned char* p) {
    uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
inline uint64_t u64(const unsigned char* p) {
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Whether `text` starts with `prefix`, letters compared without case.
inline bool starts_with_nocase(const char* text, const char* prefix) {
    for (; *prefix; ++text, ++prefix) {
        const char a = *text >= 'A' && *text <= 'Z' ? static_cast<char>(*text - 'A' + 'a') : *text;
        if (a != *prefix) return false;  // prefixes are lower case
    }
    return true;
}

}  // namespace detail

// Calls visit(const Import&) for every import of the image mapped at `base`
// (little-endian host assumed, as on every Windows). False if `base` holds
// no PE image.
template <typename Visit>
bool for_each_import(unsigned char* base, Visit visit) {
    using namespace detail;
    if (u16(base) != 0x5A4D) return false;  // "MZ"
    const unsigned char* nt = base + u32(base + 0x3C);
    if (std::memcmp(nt, "PE\0\0", 4) != 0) return false;
    const unsigned char* optional = nt + 24;
    const uint16_t magic = u16(optional);
    if (magic != 0x10B && magic != 0x20B) return false;
    const bool wide = magic == 0x20B;  // PE32+
    const unsigned width = wide ? 8 : 4;
    const uint32_t directories = u32(optional + (wide ? 108 : 92));
    if (directories < 2) return true;  // no import directory
    const unsigned char* import_dir = optional + (wide ? 112 : 96) + 8;
    const uint32_t table = u32(import_dir);
    if (table == 0 || u32(import_dir + 4) == 0) return true;  // imports nothing

    for (unsigned char* d = base + table;; d += 20) {
        const uint32_t lookup = u32(d), name = u32(d + 12), first = u32(d + 16);
        if (name == 0 && first == 0) break;  // the all-zero descriptor ends the table
        const char* dll = reinterpret_cast<const char*>(base + name);
        for (uint32_t k = 0;; ++k) {
            unsigned char* slot = base + first + k * width;
            const unsigned char* entry = lookup ? base + lookup + k * width : slot;
            const uint64_t value = wide ? u64(entry) : u32(entry);
            if (value == 0) break;
            const bool by_ordinal = wide ? (value >> 63) != 0 : (value >> 31) != 0;
            const char* function = nullptr;
            if (lookup && !by_ordinal) function = reinterpret_cast<const char*>(base + (value & 0x7FFFFFFF) + 2);
            visit(Import{dll, function, slot, width});
        }
    }
    return true;
}

// msvcrt.dll, msvcr*.dll, ucrtbase.dll and the api-ms-win-crt-* sets: the
// C runtimes an external may read the clock from.
inline bool is_c_runtime(const char* dll) {
    return detail::starts_with_nocase(dll, "msvcr") || detail::starts_with_nocase(dll, "ucrtbase") ||
           detail::starts_with_nocase(dll, "api-ms-win-crt-");
}

// The C runtime's calendar-clock functions.
enum class Clock { None, Time, Time32, Time64 };

inline Clock clock_function(const char* name) {
    if (!name) return Clock::None;
    if (std::strcmp(name, "time") == 0) return Clock::Time;
    if (std::strcmp(name, "_time32") == 0) return Clock::Time32;
    if (std::strcmp(name, "_time64") == 0) return Clock::Time64;
    return Clock::None;
}

}  // namespace standin::pe
