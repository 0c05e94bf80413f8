// What vorn~ uses of the Max/MSP 4 host: its records and its fourteen
// operations, declared by us from their documented effects.
//
// This one header decides the record layout. Built for 32-bit Windows the
// records have the host's packed layout (an atom is a 16-bit tag and a
// 32-bit value, 6 bytes apart); elsewhere they take the natural layout of the
// platform, with the same fields in the same order. The stand-in host and the
// plug-in both include it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

// On 32-bit x86 the arithmetic must be SSE2's, as on x86-64: the x87 unit's
// extended precision changes results.
#if defined(__i386__) && !defined(__SSE2_MATH__)
#error "32-bit x86 builds need -msse2 -mfpmath=sse"
#endif

#if defined(_WIN32)
#define MAX_API_CALL __cdecl
#else
#define MAX_API_CALL
#endif

#if defined(VORN_BUILDING_MAXAPI)
#if defined(_WIN32)
#define MAX_API_EXPORT __declspec(dllexport)
#else
#define MAX_API_EXPORT __attribute__((visibility("default")))
#endif
#else
#define MAX_API_EXPORT
#endif

extern "C" {

// Type codes of message arguments.
enum : int16_t {
    A_NOTHING = 0,  // ends an argument list
    A_LONG = 1,     // atom: int32
    A_FLOAT = 2,    // atom: float32
    A_SYM = 3,      // atom: symbol
    A_GIMME = 8,    // a handler takes (selector, count, atoms) of any type
    A_CANT = 9,     // a private method, called by the host only
};

struct MaxObject;

// One symbol per text; symbols are compared by identity.
struct MaxSymbol {
    char* name;
    MaxObject* thing;  // the object bound to the name, or null
};

#if defined(_WIN32) && !defined(_WIN64)
#pragma pack(push, 2)
#endif
struct MaxAtom {
    int16_t type;
    union {
        int32_t w_long;
        float w_float;
        MaxSymbol* w_sym;
    } value;
};
#if defined(_WIN32) && !defined(_WIN64)
#pragma pack(pop)
#endif

// The four-word header of every host object. `messlist` points into the
// message list of the object's class; the pointer-sized word 16 bytes before
// that address points to a record whose first word is the class-name symbol.
struct MaxObject {
    void* messlist;
    void* reserved[3];
};

// The class record that the word before an object's message list points to.
struct MaxClassName {
    MaxSymbol* name;
};

// Reads the class-name symbol of a host object, as the host lays it out.
inline MaxSymbol* max_class_name(const MaxObject* ob) {
    const char* list = static_cast<const char*>(ob->messlist);
    MaxClassName* record = *reinterpret_cast<MaxClassName* const*>(list - 16);
    return record->name;
}

// A buffer~ object: the fields the plug-in reads, behind the object header.
struct MaxBuffer {
    MaxObject header;
    int32_t valid;     // 0: not usable
    float* samples;    // frames of `channels` interleaved samples
    int32_t frames;
    int32_t channels;  // samples per frame
    intptr_t unused[3];
    float sr_khz;      // sample rate in kHz (samples per millisecond)
};

// What the host hands a "dsp" method for each signal inlet and outlet.
struct MaxSignal {
    int32_t n;      // vector size
    float* vec;
    float sr;       // sample rate, Hz
};

// The header of a signal object: host-owned, filled by z_dsp_setup. The
// object sets only its last field.
struct MaxSignalObject {
    MaxObject ob;
    int32_t n_signal_inlets;
    void* host_data;
    int32_t disabled;  // set by the host while it mutes the object: no perform call then
    int16_t count;
    int16_t flags;     // 1: input and output vectors must not share memory
};

// Handlers are stored as a generic function pointer and called back by the
// host through the exact signature that their type code implies.
typedef void (*MaxMethod)(void);
typedef void* (MAX_API_CALL* MaxNewMethod)(MaxSymbol* selector, int16_t count, MaxAtom* atoms);
typedef void (MAX_API_CALL* MaxFreeMethod)(void* x);
typedef void (MAX_API_CALL* MaxGimmeMethod)(void* x, MaxSymbol* selector, int16_t count, MaxAtom* atoms);
typedef void (MAX_API_CALL* MaxIntMethod)(void* x, int32_t value);
typedef void (MAX_API_CALL* MaxFloatMethod)(void* x, double value);
typedef void (MAX_API_CALL* MaxDspMethod)(void* x, MaxSignal** signals, int16_t* counts);
typedef intptr_t* (MAX_API_CALL* MaxPerformMethod)(intptr_t* words);
typedef int (MAX_API_CALL* MaxMainFunction)(void);

// MaxAPI
MAX_API_EXPORT void MAX_API_CALL setup(void** class_slot, MaxMethod creator, MaxMethod release, int16_t size,
                                       MaxMethod menu, int16_t type, ...);
MAX_API_EXPORT void MAX_API_CALL addmess(MaxMethod method, const char* name, int16_t type, ...);
MAX_API_EXPORT void MAX_API_CALL addint(MaxMethod method);
MAX_API_EXPORT void MAX_API_CALL addfloat(MaxMethod method);
MAX_API_EXPORT void* MAX_API_CALL newobject(void* cls);
MAX_API_EXPORT void MAX_API_CALL freeobject(void* ob);
MAX_API_EXPORT void* MAX_API_CALL outlet_new(void* x, const char* type);
MAX_API_EXPORT void* MAX_API_CALL proxy_new(void* x, int32_t inlet_number, int32_t* inlet_location);
MAX_API_EXPORT MaxSymbol* MAX_API_CALL gensym(const char* text);
MAX_API_EXPORT void MAX_API_CALL post(const char* format, ...);

// MaxAudio
MAX_API_EXPORT void MAX_API_CALL z_dsp_setup(void* x, int32_t n_signal_inlets);
MAX_API_EXPORT void MAX_API_CALL z_dsp_free(void* x);
MAX_API_EXPORT void MAX_API_CALL z_add_signalmethod(void);
MAX_API_EXPORT void MAX_API_CALL dsp_add(MaxPerformMethod routine, int32_t count, ...);

}  // extern "C"

