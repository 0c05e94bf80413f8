// The stand-in host's state: classes, objects, boxes, buffers, the console
// and the signal chain. One Runtime per process, reached through rt().
// Private to the MaxAPI library.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "fpu.h"
#include "host.h"

namespace standin {

struct Class;
namespace system {
struct Thread;
}

// The signal-object header at the front of every signal object, as this host
// lays it out and fills it in z_dsp_setup. It is the host's own reading of
// the layout, kept apart from the externals' declaration in max_api.h: an
// external built with a header of another shape then fares here as it would
// in the real host (its flag lands in the disabled word and it is muted, or
// it is given one vector as input and output), instead of agreeing with us by
// construction.
struct SignalHeader {
    MaxObject ob;
    int32_t signal_inlets;
    void* host;        // the host's record of the object (its ObjectState)
    int32_t disabled;  // non-zero while the host mutes the object
    int16_t count;
    int16_t flags;     // bit 0, set by the object: separate input and output vectors
};
#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(SignalHeader) == 32 && offsetof(SignalHeader, disabled) == 24 &&
                  offsetof(SignalHeader, count) == 28 && offsetof(SignalHeader, flags) == 30,
              "the 32-bit signal-object header");
#endif

// What an object's header points into. Externals find the class name by
// reading the word 16 bytes before the address in `messlist`, so the list
// starts with a pointer to the class-name record and the object's header
// points 16 bytes in, at the back-pointer to the host's class.
struct MessageList {
    MaxClassName* name_record;
    void* spare[16 / sizeof(void*) - 1];
    Class* owner;
};
static_assert(offsetof(MessageList, owner) == 16, "objects point 16 bytes into the message list");

struct Method {
    MaxMethod fn = nullptr;
    std::vector<int16_t> types;  // argument type codes, without the closing 0
};

struct Class {
    MaxClassName name_record{};
    MessageList list{};
    std::string name;
    bool builtin = false;  // buffer~ and table: made by the host, never boxed
    MaxMethod creator = nullptr;
    MaxMethod release = nullptr;
    size_t size = 0;
    std::vector<int16_t> creator_types;
    bool takes_signals = false;
    MaxMethod int_handler = nullptr;
    MaxMethod float_handler = nullptr;
    std::unordered_map<MaxSymbol*, Method> methods;

    void* messlist() { return &list.owner; }
    const Method* method(MaxSymbol* selector) const;
};

struct Proxy {
    MaxObject* owner;  // null once the owner is gone (a leaked proxy)
    int32_t number;
    int32_t* location;
};

struct Outlet {
    bool signal;
};

// A signal vector of exactly n floats, so that an overread is caught.
struct Vector {
    std::unique_ptr<float[]> data;
    int n = 0;
    void resize(int size);
};

// What the host keeps for each object made by newobject.
struct ObjectState {
    Class* cls = nullptr;
    std::vector<Proxy*> proxies;  // live, in creation order
    std::vector<std::unique_ptr<Outlet>> outlets;
    int signal_inlets = -1;  // -1 until z_dsp_setup
    bool dsp_freed = false;
    bool releasing = false;
    Box* box = nullptr;

    int signal_outlets() const;
};

}  // namespace standin

struct standin::Box {
    MaxObject* object = nullptr;
    Class* cls = nullptr;
    std::string text;
    // Signal records of the last compile; the vectors stay until the next.
    std::vector<Vector> inputs;
    std::vector<Vector> outputs;
    float* output = nullptr;  // the first outlet's vector (maybe inputs[0])
    std::vector<MaxSignal> signals;
    std::vector<MaxSignal*> signal_refs;
    std::vector<int16_t> counts;
};

namespace standin {

struct Library {
    void* handle = nullptr;
    Class* cls = nullptr;
    std::string error;  // why it yields no class, if it does not
};

struct Chain {
    struct Entry {
        size_t offset;     // of the routine's word in `words`
        int32_t count;     // its argument words
        MaxObject* owner;  // the object whose "dsp" call installed it
        Box* box;          // and its box
        bool live;         // false once the owner has left signal processing
    };
    std::vector<intptr_t> words;
    std::vector<Entry> entries;
    Box* compiling_box = nullptr;  // whose "dsp" call is running
    bool valid = false;
    bool compiling = false;
    bool running = false;
    std::string why_not;  // why there is no valid chain

