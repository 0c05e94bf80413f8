// soundfile.h with libsndfile: every format it reads; WAV, AIFF, FLAC and
// Ogg Vorbis written.
#include <sndfile.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "soundfile.h"

namespace vorn::render {

struct SoundWriter {
    SNDFILE* file = nullptr;
    std::string path;
    Container container;
};

namespace {

bool fail(std::string* error, std::string text) {
    if (error) *error = std::move(text);
    return false;
}

std::string sndfile_reason(SNDFILE* f) {
    std::string why = sf_strerror(f);
    while (!why.empty() && (why.back() == '.' || why.back() == ' ' || why.back() == '\n')) why.pop_back();
    return why;
}

// Ogg streams carry a serial number that libsndfile draws from the time of
// day. Every page of the file gets a fixed one instead (and its checksum
// again), so that the same samples always give the same bytes.
uint32_t ogg_crc(const unsigned char* data, size_t n) {
    static uint32_t table[256];
    if (!table[1]) {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t r = i << 24;
            for (int k = 0; k < 8; ++k) r = (r & 0x80000000u) ? (r << 1) ^ 0x04c11db7u : r << 1;
            table[i] = r;
        }
    }
    uint32_t crc = 0;
    for (size_t i = 0; i < n; ++i) crc = (crc << 8) ^ table[((crc >> 24) ^ data[i]) & 0xff];
    return crc;
}

void put_le32(unsigned char* p, uint32_t v) {
    for (int k = 0; k < 4; ++k) p[k] = static_cast<unsigned char>(v >> (8 * k));
}

bool fix_ogg_serial(const std::string& path, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in.eof() && in.fail()) return fail(error, "cannot read it back: " + std::string(std::strerror(errno)));
    in.close();
    constexpr uint32_t kSerial = 0x6e726f76;  // "vorn"
    size_t at = 0;
    while (at + 27 <= bytes.size()) {
        unsigned char* page = bytes.data() + at;
        if (std::memcmp(page, "OggS", 4) != 0) return fail(error, "unexpected Ogg page layout");
        const size_t segments = page[26];
        if (at + 27 + segments > bytes.size()) return fail(error, "unexpected Ogg page layout");
        size_t body = 0;
        for (size_t k = 0; k < segments; ++k) body += page[27 + k];
        const size_t size = 27 + segments + body;
        if (at + size > bytes.size()) return fail(error, "unexpected Ogg page layout");
        put_le32(page + 14, kSerial);
        put_le32(page + 22, 0);
        put_le32(page + 22, ogg_crc(page, size));
        at += size;
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) return fail(error, "cannot write it again: " + std::string(std::strerror(errno)));
    return true;
}

int major_format(Container c) {
    switch (c) {
    case Container::Wav: return SF_FORMAT_WAV;
    case Container::Aiff: return SF_FORMAT_AIFF;
    case Container::Flac: return SF_FORMAT_FLAC;
    case Container::Ogg: return SF_FORMAT_OGG;
    }
    return 0;
}

int sub_format(SampleFormat f) {
    switch (f) {
    case SampleFormat::Float: return SF_FORMAT_FLOAT;
    case SampleFormat::Pcm16: return SF_FORMAT_PCM_16;
    case SampleFormat::Pcm24: return SF_FORMAT_PCM_24;
    case SampleFormat::Vorbis: return SF_FORMAT_VORBIS;
    }
    return 0;
}

}  // namespace

