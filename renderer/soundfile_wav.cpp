// soundfile.h without a sound-file library, for builds where libsndfile is
// not at hand (the Windows build): reads WAV, writes 32-bit float WAV.
//
// Reading takes a RIFF/WAVE file of integer samples (8-bit unsigned, 16-,
// 24- or 32-bit signed) or float samples (32 or 64 bits), plain or
// WAVE_FORMAT_EXTENSIBLE, any number of channels, and skips every other
// chunk. Samples become floats exactly as libsndfile makes them: integers
// scaled to -1..1 (or kept as their integer values when not normalising),
// 64-bit floats rounded to 32. Writing gives exactly the bytes that
// soundfile_sndfile.cpp gets from libsndfile for a mono float WAV with its
// PEAK chunk switched off: a 16-byte fmt chunk, a fact chunk with the frame
// count, a PAD chunk of 16 zero bytes where libsndfile had first reserved
// room for the PEAK chunk, then the data chunk, at byte 80.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "platform.h"
#include "soundfile.h"

namespace vorn::render {

struct SoundWriter {
    std::FILE* file = nullptr;
    int rate = 0;
    uint64_t frames = 0;
};

namespace {

constexpr const char* kOnly =
    "this build reads WAV only: 8-, 16-, 24- or 32-bit integer, or 32- or 64-bit float samples";
constexpr uint16_t kFormatPcm = 1;
constexpr uint16_t kFormatFloat = 3;
constexpr uint16_t kFormatExtensible = 0xFFFE;
// The rest of the KSDATAFORMAT_SUBTYPE GUIDs for PCM and IEEE float after
// their leading 16-bit format code (1 or 3): 0000 0010 8000 00aa 00 38 9b 71.
constexpr unsigned char kGuidTail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                         0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
// The writer's header: RIFF, fmt, fact and PAD chunks, then the data chunk's
// own 8 bytes.
constexpr size_t kHeaderBytes = 80;

bool fail(std::string* error, std::string text) {
    if (error) *error = std::move(text);
    return false;
}

uint16_t le16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

uint32_t le32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

void put16(unsigned char*& p, uint16_t v) {
    *p++ = static_cast<unsigned char>(v);
    *p++ = static_cast<unsigned char>(v >> 8);
}

void put32(unsigned char*& p, uint32_t v) {
    for (int k = 0; k < 4; ++k) *p++ = static_cast<unsigned char>(v >> (8 * k));
}

void put_id(unsigned char*& p, const char* id) {
    std::memcpy(p, id, 4);
    p += 4;
}

float float_of(const unsigned char* p) {
    const uint32_t bits = le32(p);
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

// What a fmt chunk describes, for messages about the files it cannot read.
std::string describe_format(uint16_t tag, uint16_t bits) {
    std::string kind = tag == 1 ? "integer" : tag == kFormatFloat ? "float" : "format-" + std::to_string(tag);
    return std::to_string(bits) + "-bit " + kind;
}

struct Layout {
    int channels = 0;
    int rate = 0;
    uint16_t format = 0;  // kFormatPcm or kFormatFloat
    int bytes = 0;        // per sample
    uint64_t data_offset = 0;
    uint64_t data_bytes = 0;
};

bool readable(uint16_t format, uint16_t bits) {
    if (format == kFormatPcm) return bits == 8 || bits == 16 || bits == 24 || bits == 32;
    return format == kFormatFloat && (bits == 32 || bits == 64);
}

// One sample as libsndfile reads it into a float. Integers: 8-bit samples
// are unsigned around 128; normalised, a sample is its value over 2^(bits-1)
// (exact but for 32 bits, rounded once); otherwise its integer value.
float sample_of(const unsigned char* p, const Layout& layout, bool normalise) {
    if (layout.format == kFormatFloat) {
        if (layout.bytes == 4) return float_of(p);
        const uint64_t bits = static_cast<uint64_t>(le32(p)) | (static_cast<uint64_t>(le32(p + 4)) << 32);
        double d;
        std::memcpy(&d, &bits, sizeof d);
        return static_cast<float>(d);
    }
    int32_t value;
    double scale;
    switch (layout.bytes) {
    case 1:
        value = static_cast<int32_t>(p[0]) - 128;
        scale = 1.0 / 128.0;
        break;
    case 2:
        value = static_cast<int16_t>(le16(p));
        scale = 1.0 / 32768.0;
        break;
    case 3:
        // Sign-extended from the top byte, without shifting a negative value.
        value = static_cast<int32_t>(p[0] | (p[1] << 8) | (p[2] << 16)) - ((p[2] & 0x80) ? (1 << 24) : 0);
        scale = 1.0 / 8388608.0;
        break;
    default:
        value = static_cast<int32_t>(le32(p));
        scale = 1.0 / 2147483648.0;
        break;
    }
    return static_cast<float>(normalise ? static_cast<double>(value) * scale : static_cast<double>(value));
}

// Walks the chunks of a RIFF/WAVE file for its fmt and data chunks.
bool read_layout(std::ifstream& in, uint64_t file_size, Layout* out, std::string* error) {
    unsigned char riff[12];
    if (!in.read(reinterpret_cast<char*>(riff), sizeof riff) || std::memcmp(riff, "RIFF", 4) != 0 ||
        std::memcmp(riff + 8, "WAVE", 4) != 0)
        return fail(error, std::string("not a sound file (") + kOnly + ")");
    bool have_format = false, have_data = false;
    uint64_t at = 12;
    while (at + 8 <= file_size && !(have_format && have_data)) {
        unsigned char head[8];
        in.seekg(static_cast<std::streamoff>(at));
        if (!in.read(reinterpret_cast<char*>(head), sizeof head)) break;
        const uint64_t size = le32(head + 4);
        const uint64_t body = at + 8;
        if (std::memcmp(head, "fmt ", 4) == 0 && !have_format) {
            unsigned char fmt[40] = {};
            if (size < 16) return fail(error, "not a sound file (a WAV fmt chunk of " + std::to_string(size) + " bytes)");
            const size_t want = size < sizeof fmt ? static_cast<size_t>(size) : sizeof fmt;
            if (!in.read(reinterpret_cast<char*>(fmt), static_cast<std::streamsize>(want)))
                return fail(error, "not a sound file (its WAV fmt chunk is cut short)");
            uint16_t tag = le16(fmt);
            const uint16_t bits = le16(fmt + 14);
            if (tag == kFormatExtensible) {
                if (want < 40) return fail(error, "not a sound file (a short WAVE_FORMAT_EXTENSIBLE fmt chunk)");
                tag = le16(fmt + 24);
                if (std::memcmp(fmt + 26, kGuidTail, sizeof kGuidTail) != 0)
                    return fail(error, std::string("holds samples of an unknown format; ") + kOnly);
            }
            if (!readable(tag, bits)) return fail(error, "holds " + describe_format(tag, bits) + " samples; " + kOnly);
            out->format = tag;
            out->bytes = bits / 8;
            out->channels = le16(fmt + 2);
            out->rate = static_cast<int>(le32(fmt + 4) > 0x7FFFFFFFu ? 0x7FFFFFFFu : le32(fmt + 4));
            have_format = true;
        } else if (std::memcmp(head, "data", 4) == 0 && !have_data) {
            out->data_offset = body;
            // A data chunk running past the end of the file (a render cut
            // short, say) is read as far as the file goes.
            out->data_bytes = body + size <= file_size ? size : file_size - body;
            have_data = true;
        }
        at = body + size + (size & 1);  // chunks are padded to even lengths
    }
    if (!have_format) return fail(error, std::string("not a sound file (a WAV file without a fmt chunk; ") + kOnly + ")");
    if (!have_data) return fail(error, "not a sound file (a WAV file without a data chunk)");
    return true;
}

}  // namespace

bool load_sound(const std::string& path, const LoadOptions& options, Sound* out, std::string* error) {
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) return fail(error, "no such file");
    if (std::filesystem::is_directory(path, ec)) return fail(error, "is a folder, not a sound file");
    if (std::FILE* probe = std::fopen(path.c_str(), "rb"))
        std::fclose(probe);
    else
        return fail(error, "cannot be read: " + std::string(std::strerror(errno)));
    const uint64_t file_size = std::filesystem::file_size(path, ec);
    if (ec) return fail(error, "cannot be read: " + ec.message());
    if (file_size == 0) return fail(error, "is an empty file");

