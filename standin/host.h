// The stand-in host: a small real runtime that offers the operations a
// Max/MSP 4 external uses (see host/max_api.h) and what a host does around
// them: it loads externals from a search path and calls their `main`,
// creates object boxes from typed text, delivers messages through inlets,
// holds buffer~ objects, compiles a signal chain and runs it vector by vector.
//
// The host's operations are global functions, so the runtime is one per
// process. Host applications (the renderer, the tests) drive it through
// this interface; it lives in the MaxAPI library beside the operations.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "max_api.h"

#if defined(VORN_BUILDING_MAXAPI)
#define STANDIN_API MAX_API_EXPORT
#elif defined(_WIN32)
#define STANDIN_API __declspec(dllimport)
#else
#define STANDIN_API
#endif

namespace standin {

struct Box;  // one object box of the patch

// An atom as a host application builds it.
struct Atom {
    enum Kind { Int, Float, Symbol } kind;
    int32_t i = 0;
    float f = 0.0f;
    std::string s;
    static Atom of_int(int32_t v) { return {Int, v, 0.0f, {}}; }
    static Atom of_float(float v) { return {Float, 0, v, {}}; }
    static Atom of_symbol(std::string v) { return {Symbol, 0, 0.0f, std::move(v)}; }
};

// Splits text typed into a box or a message box into atoms: a word that reads
// entirely as a decimal integer within 32 bits is an int, one that reads
// entirely as a number otherwise is a float (rounded to single precision),
// anything else a symbol. Words are separated by blanks.
STANDIN_API std::vector<Atom> parse_atoms(const std::string& text);

// --- Console -------------------------------------------------------------
// Every post() becomes one line. Lines are kept until taken; a sink, if set,
// also receives each line as it is posted.
STANDIN_API std::vector<std::string> take_console();
STANDIN_API void set_console_sink(std::function<void(const std::string&)> sink);

// --- Clock -----------------------------------------------------------------
// The calendar clock that externals read through the C library's time():
// a fixed reading in seconds, or (nullopt) the real clock.
STANDIN_API void set_clock(std::optional<uint32_t> seconds);

// --- Loading -----------------------------------------------------------------
// Directories searched, in order, for NAME.mxe when a box first names NAME;
// after them, the running executable's folder, then <exe>/../lib/vorn and
// <exe>/../lib.
STANDIN_API void add_search_path(const std::string& dir);

// --- Buffers and other named objects ----------------------------------------
// Creates the buffer~ NAME, or replaces the contents of the existing one (the
// object stays the same): `samples` holds frames of `channels` interleaved
// samples. The object's samples are allocated to exactly their count. The
// buffer is valid after this call.
STANDIN_API MaxBuffer* buffer_set(const std::string& name, const std::vector<float>& samples, double rate_hz,
                                  int channels = 1);
// Deletes the buffer~ NAME: the name is unbound and the samples are freed.
// The object's record is kept, invalid and empty, until shutdown, so that an
// external still holding it reads nothing. False if there is no such buffer.
STANDIN_API bool buffer_delete(const std::string& name);
// Sets the validity flag of the buffer~ NAME. False if there is no such buffer.
STANDIN_API bool buffer_set_valid(const std::string& name, bool valid);
// The buffer~ bound to NAME, or null.
STANDIN_API MaxBuffer* buffer_find(const std::string& name);
// Binds an object of the host's "table" class (not a buffer) to NAME,
// replacing whatever was bound there.
STANDIN_API MaxObject* table_set(const std::string& name);

// --- Boxes -------------------------------------------------------------------
// Creates an object box from its text, e.g. "vorn~ 3 src 0 0 0 100": loads
// the external on first use, then calls the class's creator with the typed
// arguments. Null with a reason in *error if it cannot be made.
STANDIN_API Box* box_create(const std::string& text, std::string* error);
// Creates a box of the class NAME, already loaded by an earlier box_create,
// handing its creator `atoms` exactly as given: any type codes, unknown ones
// too, as a host reading a damaged patch might. Symbols in them must come
// from gensym. Null with a reason in *error if it cannot be made.
STANDIN_API Box* box_create_atoms(const std::string& name, const std::vector<MaxAtom>& atoms, std::string* error);
// Calls the class's release routine and frees the object. Its perform
// routines leave the signal chain (when the object calls z_dsp_free, or at
// the latest when the release routine returns); the rest of the chain runs
// on.
STANDIN_API void box_delete(Box* box);
STANDIN_API MaxObject* box_object(Box* box);
// Number of inlets (1 + proxies) of a box.
STANDIN_API int box_inlets(Box* box);
// All boxes in creation order.
STANDIN_API std::vector<Box*> boxes();

// --- Messages ----------------------------------------------------------------
// Sends a message through inlet `inlet` of `box`: the host writes the inlet's
// number where the box's proxies were told to (0 for the leftmost inlet)
// and calls the class's handler. False with a reason in *error when the box
// has no such inlet or its class has no handler for the message.
STANDIN_API bool send_int(Box* box, int inlet, int32_t value, std::string* error);
STANDIN_API bool send_float(Box* box, int inlet, double value, std::string* error);
STANDIN_API bool send_message(Box* box, int inlet, const std::string& selector, const std::vector<Atom>& atoms,
                              std::string* error);
// As send_message, with host atoms passed as they are (any type codes).
STANDIN_API bool send_atoms(Box* box, int inlet, const std::string& selector, const std::vector<MaxAtom>& atoms,
                            std::string* error);
// Sends text as typed into a message box: one number is an int (if it reads
// as an integer) or a float; several words starting with a number are a
// "list"; otherwise the first word is the selector and the rest are atoms.
STANDIN_API bool send_text(Box* box, int inlet, const std::string& text, std::string* error);
// Sends "loadbang" to every box whose class takes it, in creation order.
STANDIN_API void loadbang_all();

// --- Signal chain ------------------------------------------------------------
// Compiles the chain: every signal object, in creation order, gets its "dsp"
// call with one signal record per signal inlet and outlet; what they install
// with dsp_add runs at every run_vector(). An object that sets its no-sharing
// flag (bit 0 of the last field of its signal-object header) gets separate
// input and output vectors; one that does not gets its output vector in its
// input's memory, as hosts do by default. An object whose header no longer
// holds what z_dsp_setup wrote there is left out, with an error line.
STANDIN_API void dsp_compile(double rate_hz, int vector_size);
// The vector feeding the leftmost signal inlet of `box` (vector_size floats);
// written by the host application before each run_vector().
STANDIN_API float* signal_input(Box* box);
// The vector of the box's signal outlet after the last run_vector().
STANDIN_API const float* signal_output(Box* box);
// Runs the installed routines once, in the order installed. False with a
// reason if there is no compiled chain, or the audio thread runs it.
STANDIN_API bool run_vector(std::string* error);
// Mutes or unmutes a signal box, as a host does: it sets or clears the
// disabled word of the object's signal-object header. A muted object's
// perform routines are not called, and its outlets carry silence. False if
// the box is not a signal object.
STANDIN_API bool box_mute(Box* box, bool muted);

// --- Audio thread -------------------------------------------------------------
// Runs the compiled chain on a thread of the host's own, vector after vector
// with the input vectors as they stand, as a host's audio thread does, until
// audio_stop(), and at least one. Meanwhile the host application goes on: dsp_compile waits
// for the end of the vector; so do messages, box creation and deletion and
// buffer~ changes, which reach the objects between two vectors, as in a host
// whose scheduler runs in its audio thread; an object's z_dsp_free returns
// only once the thread is outside that object's perform routines, which
// then never run again; run_vector refuses. False with a reason if the thread already runs,
// or there is no compiled chain, or the thread cannot be started.
STANDIN_API bool audio_start(std::string* error);
// Stops the audio thread and waits for it; the number of vectors it ran.
// If a routine made it stop earlier (a wrong return address), *error says so.
STANDIN_API long audio_stop(std::string* error);

// --- Life -----------------------------------------------------------------------
// Counts for tests: live proxies, live objects made by newobject.
STANDIN_API int live_proxies();
STANDIN_API int live_objects();
// Deletes every box and buffer and forgets the chain; loaded externals stay
// loaded (a host never unloads them) and their classes stay registered.
STANDIN_API void reset();

// --- Failing allocations (fault tests) ----------------------------------------
// The static library MaxAPIFaults, linked into a host application, replaces
// the process's nothrow operator new[] (a replacement C++ allows a program
// to make), which externals reach through the dynamic linker like any other
// C++ library function. After fail_allocations(count, min_bytes) the next
// `count` calls asking for at least `min_bytes` return null; every other call
// is served by the operator it replaces. Not part of MaxAPI itself: a
// definition there would come after a sanitizer runtime's in symbol lookup.
void fail_allocations(int count, size_t min_bytes);
// Calls refused since the program started.
int failed_allocations();

}  // namespace standin