    // Held by the audio thread around each vector and by the host's own
    // thread around whatever changes the chain (ChainLock).
    std::atomic<bool> locked{false};
    std::atomic<int> waiting{0};  // threads of the host waiting for the lock

    // The audio thread, while it runs.
    system::Thread* audio = nullptr;
    std::atomic<bool> audio_stop{false};
    long audio_vectors = 0;
    std::string audio_error;  // why it stopped on its own
    fpu::State audio_fpu;     // the floating-point state it runs in
};

// Holds the signal chain against the audio thread: while it is held no
// perform routine runs on that thread, and when it is taken the audio thread
// is outside every routine. The audio thread takes it around each vector;
// the host's own thread around compiling, an object leaving signal
// processing, muting, reset, every call into an external (ExternalCall) and
// every change to a buffer~: a message or a new buffer~ reaches an object
// between two vectors, never while its perform routine runs. A thread that already holds it (a routine
// calling back into the host) takes it again at no cost.
class ChainLock {
public:
    ChainLock();
    ~ChainLock();
    ChainLock(const ChainLock&) = delete;
    ChainLock& operator=(const ChainLock&) = delete;

private:
    bool nested_;
};

struct Runtime {
    // Symbols are never freed: externals keep them for their lifetime.
    std::unordered_map<std::string, std::unique_ptr<MaxSymbol>> symbols;

    std::vector<std::string> console;
    std::function<void(const std::string&)> sink;
    bool in_sink = false;

    std::vector<std::string> search_paths;
    std::map<std::string, Library> libraries;
    std::vector<std::unique_ptr<Class>> classes;
    std::map<std::string, Class*> class_by_name;
    Class* current = nullptr;           // set up last: registrations go here
    const std::string* loading = nullptr;  // name of the library in main()
    Class* buffer_class = nullptr;
    Class* table_class = nullptr;

    std::unordered_map<MaxObject*, std::unique_ptr<ObjectState>> objects;
    std::unordered_set<Proxy*> proxies;
    std::vector<std::unique_ptr<Box>> boxes;
    std::unordered_set<MaxBuffer*> buffers;  // bound and deleted alike
    std::unordered_set<MaxObject*> tables;

    Chain chain;
};

Runtime& rt();

// Around every call into an external but its perform routines, which it
// keeps out of the audio thread's vectors (ChainLock). An external
// must leave the floating-point control state as it found it (the x87 control
// word and MXCSR's control bits). If the call changed it, the host says so on
// the console ("error: ...") and puts it back.
class ExternalCall {
public:
    ExternalCall(const Class* cls, const char* what);
    ExternalCall(const std::string& name, const char* what);
    ~ExternalCall();
    ExternalCall(const ExternalCall&) = delete;
    ExternalCall& operator=(const ExternalCall&) = delete;

private:
    ChainLock between_vectors_;
    std::string name_;
    const char* what_;
    fpu::State before_;
};

// Sets the host thread's x87 control word from VORN_X87_CONTROL, once, before
// the first external is loaded; a value that is not a control word is
// reported on the console and ignored.
void apply_host_fpu_state();

// "x87 control word 0x037F -> 0x027F, MXCSR 0x1F80 -> 0x9F80": what changed.
std::string describe_fpu_change(const fpu::State& before, const fpu::State& after);

MaxSymbol* symbol(const std::string& text);
MaxSymbol* find_symbol(const std::string& text);  // null if never made
// A host error line on the console: "error: ..." (printf-style).
// (MinGW's C++ library formats with its own C99 printf, not msvcrt's.)
#if defined(__MINGW32__)
void host_error(const char* format, ...) __attribute__((format(gnu_printf, 1, 2)));
#else
void host_error(const char* format, ...) __attribute__((format(printf, 1, 2)));
#endif
void add_console_line(std::string line);

Class* new_class(const std::string& name);
ObjectState* object_state(const void* ob);
Box* live_box(Box* box);
void release_proxy(Proxy* proxy);
// Calls the release routine, frees the object and drops its box.
void destroy_object(MaxObject* ob);
void invalidate_chain(const char* why);
// Takes every routine that `ob` installed out of the chain, once the audio
// thread is outside them.
void leave_chain(MaxObject* ob);

}  // namespace standin