bool load_sound(const std::string& path, const LoadOptions& options, Sound* out, std::string* error) {
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) return fail(error, "no such file");
    if (std::filesystem::is_directory(path, ec)) return fail(error, "is a folder, not a sound file");
    if (FILE* probe = std::fopen(path.c_str(), "rb"))
        std::fclose(probe);
    else
        return fail(error, "cannot be read: " + std::string(std::strerror(errno)));
    if (std::filesystem::is_regular_file(path, ec) && std::filesystem::file_size(path, ec) == 0)
        return fail(error, "is an empty file");

    SF_INFO info{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    if (!f) return fail(error, "not a sound file (" + sndfile_reason(nullptr) + ")");
    struct Closer {
        SNDFILE* f;
        ~Closer() { sf_close(f); }
    } closer{f};

    if (info.channels < 1) return fail(error, "has no channels");
    if (options.channel > info.channels)
        return fail(error, "has " + std::to_string(info.channels) + (info.channels == 1 ? " channel" : " channels") +
                               "; --channel " + std::to_string(options.channel) + " asks for more");
    if (info.frames > INT32_MAX) return fail(error, "is too long for a buffer~ (more than 2147483647 frames)");
    if (!options.normalise) sf_command(f, SFC_SET_NORM_FLOAT, nullptr, SF_FALSE);

    const size_t channels = static_cast<size_t>(info.channels);
    std::vector<float> block(65536 * channels);
    std::vector<float> mono;
    mono.reserve(info.frames > 0 ? static_cast<size_t>(info.frames) : 0);
    for (;;) {
        sf_count_t got = sf_readf_float(f, block.data(), 65536);
        if (got <= 0) break;
        for (sf_count_t i = 0; i < got; ++i) {
            const float* frame = block.data() + static_cast<size_t>(i) * channels;
            if (options.channel > 0) {
                mono.push_back(frame[options.channel - 1]);
            } else {
                double sum = 0;
                for (size_t c = 0; c < channels; ++c) sum += frame[c];
                mono.push_back(static_cast<float>(sum / static_cast<double>(channels)));
            }
        }
        if (mono.size() > INT32_MAX) return fail(error, "is too long for a buffer~ (more than 2147483647 frames)");
    }
    if (sf_error(f) != SF_ERR_NO_ERROR) return fail(error, "cannot be read: " + sndfile_reason(f));
    if (mono.empty()) return fail(error, "holds no samples");
    out->samples = std::move(mono);
    out->rate = info.samplerate;
    out->channels = info.channels;
    return true;
}

bool can_write(Container container, SampleFormat format) {
    switch (container) {
    case Container::Wav:
    case Container::Aiff: return format != SampleFormat::Vorbis;
    case Container::Flac: return format == SampleFormat::Pcm16 || format == SampleFormat::Pcm24;
    case Container::Ogg: return format == SampleFormat::Vorbis;
    }
    return false;
}

void SoundWriterDelete::operator()(SoundWriter* w) const {
    if (w && w->file) sf_close(w->file);
    delete w;
}

SoundWriterPtr open_writer(const std::string& path, Container container, SampleFormat format, int rate,
                           std::string* error) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = 1;
    info.format = major_format(container) | sub_format(format);
    if (!can_write(container, format) || !sf_format_check(&info)) {
        fail(error, "this format cannot be written");
        return nullptr;
    }
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!f) {
        fail(error, sndfile_reason(nullptr));
        return nullptr;
    }
    sf_command(f, SFC_SET_ADD_PEAK_CHUNK, nullptr, SF_FALSE);  // it carries a time stamp
    sf_command(f, SFC_SET_CLIPPING, nullptr, SF_TRUE);          // integer formats clip, not wrap
    SoundWriterPtr w(new SoundWriter);
    w->file = f;
    w->path = path;
    w->container = container;
    return w;
}

bool write_samples(SoundWriter& w, const float* samples, size_t n, std::string* error) {
    if (sf_writef_float(w.file, samples, static_cast<sf_count_t>(n)) != static_cast<sf_count_t>(n))
        return fail(error, sndfile_reason(w.file));
    return true;
}

bool close_writer(SoundWriter& w, std::string* error) {
    SNDFILE* f = w.file;
    w.file = nullptr;
    if (int rc = sf_close(f); rc != 0) return fail(error, sf_error_number(rc));
    if (w.container == Container::Ogg) return fix_ogg_serial(w.path, error);
    return true;
}

}  // namespace vorn::render
