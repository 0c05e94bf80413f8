// The Windows build's sound-file layer (renderer/soundfile_wav.cpp: reads
// integer and float WAV, writes 32-bit float WAV, no library), built here for
// Linux: it must write exactly the bytes that the Linux build writes through
// libsndfile, and read WAV files as libsndfile reads them.
#include <gtest/gtest.h>
#include <sndfile.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "soundfile.h"

namespace vorn::render {
namespace {

namespace fs = std::filesystem;

class WavFile : public ::testing::Test {
protected:
    WavFile() {
        char pattern[] = "/tmp/vorn-wav-XXXXXX";
        dir_ = mkdtemp(pattern);
    }
    ~WavFile() override { fs::remove_all(dir_); }
    std::string path(const std::string& name) const { return dir_ + "/" + name; }
    std::string dir_;
};

std::string bytes_of(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// What soundfile_sndfile.cpp does to write a mono float WAV.
void write_with_libsndfile(const std::string& path, const std::vector<float>& samples, int rate) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(f, nullptr) << sf_strerror(nullptr);
    sf_command(f, SFC_SET_ADD_PEAK_CHUNK, nullptr, SF_FALSE);
    sf_command(f, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    for (size_t at = 0; at < samples.size(); at += 64) {
        const size_t n = std::min<size_t>(64, samples.size() - at);
        ASSERT_EQ(sf_writef_float(f, samples.data() + at, static_cast<sf_count_t>(n)), static_cast<sf_count_t>(n));
    }
    ASSERT_EQ(sf_close(f), 0);
}

void write_with_wav(const std::string& path, const std::vector<float>& samples, int rate, size_t block) {
    std::string why;
    SoundWriterPtr w = open_writer(path, Container::Wav, SampleFormat::Float, rate, &why);
    ASSERT_TRUE(w) << why;
    for (size_t at = 0; at < samples.size(); at += block) {
        const size_t n = std::min(block, samples.size() - at);
        ASSERT_TRUE(write_samples(*w, samples.data() + at, n, &why)) << why;
    }
    ASSERT_TRUE(close_writer(*w, &why)) << why;
}

// Any file libsndfile writes, interleaved frames.
void write_file(const std::string& path, const std::vector<float>& frames, int rate, int channels, int format,
                bool peak) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = format;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(f, nullptr) << sf_strerror(nullptr);
    sf_command(f, SFC_SET_ADD_PEAK_CHUNK, nullptr, peak ? SF_TRUE : SF_FALSE);
    sf_command(f, SFC_SET_CLIPPING, nullptr, SF_TRUE);  // integers from -1.5..1.5 reach both extremes
    ASSERT_EQ(sf_writef_float(f, frames.data(), static_cast<sf_count_t>(frames.size() / channels)),
              static_cast<sf_count_t>(frames.size() / channels));
    ASSERT_EQ(sf_close(f), 0);
}

// What soundfile_sndfile.cpp reads: one channel (1-based) or the mean.
std::vector<float> read_with_libsndfile(const std::string& path, int channel, int* rate, bool normalise = true) {
    SF_INFO info{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    EXPECT_NE(f, nullptr);
    if (!f) return {};
    if (!normalise) sf_command(f, SFC_SET_NORM_FLOAT, nullptr, SF_FALSE);
    std::vector<float> frames(static_cast<size_t>(info.frames * info.channels));
    const sf_count_t got = sf_readf_float(f, frames.data(), info.frames);
    sf_close(f);
    std::vector<float> mono;
    for (sf_count_t i = 0; i < got; ++i) {
        const float* frame = frames.data() + i * info.channels;
        if (channel > 0) {
            mono.push_back(frame[channel - 1]);
        } else {
            double sum = 0;
            for (int c = 0; c < info.channels; ++c) sum += frame[c];
            mono.push_back(static_cast<float>(sum / info.channels));
        }
    }
    *rate = info.samplerate;
    return mono;
}

std::vector<float> noise(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> d(-1.5f, 1.5f);
    std::vector<float> v(n);
    for (float& x : v) x = d(gen);
    return v;
}

// Bit-for-bit equality, NaNs included.
void expect_same_bits(const std::vector<float>& a, const std::vector<float>& b) {
    ASSERT_EQ(a.size(), b.size());
    for (size_t i = 0; i < a.size(); ++i) {
        uint32_t x, y;
        std::memcpy(&x, &a[i], 4);
        std::memcpy(&y, &b[i], 4);
        ASSERT_EQ(x, y) << "sample " << i;
    }
}

TEST_F(WavFile, WritesTheBytesLibsndfileWrites) {
    struct Case {
        int rate;
        size_t frames;
        size_t block;
    };
    for (Case c : {Case{44100, 1, 64}, Case{48000, 1000, 64}, Case{22050, 65537, 4096}, Case{1, 3, 1},
                   Case{768000, 4096, 7}, Case{96000, 100000, 100000}}) {
        std::vector<float> samples = noise(c.frames, static_cast<unsigned>(c.frames));
        // Values that must pass through untouched, float WAV being raw floats.
        const float special[] = {0.0f, -0.0f, 1.0f, -1.0f, 1e30f, -1e-40f, std::numeric_limits<float>::infinity(),
                                 std::numeric_limits<float>::quiet_NaN()};
        for (size_t k = 0; k < samples.size() && k < std::size(special); ++k) samples[samples.size() - 1 - k] = special[k];
        write_with_libsndfile(path("sndfile.wav"), samples, c.rate);
        write_with_wav(path("wav.wav"), samples, c.rate, c.block);
        const std::string expected = bytes_of(path("sndfile.wav"));
        EXPECT_EQ(expected.size(), 80 + 4 * c.frames);
        EXPECT_TRUE(expected == bytes_of(path("wav.wav"))) << c.rate << " Hz, " << c.frames << " frames";
    }
}

TEST_F(WavFile, RewritesWhatVornWritesByteForByte) {
    const std::string command = "cd " + dir_ + " && " VORN_EXE " render -o out.wav -a \"5 src 20 0 15 150\"" +
                                " -m \"init 2 0 -1200 700\" -p scan:0.5 -d 0.5s --seed 9 -q >/dev/null 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0);
    Sound s;
    std::string why;
    ASSERT_TRUE(load_sound(path("out.wav"), LoadOptions{}, &s, &why)) << why;
    EXPECT_EQ(s.rate, 44100);
    EXPECT_EQ(s.channels, 1);
    EXPECT_EQ(s.samples.size(), 22050u);
    write_with_wav(path("again.wav"), s.samples, s.rate, 64);
    EXPECT_TRUE(bytes_of(path("out.wav")) == bytes_of(path("again.wav")));
}

TEST_F(WavFile, ReadsWavAsLibsndfileDoes) {
    struct Case {
        const char* what;
        int channels;
        int format;
        bool peak;
    };
    for (Case c : {Case{"float, mono", 1, SF_FORMAT_WAV | SF_FORMAT_FLOAT, false},
                   Case{"float, mono with a PEAK chunk", 1, SF_FORMAT_WAV | SF_FORMAT_FLOAT, true},
                   Case{"float, stereo", 2, SF_FORMAT_WAV | SF_FORMAT_FLOAT, true},
                   Case{"float, WAVE_FORMAT_EXTENSIBLE, 3 channels", 3, SF_FORMAT_WAVEX | SF_FORMAT_FLOAT, true},
                   Case{"float, WAVE_FORMAT_EXTENSIBLE, mono", 1, SF_FORMAT_WAVEX | SF_FORMAT_FLOAT, false},
                   Case{"double, stereo", 2, SF_FORMAT_WAV | SF_FORMAT_DOUBLE, false},
                   Case{"8-bit, mono", 1, SF_FORMAT_WAV | SF_FORMAT_PCM_U8, false},
                   Case{"16-bit, mono", 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16, false},
                   Case{"16-bit, stereo", 2, SF_FORMAT_WAV | SF_FORMAT_PCM_16, false},
                   Case{"24-bit, stereo", 2, SF_FORMAT_WAV | SF_FORMAT_PCM_24, false},
                   Case{"32-bit, mono", 1, SF_FORMAT_WAV | SF_FORMAT_PCM_32, false},
                   Case{"16-bit, WAVE_FORMAT_EXTENSIBLE, 3 channels", 3, SF_FORMAT_WAVEX | SF_FORMAT_PCM_16, false},
                   Case{"24-bit, WAVE_FORMAT_EXTENSIBLE, 6 channels", 6, SF_FORMAT_WAVEX | SF_FORMAT_PCM_24, false},
                   Case{"32-bit, WAVE_FORMAT_EXTENSIBLE, stereo", 2, SF_FORMAT_WAVEX | SF_FORMAT_PCM_32, false}}) {
        SCOPED_TRACE(c.what);
        const std::vector<float> frames = noise(static_cast<size_t>(70001 * c.channels), 5);
        write_file(path("in.wav"), frames, 32000, c.channels, c.format, c.peak);
        for (int channel = 0; channel <= c.channels; ++channel)
            for (bool normalise : {true, false}) {
                int rate = 0;
                const std::vector<float> expected = read_with_libsndfile(path("in.wav"), channel, &rate, normalise);
                Sound s;
                std::string why;
                ASSERT_TRUE(load_sound(path("in.wav"), LoadOptions{channel, normalise}, &s, &why)) << why;
                EXPECT_EQ(s.rate, rate);
                EXPECT_EQ(s.channels, c.channels);
                expect_same_bits(expected, s.samples);
            }
    }
}

TEST_F(WavFile, ReadsACutShortFileAsFarAsItGoes) {
    write_file(path("in.wav"), noise(2000, 6), 44100, 2, SF_FORMAT_WAV | SF_FORMAT_FLOAT, false);
    fs::resize_file(path("in.wav"), fs::file_size(path("in.wav")) - 4001);  // 500 frames and a bit gone
    int rate = 0;
    const std::vector<float> expected = read_with_libsndfile(path("in.wav"), 0, &rate);
    Sound s;
    std::string why;
    ASSERT_TRUE(load_sound(path("in.wav"), LoadOptions{}, &s, &why)) << why;
    EXPECT_EQ(s.samples.size(), 499u);
    expect_same_bits(expected, s.samples);
}

TEST_F(WavFile, SaysWhatItCannotRead) {
    auto error = [&](const std::string& name, LoadOptions options = {}) {
        Sound s;
        std::string why;
        EXPECT_FALSE(load_sound(path(name), options, &s, &why));
        return why;
    };
    EXPECT_EQ(error("missing.wav"), "no such file");
    fs::create_directory(path("folder.wav"));
    EXPECT_EQ(error("folder.wav"), "is a folder, not a sound file");
    std::ofstream(path("empty.wav")).close();
    EXPECT_EQ(error("empty.wav"), "is an empty file");
    const std::string only =
        "this build reads WAV only: 8-, 16-, 24- or 32-bit integer, or 32- or 64-bit float samples";
    std::ofstream(path("text.wav")) << "not a sound at all\n";
    EXPECT_EQ(error("text.wav"), "not a sound file (" + only + ")");

    write_file(path("ulaw.wav"), noise(100, 7), 44100, 1, SF_FORMAT_WAV | SF_FORMAT_ULAW, false);
    EXPECT_EQ(error("ulaw.wav"), "holds 8-bit format-7 samples; " + only);
    write_file(path("adpcm.wav"), noise(1000, 7), 44100, 1, SF_FORMAT_WAV | SF_FORMAT_IMA_ADPCM, false);
    EXPECT_EQ(error("adpcm.wav"), "holds 4-bit format-17 samples; " + only);
    write_file(path("x.aiff"), noise(100, 7), 44100, 1, SF_FORMAT_AIFF | SF_FORMAT_FLOAT, false);
    EXPECT_EQ(error("x.aiff"), "not a sound file (" + only + ")");

    write_file(path("stereo.wav"), noise(200, 8), 44100, 2, SF_FORMAT_WAV | SF_FORMAT_FLOAT, false);
    EXPECT_EQ(error("stereo.wav", LoadOptions{3, true}), "has 2 channels; --channel 3 asks for more");

    // A header and no samples.
    write_with_wav(path("none.wav"), {}, 44100, 64);
    EXPECT_EQ(error("none.wav"), "holds no samples");
    // A fmt chunk and no data chunk.
    std::string header = bytes_of(path("none.wav")).substr(0, 36);
    std::ofstream(path("nodata.wav"), std::ios::binary) << header;
    EXPECT_EQ(error("nodata.wav"), "not a sound file (a WAV file without a data chunk)");
}

TEST_F(WavFile, WritesFloatWavOnly) {
    EXPECT_TRUE(can_write(Container::Wav, SampleFormat::Float));
    for (Container c : {Container::Wav, Container::Aiff, Container::Flac, Container::Ogg})
        for (SampleFormat f : {SampleFormat::Float, SampleFormat::Pcm16, SampleFormat::Pcm24, SampleFormat::Vorbis}) {
            if (c == Container::Wav && f == SampleFormat::Float) continue;
            EXPECT_FALSE(can_write(c, f));
            std::string why;
            EXPECT_FALSE(open_writer(path("x"), c, f, 44100, &why));
            EXPECT_EQ(why, "this build writes 32-bit float WAV only (-o NAME.wav, --format float)");
        }
}

}  // namespace
}  // namespace vorn::render
