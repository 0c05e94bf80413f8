// The sound-file loader (soundfile_sndfile.cpp) on files whose headers claim
// more than they hold. Memory follows the samples actually read: the largest
// single allocation is watched through this program's operator new.
#include <gtest/gtest.h>
#include <sndfile.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <new>
#include <string>
#include <vector>

#include "soundfile.h"

namespace {
std::atomic<size_t> largest{0};
}

// This program's operators new and delete: malloc and free, with the
// largest request noted. GCC, seeing both sides inlined, would flag the pair.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

void* operator new(size_t n) {
    size_t seen = largest.load();
    while (n > seen && !largest.compare_exchange_weak(seen, n)) {
    }
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void* operator new[](size_t n) { return operator new(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }

namespace vorn::render {
namespace {

struct Loader : ::testing::Test {
    Loader() {
        char pattern[] = "/tmp/vorn-loader-XXXXXX";
        dir = mkdtemp(pattern) ? pattern : "/tmp";
    }
    ~Loader() override { std::filesystem::remove_all(dir); }

    std::string write(const std::string& name, int format, int channels, int frames) {
        const std::string path = dir + "/" + name;
        SF_INFO info{};
        info.samplerate = 44100;
        info.channels = channels;
        info.format = format;
        SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
        EXPECT_NE(f, nullptr) << sf_strerror(nullptr);
        std::vector<float> samples(static_cast<size_t>(frames * channels), 0.25f);
        sf_writef_float(f, samples.data(), frames);
        sf_close(f);
        return path;
    }
    static std::vector<unsigned char> bytes(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    static void put(const std::string& path, const std::vector<unsigned char>& b) {
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(b.data()),
                                                    static_cast<std::streamsize>(b.size()));
    }
    std::string dir;
};

// A FLAC stream header may claim any number of frames: the loader reads the
// frames that are there, reserving no memory for the claim.
TEST_F(Loader, AFrameCountClaimedByTheHeaderIsNotTrusted) {
    const std::string path = write("claim.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 1, 300);
    std::vector<unsigned char> b = bytes(path);
    ASSERT_GT(b.size(), 26u);
    ASSERT_EQ(std::string(b.begin(), b.begin() + 4), "fLaC");
    // STREAMINFO: the 36-bit total sample count ends at byte 25.
    b[21] = static_cast<unsigned char>(b[21] & 0xf0);
    b[22] = 0x7f;
    b[23] = 0xff;
    b[24] = 0xff;
    b[25] = 0xf0;
    put(path, b);

    largest = 0;
    Sound sound;
    std::string why;
    const bool loaded = load_sound(path, LoadOptions{}, &sound, &why);
    EXPECT_LT(largest.load(), size_t{4} << 20);
    if (loaded) EXPECT_LE(sound.samples.size(), 300u);
    else EXPECT_FALSE(why.empty());
}

// Many channels: the read block stays the same size in floats.
TEST_F(Loader, ManyChannelsDoNotWidenTheReadBlock) {
    const std::string path = write("wide.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 1000, 3);
    largest = 0;
    Sound sound;
    std::string why;
    ASSERT_TRUE(load_sound(path, LoadOptions{}, &sound, &why)) << why;
    EXPECT_EQ(sound.samples, std::vector<float>(3, 0.25f));
    EXPECT_EQ(sound.channels, 1000);
    EXPECT_LT(largest.load(), size_t{1} << 20);
    LoadOptions last;
    last.channel = 1000;
    ASSERT_TRUE(load_sound(path, last, &sound, &why)) << why;
    EXPECT_EQ(sound.samples, std::vector<float>(3, 0.25f));
}

}  // namespace
}  // namespace vorn::render