    std::ifstream in(path, std::ios::binary);
    if (!in) return fail(error, "cannot be read: " + std::string(std::strerror(errno)));
    Layout layout;
    if (!read_layout(in, file_size, &layout, error)) return false;

    if (layout.channels < 1) return fail(error, "has no channels");
    if (options.channel > layout.channels)
        return fail(error, "has " + std::to_string(layout.channels) + (layout.channels == 1 ? " channel" : " channels") +
                               "; --channel " + std::to_string(options.channel) + " asks for more");
    // Float samples are read as they are: normalising concerns integers only.
    const size_t channels = static_cast<size_t>(layout.channels);
    const size_t sample_bytes = static_cast<size_t>(layout.bytes);
    const uint64_t frame_bytes = sample_bytes * channels;
    const uint64_t frames = layout.data_bytes / frame_bytes;
    if (frames > INT32_MAX) return fail(error, "is too long for a buffer~ (more than 2147483647 frames)");

    std::vector<float> mono;
    mono.reserve(static_cast<size_t>(frames));
    in.clear();
    in.seekg(static_cast<std::streamoff>(layout.data_offset));
    // In blocks of at most 16384 samples, however many channels there are.
    constexpr uint64_t kBlock = 16384;
    const uint64_t block_frames = channels < kBlock ? kBlock / channels : 1;
    std::vector<unsigned char> block(static_cast<size_t>(block_frames * frame_bytes));
    for (uint64_t done = 0; done < frames;) {
        const uint64_t want = frames - done < block_frames ? frames - done : block_frames;
        errno = 0;
        if (!in.read(reinterpret_cast<char*>(block.data()), static_cast<std::streamsize>(want * frame_bytes)))
            return fail(error, "cannot be read: " + std::string(errno ? std::strerror(errno) : "a read failed"));
        for (uint64_t i = 0; i < want; ++i) {
            const unsigned char* frame = block.data() + i * frame_bytes;
            if (options.channel > 0) {
                mono.push_back(
                    sample_of(frame + sample_bytes * static_cast<size_t>(options.channel - 1), layout, options.normalise));
            } else {
                double sum = 0;
                for (size_t c = 0; c < channels; ++c) sum += sample_of(frame + sample_bytes * c, layout, options.normalise);
                mono.push_back(static_cast<float>(sum / static_cast<double>(channels)));
            }
        }
        done += want;
    }
    if (mono.empty()) return fail(error, "holds no samples");
    out->samples = std::move(mono);
    out->rate = layout.rate;
    out->channels = layout.channels;
    return true;
}

bool can_write(Container container, SampleFormat format) {
    return container == Container::Wav && format == SampleFormat::Float;
}

void SoundWriterDelete::operator()(SoundWriter* w) const {
    if (w && w->file) std::fclose(w->file);
    delete w;
}

namespace {

// The header libsndfile writes for `frames` mono float samples at `rate`.
void make_header(unsigned char (&h)[kHeaderBytes], int rate, uint64_t frames) {
    const uint32_t data_bytes = static_cast<uint32_t>(frames * 4);
    unsigned char* p = h;
    put_id(p, "RIFF");
    put32(p, static_cast<uint32_t>(kHeaderBytes - 8) + data_bytes);
    put_id(p, "WAVE");
    put_id(p, "fmt ");
    put32(p, 16);
    put16(p, kFormatFloat);
    put16(p, 1);                                   // channels
    put32(p, static_cast<uint32_t>(rate));
    put32(p, static_cast<uint32_t>(rate) * 4);     // bytes per second
    put16(p, 4);                                   // bytes per frame
    put16(p, 32);                                  // bits per sample
    put_id(p, "fact");
    put32(p, 4);
    put32(p, static_cast<uint32_t>(frames));
    put_id(p, "PAD ");
    put32(p, 16);
    std::memset(p, 0, 16);
    p += 16;
    put_id(p, "data");
    put32(p, data_bytes);
}

// The most samples a RIFF size field can count, header included.
constexpr uint64_t kMaxFrames = (0xFFFFFFFFull - (kHeaderBytes - 8)) / 4;

}  // namespace

SoundWriterPtr open_writer(const std::string& path, Container container, SampleFormat format, int rate,
                           std::string* error) {
    if (!can_write(container, format)) {
        fail(error, "this build writes 32-bit float WAV only (-o NAME.wav, --format float)");
        return nullptr;
    }
    if (rate < 1) {
        fail(error, "a rate of " + std::to_string(rate) + " Hz");
        return nullptr;
    }
    std::FILE* f = platform::open_for_writing(path);
    if (!f) {
        fail(error, std::strerror(errno));
        return nullptr;
    }
    SoundWriterPtr w(new SoundWriter);
    w->file = f;
    w->rate = rate;
    unsigned char header[kHeaderBytes];
    make_header(header, rate, 0);
    if (std::fwrite(header, 1, sizeof header, f) != sizeof header) {
        fail(error, std::strerror(errno));
        return nullptr;
    }
    return w;
}

bool write_samples(SoundWriter& w, const float* samples, size_t n, std::string* error) {
    if (n > kMaxFrames - w.frames) return fail(error, "too long for a WAV file (more than 4 GiB of samples)");
    unsigned char bytes[4096];
    size_t done = 0;
    while (done < n) {
        const size_t count = n - done < sizeof bytes / 4 ? n - done : sizeof bytes / 4;
        unsigned char* p = bytes;
        for (size_t i = 0; i < count; ++i) {
            uint32_t bits;
            std::memcpy(&bits, &samples[done + i], sizeof bits);
            put32(p, bits);
        }
        if (std::fwrite(bytes, 4, count, w.file) != count) return fail(error, std::strerror(errno));
        done += count;
    }
    w.frames += n;
    return true;
}

bool close_writer(SoundWriter& w, std::string* error) {
    std::FILE* f = w.file;
    w.file = nullptr;
    // The header again, now with the sizes.
    unsigned char header[kHeaderBytes];
    make_header(header, w.rate, w.frames);
    bool ok = std::fseek(f, 0, SEEK_SET) == 0 && std::fwrite(header, 1, sizeof header, f) == sizeof header;
    int why = errno;
    if (std::fclose(f) != 0 && ok) {
        ok = false;
        why = errno;
    }
    if (!ok) return fail(error, std::strerror(why));
    return true;
}

}  // namespace vorn::render
