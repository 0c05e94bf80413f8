// Maps a Windows DLL as the Windows loader would (headers and sections at
// their addresses, nothing bound) and reads its imports with the stand-in
// host's own reader (standin/pe_imports.h): one line per import,
//   DLL <TAB> FUNCTION <TAB> SLOT
// SLOT being the import address table slot's address relative to the image
// (hex), then one line per slot that the Windows host would point at its
// fixed clock:
//   clock <TAB> DLL <TAB> FUNCTION <TAB> SLOT
// check_artefacts.sh holds this against objdump's reading of the same file.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "pe_imports.h"

namespace {

uint32_t u32(const std::vector<unsigned char>& b, size_t at) {
    uint32_t v = 0;
    if (at + 4 <= b.size()) std::memcpy(&v, b.data() + at, 4);
    return v;
}

uint16_t u16(const std::vector<unsigned char>& b, size_t at) {
    uint16_t v = 0;
    if (at + 2 <= b.size()) std::memcpy(&v, b.data() + at, 2);
    return v;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: pe_probe FILE.dll\n");
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    const std::vector<unsigned char> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (file.size() < 0x40 || u16(file, 0) != 0x5A4D) {
        std::fprintf(stderr, "pe_probe: %s: not a PE file\n", argv[1]);
        return 1;
    }
    const size_t nt = u32(file, 0x3C), optional = nt + 24;
    const uint32_t image_size = u32(file, optional + 56), header_size = u32(file, optional + 60);
    const uint16_t sections = u16(file, nt + 6), optional_size = u16(file, nt + 20);
    if (image_size == 0 || image_size > (1u << 30) || header_size > file.size()) {
        std::fprintf(stderr, "pe_probe: %s: unexpected header\n", argv[1]);
        return 1;
    }
    std::vector<unsigned char> image(image_size, 0);
    std::memcpy(image.data(), file.data(), header_size);
    for (uint16_t k = 0; k < sections; ++k) {
        const size_t s = optional + optional_size + 40u * k;
        const uint32_t address = u32(file, s + 12), raw_size = u32(file, s + 16), raw_at = u32(file, s + 20);
        if (raw_at + static_cast<uint64_t>(raw_size) > file.size() || address + static_cast<uint64_t>(raw_size) > image_size) {
            std::fprintf(stderr, "pe_probe: %s: section %u out of bounds\n", argv[1], k);
            return 1;
        }
        std::memcpy(image.data() + address, file.data() + raw_at, raw_size);
    }
    unsigned char* base = image.data();
    std::vector<standin::pe::Import> clocks;
    const bool ok = standin::pe::for_each_import(base, [&](const standin::pe::Import& i) {
        std::printf("%s\t%s\t%lx\n", i.dll, i.function ? i.function : "(ordinal)",
                    static_cast<unsigned long>(i.slot - base));
        if (standin::pe::is_c_runtime(i.dll) && standin::pe::clock_function(i.function) != standin::pe::Clock::None)
            clocks.push_back(i);
    });
    if (!ok) {
        std::fprintf(stderr, "pe_probe: %s: no PE image\n", argv[1]);
        return 1;
    }
    for (const auto& i : clocks)
        std::printf("clock\t%s\t%s\t%lx\n", i.dll, i.function, static_cast<unsigned long>(i.slot - base));
    return 0;
}