#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(void*) == 4 && sizeof(intptr_t) == 4, "32-bit words");
static_assert(sizeof(MaxAtom) == 6, "atoms lie 6 bytes apart");
static_assert(offsetof(MaxAtom, value) == 2, "an atom's value follows its 16-bit tag");
static_assert(sizeof(MaxObject) == 16, "the object header is four words");
static_assert(offsetof(MaxBuffer, valid) == 16 && offsetof(MaxBuffer, samples) == 20 &&
                  offsetof(MaxBuffer, frames) == 24 && offsetof(MaxBuffer, channels) == 28 &&
                  offsetof(MaxBuffer, unused) == 32 && offsetof(MaxBuffer, sr_khz) == 44,
              "buffer fields follow the four-word header");
static_assert(offsetof(MaxSignal, vec) == 4 && offsetof(MaxSignal, sr) == 8, "signal record layout");
static_assert(offsetof(MaxSymbol, thing) == 4, "symbol: name, then bound object");
static_assert(sizeof(MaxSignalObject) == 32, "the signal-object header is 32 bytes");
static_assert(offsetof(MaxSignalObject, n_signal_inlets) == 16 && offsetof(MaxSignalObject, host_data) == 20 &&
                  offsetof(MaxSignalObject, disabled) == 24 && offsetof(MaxSignalObject, count) == 28 &&
                  offsetof(MaxSignalObject, flags) == 30,
              "signal-object header: inlet count, host pointer, disabled word, count, then the flag word at 30");
static_assert(std::is_same_v<decltype(&z_dsp_setup), void(MAX_API_CALL*)(void*, int32_t)>,
              "z_dsp_setup takes its count as a 32-bit integer");
#endif
