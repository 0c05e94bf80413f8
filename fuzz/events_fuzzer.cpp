// Host events on the real vorn~.mxe in the stand-in host. The input is read
// as a program of events: box creation with any atoms (any type codes),
// numbers and lists at any inlet, messages with any atoms, typed text,
// buffer~ objects made, replaced, deleted, flagged, displaced by a table,
// compiles at any rate and vector size, and vectors run with any positions.
// After every event each vorn~ keeps its settings in range; after every
// vector its output is finite while every sample any buffer~ has held is
// tame. Buffers and vectors are allocated to their exact size, so that
// AddressSanitizer sees a read past either end.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "granulator_object.h"
#include "host.h"

namespace {

// Work per input, in grain-samples (vector size times active grains, plus a
// grain per restart at a compile): keeps one input below a millisecond.
constexpr int64_t kBudget = 1 << 15;
constexpr int kMaxBoxes = 4;
constexpr size_t kMaxFrames = 4096;

class Bytes {
public:
    Bytes(const uint8_t* data, size_t size) : p_(data), end_(data + size) {}
    bool done() const { return p_ == end_; }
    uint8_t u8() { return p_ < end_ ? *p_++ : 0; }
    uint16_t u16() { return static_cast<uint16_t>(u8() | (u8() << 8)); }
    uint32_t u32() { return static_cast<uint32_t>(u16()) | (static_cast<uint32_t>(u16()) << 16); }
    template <typename T, size_t N>
    const T& pick(const T (&list)[N]) { return list[u8() % N]; }

private:
    const uint8_t* p_;
    const uint8_t* end_;
};

const float kFloats[] = {0.0f, -0.0f, 1.0f, -1.0f, 0.5f, 2.0f, 3.0f, 10.0f, 1024.0f, 100.0f, 60.0f, -1200.0f, 700.0f,
                         std::numeric_limits<float>::quiet_NaN(), -std::numeric_limits<float>::quiet_NaN(),
                         std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity(),
                         std::numeric_limits<float>::denorm_min(), 1e-40f, -1e-40f,
                         std::numeric_limits<float>::min(), std::numeric_limits<float>::max(),
                         -std::numeric_limits<float>::max(), 1e30f, -1e30f, 2147483648.0f, -2147483648.0f,
                         4294967296.0f, 9.3e18f, -9.3e18f, 1e-3f, 44100.0f};

const double kDoubles[] = {0.0, -0.0, 1.0, -1.0, 4.0, 3.999, 60.0, 1e-3, 1e300, -1e300,
                           std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
                           -std::numeric_limits<double>::infinity(), std::numeric_limits<double>::denorm_min(),
                           1e-310, std::numeric_limits<double>::max(), -std::numeric_limits<double>::max(),
                           2147483648.0, -2147483649.0, 9.3e18, 1200.0, -2400.0, 1e6, 44100.0};

float any_float(Bytes& in) {
    switch (in.u8() % 4) {
    case 0: return in.pick(kFloats);
    case 1: {
        uint32_t bits = in.u32();
        float f;
        std::memcpy(&f, &bits, sizeof f);
        return f;
    }
    case 2: return static_cast<float>(static_cast<int16_t>(in.u16())) / 64.0f;
    default: return static_cast<float>(in.u8());
    }
}

double any_double(Bytes& in) {
    switch (in.u8() % 4) {
    case 0: return in.pick(kDoubles);
    case 1: {
        uint64_t bits = in.u32() | (static_cast<uint64_t>(in.u32()) << 32);
        double d;
        std::memcpy(&d, &bits, sizeof d);
        return d;
    }
    case 2: return any_float(in);
    default: return static_cast<double>(static_cast<int16_t>(in.u16()));
    }
}

// A bounded set of names, so that the host's symbol table (never freed, as
// in any host) stays small however long the fuzzer runs.
const char* const kNames[] = {"a", "b", "src", "", "buffer~", "vorn~", "table", "set", "a b", "%s%n%d"};
const char* const kBufferNames[] = {"a", "b", "src"};

MaxAtom any_atom(Bytes& in) {
    MaxAtom a{};
    a.value.w_sym = nullptr;
    switch (in.u8() % 8) {
    case 0:
    case 1:
        a.type = A_LONG;
        a.value.w_long = in.u8() & 1 ? static_cast<int32_t>(in.u32()) : static_cast<int8_t>(in.u8());
        break;
    case 2:
    case 3:
        a.type = A_FLOAT;
        a.value.w_float = any_float(in);
        break;
    case 4:
    case 5:
        a.type = A_SYM;
        a.value.w_sym = in.u8() == 255 ? nullptr : gensym(in.pick(kNames));
        break;
    case 6: {
        // Codes a host may also pass (A_NOTHING, A_GIMME, A_CANT and the
        // punctuation codes), with a raw value.
        static const int16_t kCodes[] = {A_NOTHING, 4, 5, 6, 7, A_GIMME, A_CANT, 10, 11};
        a.type = in.pick(kCodes);
        a.value.w_long = static_cast<int32_t>(in.u32());
        break;
    }
    default:
        a.type = static_cast<int16_t>(in.u16());
        if (a.type == A_SYM) a.type = A_NOTHING;  // a symbol atom always holds a symbol or null
        a.value.w_long = static_cast<int32_t>(in.u32());
        break;
    }
    return a;
}

std::vector<MaxAtom> any_atoms(Bytes& in, size_t most) {
    size_t n = in.u8();
    if (n >= 250) n = in.u16() % (most + 1);  // now and then a long one
    else n %= 9;
    std::vector<MaxAtom> atoms;
    for (size_t k = 0; k < n; ++k) atoms.push_back(any_atom(in));
    return atoms;
}

// Typed text from a bounded vocabulary of words.
std::string any_text(Bytes& in) {
    static const char* const kWords[] = {"a",     "b",     "src",  "set", "overlap", "print", "loadbang", "version",
                                         "list",  "int",   "float", "dsp", "0",      "1",     "3",        "10",
                                         "-5",    "700",   "0.5",  "1e3", "-1e39",   "nan",   "inf",      "1e-45",
                                         "2147483648", "-2147483649", "99999999999", "+", "-", ".", "1.", "bang"};
    std::string text;
    const int words = in.u8() % 8;
    for (int k = 0; k < words; ++k) {
        if (k) text += in.u8() & 1 ? " " : "\t";
        text += in.pick(kWords);
    }
    return text;
}

struct World {
    std::vector<standin::Box*> boxes;
    bool wild_samples = false;  // some buffer~ has held a sample that is not tame
    bool compiled = false;
    int vector_size = 0;
    int64_t spent = 0;
};

[[noreturn]] void broken(const char* what, long value) {
    std::fprintf(stderr, "events fuzzer: invariant broken: %s (%ld)\n", what, value);
    std::abort();
}

void check_settings(const World& w) {
    for (standin::Box* box : w.boxes) {
        const vorn::Granulator& g = reinterpret_cast<::Granulator*>(standin::box_object(box))->engine;
        if (g.n_transp < 1 || g.n_transp > vorn::kMaxTransp) broken("n_transp within 1..256", g.n_transp);
        const int32_t m = g.max_overlap;
        if (m < 2 || m > vorn::kMaxOverlap || (m & (m - 1)) != 0) broken("max_overlap a power of two 2..1024", m);
        const int32_t o = g.overlap;
        if (o < 1 || o > m || (o & (o - 1)) != 0) broken("overlap a power of two within max_overlap", o);
    }
}

int64_t active_grains(const World& w) {
    int64_t n = 0;
    for (standin::Box* box : w.boxes) n += reinterpret_cast<::Granulator*>(standin::box_object(box))->engine.overlap;
    return n;
}

int64_t allocated_grains(const World& w) {
    int64_t n = 0;
    for (standin::Box* box : w.boxes)
        n += reinterpret_cast<::Granulator*>(standin::box_object(box))->engine.max_overlap;
    return n;
}

void forget_box(World& w, standin::Box* box) {
    for (size_t k = 0; k < w.boxes.size(); ++k)
        if (w.boxes[k] == box) w.boxes.erase(w.boxes.begin() + static_cast<long>(k));
}

void make_buffer(World& w, Bytes& in) {
    const std::string name = in.pick(kBufferNames);
    size_t frames = in.u16();
    frames = frames < 0xf000 ? frames % 600 : frames % (kMaxFrames + 1);
    // The kind's top two bits: 1 to 4 interleaved channels.
    const uint8_t kind_byte = in.u8();
    const int kind = kind_byte % 4;
    const int channels = 1 + (kind_byte >> 6);
    std::vector<float> samples(frames * static_cast<size_t>(channels));
    const float scale = static_cast<float>(in.u8()) / 128.0f;
    for (size_t k = 0; k < samples.size(); ++k) {
        switch (kind) {
        case 0: samples[k] = std::sin(static_cast<float>(k) * 0.05f) * scale; break;
        case 1: samples[k] = static_cast<float>(static_cast<int8_t>(in.u8())) * scale; break;
        case 2: samples[k] = (k & 1) ? scale : -scale; break;
        default: samples[k] = any_float(in); break;
        }
    }
    for (float s : samples)
        if (!(std::fabs(s) <= 1e6f)) w.wild_samples = true;
    standin::buffer_set(name, samples, any_double(in), channels);
}

void compile(World& w, Bytes& in) {
    double rate;
    switch (in.u8() % 4) {
    case 0: rate = 44100; break;
    case 1: rate = 48000; break;
    case 2: rate = static_cast<double>(in.u32() % 800000); break;
    default: rate = any_double(in); break;
    }
    // Vector sizes up to 4096, the largest a render uses; zero and negative
    // ones too, which the host refuses.
    int n;
    switch (in.u8() % 4) {
    case 0: n = 64; break;
    case 1: n = 1 << (in.u8() % 13); break;
    case 2: n = static_cast<int>(in.u16() % 4097); break;
    default: n = static_cast<int>(in.u16() % 4098) - 1; break;
    }
    // Every allocated grain restarts; the host clears every box's vectors.
    w.spent += allocated_grains(w) + static_cast<int64_t>(n > 0 ? n : 0) * static_cast<int64_t>(w.boxes.size());
    standin::dsp_compile(rate, n);
    w.compiled = n > 0 && rate > 0;
    w.vector_size = n;
}

void run(World& w, Bytes& in) {
    if (!w.compiled || w.boxes.empty()) {
        std::string why;
        standin::run_vector(&why);  // the host refuses: no chain, or a dropped one
        return;
    }
    const int n = w.vector_size;
    const int64_t cost = static_cast<int64_t>(n) * (active_grains(w) + 1);
    if (w.spent + cost > kBudget) return;
    w.spent += cost;

    const int mode = in.u8() % 4;
    const float base = mode == 3 ? any_float(in) : static_cast<float>(in.u16()) / 256.0f;
    const float step = any_float(in) / 1024.0f;
    for (standin::Box* box : w.boxes) {
        float* input = standin::signal_input(box);
        if (!input) continue;  // created after the compile
        for (int j = 0; j < n; ++j) {
            switch (mode) {
            case 0: input[j] = base; break;
            case 1: input[j] = base + step * static_cast<float>(j); break;
            case 2: input[j] = static_cast<float>(in.u8()); break;
            default: input[j] = j % 7 == 0 ? any_float(in) : base; break;
            }
        }
    }
    std::string why;
    if (!standin::run_vector(&why)) {
        w.compiled = false;  // a box came or went since the compile
        return;
    }
    for (standin::Box* box : w.boxes) {
        const float* out = standin::signal_output(box);
        if (!out || w.wild_samples) continue;
        for (int j = 0; j < n; ++j)
            if (!std::isfinite(out[j])) broken("finite output from tame samples", j);
    }
}

const char* const kSelectors[] = {"set", "overlap", "print", "loadbang", "version", "list", "int",
                                  "float", "dsp", "bang", "anything", "set"};

void step(World& w, Bytes& in) {
    standin::Box* box = w.boxes.empty() ? nullptr : w.boxes[in.u8() % w.boxes.size()];
    std::string why;
    switch (in.u8() % 16) {
    case 0:
    case 1: {  // a box from host atoms
        if (w.boxes.size() >= kMaxBoxes) break;
        std::vector<MaxAtom> atoms = any_atoms(in, 300);
        if (standin::Box* made = standin::box_create_atoms("vorn~", atoms, &why)) w.boxes.push_back(made);
        break;
    }
    case 2: {  // a box from typed text
        if (w.boxes.size() >= kMaxBoxes) break;
        if (standin::Box* made = standin::box_create("vorn~ " + any_text(in), &why)) w.boxes.push_back(made);
        break;
    }
    case 3:
        if (box) {
            standin::box_delete(box);
            forget_box(w, box);
        }
        break;
    case 4:
        if (box) standin::send_int(box, in.u8() % 7, static_cast<int32_t>(in.u32()), &why);
        break;
    case 5:
        if (box) standin::send_float(box, in.u8() % 7, any_double(in), &why);
        break;
    case 6:
        if (box) {
            const int inlet = in.u8() % 6;
            standin::send_atoms(box, inlet, "list", any_atoms(in, 300), &why);
        }
        break;
    case 7:
        if (box) {
            const int inlet = in.u8() % 6;
            const char* selector = in.pick(kSelectors);
            standin::send_atoms(box, inlet, selector, any_atoms(in, 300), &why);
        }
        break;
    case 8:
        if (box) standin::send_text(box, in.u8() % 6, any_text(in), &why);
        break;
    case 9: make_buffer(w, in); break;
    case 10:
        switch (in.u8() % 4) {
        case 0: standin::buffer_delete(in.pick(kBufferNames)); break;
        case 1: standin::buffer_set_valid(in.pick(kBufferNames), false); break;
        case 2: standin::buffer_set_valid(in.pick(kBufferNames), true); break;
        default: standin::table_set(in.pick(kBufferNames)); break;
        }
        break;
    case 11: compile(w, in); break;
    case 12: standin::loadbang_all(); break;
    default: run(w, in); break;
    }
    standin::take_console();
    check_settings(w);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    standin::set_clock(20240101u);
    std::string why;
    if (!standin::box_create("vorn~", &why)) {
        std::fprintf(stderr, "events fuzzer: cannot load vorn~.mxe: %s\n", why.c_str());
        std::abort();
    }
    standin::reset();
    standin::take_console();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    standin::reset();
    World w;
    Bytes in(data, size);
    while (!in.done()) step(w, in);
    standin::reset();
    standin::take_console();
    return 0;
}
