// soundfile.h with libsndfile: every format it reads; WAV, AIFF, FLAC and
// Ogg Vorbis written.
#include <sndfile.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>

#include "soundfile.h"

namespace vorn::render {

// The file being written goes through our own stream (libsndfile's virtual
// I/O), so that every failed write is seen here: libsndfile does not report
// all of them, FLAC's last blocks written at close among them.
struct SoundWriter {
    SNDFILE* file = nullptr;
    std::string path;
    Container container;
    std::fstream stream;
    std::string write_error;  // the first failed write or seek, if any
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

// libsndfile's virtual I/O on SoundWriter::stream.
void note_failure(SoundWriter& w) {
    if (!w.write_error.empty()) return;
    const int e = errno;
    w.write_error = e ? std::strerror(e) : "the system refused the data";
}

sf_count_t vio_length(void* user) {
    auto& w = *static_cast<SoundWriter*>(user);
    w.stream.clear();
    const std::streampos here = w.stream.tellp();
    w.stream.seekp(0, std::ios::end);
    const std::streampos end = w.stream.tellp();
    w.stream.seekp(here);
    if (!w.stream || here < 0 || end < 0) {
        note_failure(w);
        return -1;
    }
    return static_cast<sf_count_t>(end);
}

sf_count_t vio_seek(sf_count_t offset, int whence, void* user) {
    auto& w = *static_cast<SoundWriter*>(user);
    w.stream.clear();
    const auto dir = whence == SEEK_SET ? std::ios::beg : whence == SEEK_CUR ? std::ios::cur : std::ios::end;
    w.stream.seekp(static_cast<std::streamoff>(offset), dir);
    const std::streampos at = w.stream.tellp();
    if (!w.stream || at < 0) {
        note_failure(w);
        return -1;
    }
    w.stream.seekg(at);
    return static_cast<sf_count_t>(at);
}

sf_count_t vio_read(void* ptr, sf_count_t count, void* user) {
    auto& w = *static_cast<SoundWriter*>(user);
    w.stream.clear();
    w.stream.seekg(w.stream.tellp());
    w.stream.read(static_cast<char*>(ptr), static_cast<std::streamsize>(count));
    const sf_count_t got = static_cast<sf_count_t>(w.stream.gcount());
    w.stream.clear();
    w.stream.seekp(w.stream.tellg());
    return got;
}

sf_count_t vio_write(const void* ptr, sf_count_t count, void* user) {
    auto& w = *static_cast<SoundWriter*>(user);
    w.stream.clear();
    errno = 0;
    w.stream.write(static_cast<const char*>(ptr), static_cast<std::streamsize>(count));
    // A stream buffers: a write that reaches the disk later fails there,
    // and the flush at close reports it.
    if (!w.stream) {
        note_failure(w);
        return 0;
    }
    return count;
}

sf_count_t vio_tell(void* user) {
    auto& w = *static_cast<SoundWriter*>(user);
    w.stream.clear();
    const std::streampos at = w.stream.tellp();
    return at < 0 ? -1 : static_cast<sf_count_t>(at);
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

    // The header's frame and channel counts are claims: memory grows with
    // the samples actually read, in blocks of at most 16384 floats.
    constexpr size_t kBlock = 16384;
    const size_t channels = static_cast<size_t>(info.channels);
    const size_t block_frames = channels < kBlock ? kBlock / channels : 1;
    // Filled by each read before it is looked at, so not zeroed first.
    const auto block = std::make_unique_for_overwrite<float[]>(block_frames * channels);
    std::vector<float> mono;
    mono.reserve(info.frames > 0 ? static_cast<size_t>(std::min<sf_count_t>(info.frames, kBlock)) : 0);
    for (;;) {
        sf_count_t got = sf_readf_float(f, block.get(), static_cast<sf_count_t>(block_frames));
        if (got <= 0) break;
        for (sf_count_t i = 0; i < got; ++i) {
            const float* frame = block.get() + static_cast<size_t>(i) * channels;
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
    SoundWriterPtr w(new SoundWriter);
    w->path = path;
    w->container = container;
    errno = 0;
    w->stream.open(path, std::ios::in | std::ios::out | std::ios::binary | std::ios::trunc);
    if (!w->stream.is_open()) {
        fail(error, errno ? std::strerror(errno) : "cannot be opened");
        return nullptr;
    }
    static SF_VIRTUAL_IO io{vio_length, vio_seek, vio_read, vio_write, vio_tell};
    SNDFILE* f = sf_open_virtual(&io, SFM_WRITE, &info, w.get());
    if (!f) {
        fail(error, !w->write_error.empty() ? w->write_error : sndfile_reason(nullptr));
        return nullptr;
    }
    sf_command(f, SFC_SET_ADD_PEAK_CHUNK, nullptr, SF_FALSE);  // it carries a time stamp
    sf_command(f, SFC_SET_CLIPPING, nullptr, SF_TRUE);          // integer formats clip, not wrap
    w->file = f;
    if (!w->write_error.empty()) {
        fail(error, w->write_error);
        return nullptr;
    }
    return w;
}

bool write_samples(SoundWriter& w, const float* samples, size_t n, std::string* error) {
    const sf_count_t done = sf_writef_float(w.file, samples, static_cast<sf_count_t>(n));
    if (!w.write_error.empty()) return fail(error, w.write_error);
    if (done != static_cast<sf_count_t>(n)) return fail(error, sndfile_reason(w.file));
    return true;
}

bool close_writer(SoundWriter& w, std::string* error) {
    SNDFILE* f = w.file;
    w.file = nullptr;
    const int rc = sf_close(f);
    if (!w.write_error.empty()) return fail(error, w.write_error);
    if (rc != 0) return fail(error, sf_error_number(rc));
    errno = 0;
    w.stream.flush();
    if (!w.stream) {
        note_failure(w);
        return fail(error, w.write_error);
    }
    w.stream.close();
    if (w.stream.fail()) {
        note_failure(w);
        return fail(error, w.write_error);
    }
    if (w.container == Container::Ogg) return fix_ogg_serial(w.path, error);
    return true;
}

}  // namespace vorn::render
