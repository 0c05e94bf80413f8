// The renderer's sound-file loader on arbitrary bytes, written to a file
// named as a .wav, .aiff or .flac file (libsndfile picks some formats by
// name). The last byte also picks the channel and the normalisation. A load
// either fails with a reason or gives at least one sample, one channel's
// worth, within a buffer~'s frame count.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "soundfile.h"

using namespace vorn::render;

namespace {

std::string scratch;

[[noreturn]] void broken(const char* what) {
    std::fprintf(stderr, "soundfile fuzzer: invariant broken: %s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char dir[] = "/tmp/vorn-fuzz-sound-XXXXXX";
    std::string shm = "/dev/shm/vorn-fuzz-sound-XXXXXX";
    char* made = mkdtemp(shm.data());
    if (!made) made = mkdtemp(dir);
    if (!made) {
        std::perror("soundfile fuzzer: scratch folder");
        std::abort();
    }
    scratch = made;
    std::atexit([] { std::remove(scratch.c_str()); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const char* const kNames[] = {"/in.wav", "/in.aiff", "/in.flac"};
    const unsigned pick = size ? data[size - 1] : 0;
    const std::string path = scratch + kNames[pick % 3];
    if (FILE* f = std::fopen(path.c_str(), "wb")) {
        if (size) std::fwrite(data, 1, size, f);
        std::fclose(f);
    } else {
        std::perror("soundfile fuzzer: write");
        std::abort();
    }
    LoadOptions options;
    options.channel = static_cast<int>((pick / 3) % 4);
    options.normalise = (pick / 12) % 2 == 0;
    Sound sound;
    std::string why;
    if (load_sound(path, options, &sound, &why)) {
        if (sound.samples.empty() || sound.samples.size() > 2147483647u) broken("1 to 2^31 - 1 samples");
        if (sound.channels < 1 || options.channel > sound.channels) broken("the channel asked for exists");
    } else if (why.empty()) {
        broken("a failed load gives a reason");
    }
    std::remove(path.c_str());
    return 0;
}
