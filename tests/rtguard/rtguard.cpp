// libvorn_rtguard: a perform routine must not allocate, lock, touch files or
// the console, sleep or make a system call: any of those can stall the
// host's audio thread. This library interposes those C library functions
// and counts the calls a thread makes while it is inside a guarded perform
// routine.
//
// Which calls are "inside": when a watched library (VORN_RTGUARD_LIBRARY) is
// opened, its GOT slots for dsp_add are pointed at guarded_dsp_add, which
// hands the host guarded_perform instead of the routine, with the routine
// as one more word in front of the others. guarded_perform raises a
// thread-local depth around the call, so the count is per call, not per
// thread: in Pd's batch mode messages and DSP share one thread. dsp_add is
// patched in the library rather than interposed by name because Pd
// defines it in its executable, which comes before any preloaded library in
// symbol lookup.
//
// What it cannot see: calls that never pass through the dynamic linker (a C
// library function calling another inside libc, a statically linked one,
// an inline `syscall` instruction, futex waits inside libc), routines of a
// watched library added by other means than its own dsp_add, routines with
// more than kMaxWords words (reported as such), and libraries that are
// opened by dlmopen. The dlopen hook itself loses the caller's RUNPATH for
// bare names, which neither host uses.
//
// Reporting never allocates on the guarded path: a forbidden call bumps
// atomic counters in a fixed table. The text, with the routine's name read
// from its library's .symtab, is made outside the routines: by
// vorn_rtguard_report() and at exit.
//
// Not for the sanitizer builds: ASan and TSan interpose malloc themselves.
#undef _FORTIFY_SOURCE

#include "rtguard.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <elf.h>
#include <errno.h>
#include <fcntl.h>
#include <link.h>
#include <pthread.h>
#include <semaphore.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

static_assert(sizeof(void*) == 8, "the event table packs a routine's address and a function's number in 64 bits");

extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void __libc_free(void*);
void* __libc_memalign(size_t, size_t);
void* __libc_valloc(size_t);
void* __libc_pvalloc(size_t);
int __open_2(const char*, int);
int __open64_2(const char*, int);
int __openat_2(int, const char*, int);
int __openat64_2(int, const char*, int);
ssize_t __read_chk(int, void*, size_t, size_t);
ssize_t __pread_chk(int, void*, size_t, off_t, size_t);
ssize_t __pread64_chk(int, void*, size_t, off64_t, size_t);
size_t __fread_chk(void*, size_t, size_t, size_t, FILE*);
int __printf_chk(int, const char*, ...);
int __fprintf_chk(FILE*, int, const char*, ...);
int __vprintf_chk(int, const char*, va_list);
int __vfprintf_chk(FILE*, int, const char*, va_list);
int __dprintf_chk(int, int, const char*, ...);
int __vdprintf_chk(int, int, const char*, va_list);
}

namespace {

// Every function counted, by name. The allocator's go straight to glibc's
// __libc_ entry points; the rest to the next definition, found at load.
#define VORN_RTGUARD_FUNCTIONS(X)                                                                                  \
    X(malloc) X(calloc) X(realloc) X(free) X(aligned_alloc) X(posix_memalign) X(memalign) X(valloc) X(pvalloc)     \
    X(reallocarray)                                                                                                \
    X(pthread_mutex_lock) X(pthread_mutex_trylock) X(pthread_mutex_timedlock) X(pthread_mutex_clocklock)           \
    X(pthread_mutex_unlock) X(pthread_cond_init) X(pthread_cond_destroy) X(pthread_cond_signal)                    \
    X(pthread_cond_broadcast) X(pthread_cond_wait) X(pthread_cond_timedwait) X(pthread_cond_clockwait)             \
    X(pthread_rwlock_init) X(pthread_rwlock_destroy) X(pthread_rwlock_rdlock) X(pthread_rwlock_tryrdlock)          \
    X(pthread_rwlock_timedrdlock) X(pthread_rwlock_clockrdlock) X(pthread_rwlock_wrlock)                           \
    X(pthread_rwlock_trywrlock) X(pthread_rwlock_timedwrlock) X(pthread_rwlock_clockwrlock)                        \
    X(pthread_rwlock_unlock) X(sem_init) X(sem_destroy) X(sem_open) X(sem_close) X(sem_unlink) X(sem_wait)         \
    X(sem_trywait) X(sem_timedwait) X(sem_clockwait) X(sem_post) X(sem_getvalue)                                   \
    X(open) X(open64) X(openat) X(openat64) X(creat) X(creat64) X(__open_2) X(__open64_2) X(__openat_2)            \
    X(__openat64_2) X(close) X(read) X(write) X(pread) X(pread64) X(pwrite) X(pwrite64) X(readv) X(writev)         \
    X(lseek) X(lseek64) X(fsync) X(fdatasync) X(__read_chk) X(__pread_chk) X(__pread64_chk)                        \
    X(fopen) X(fopen64) X(fclose) X(fread) X(fread_unlocked) X(__fread_chk) X(fwrite) X(fwrite_unlocked)           \
    X(fputs) X(fputs_unlocked) X(fputc) X(fputc_unlocked) X(putc) X(putc_unlocked) X(puts) X(putchar)              \
    X(putchar_unlocked) X(printf) X(fprintf) X(vprintf) X(vfprintf) X(dprintf) X(vdprintf) X(fflush)               \
    X(fflush_unlocked) X(perror) X(__printf_chk) X(__fprintf_chk) X(__vprintf_chk) X(__vfprintf_chk)               \
    X(__dprintf_chk) X(__vdprintf_chk)                                                                             \
    X(nanosleep) X(clock_nanosleep) X(usleep) X(sleep) X(syscall)

enum Fn : unsigned {
#define VORN_RTGUARD_ENUM(name) fn_##name,
    VORN_RTGUARD_FUNCTIONS(VORN_RTGUARD_ENUM)
#undef VORN_RTGUARD_ENUM
    fn_wide_dsp_add,  // not a call: a routine with too many words to guard
    fn_count
};

constexpr const char* kNames[fn_count] = {
#define VORN_RTGUARD_NAME(name) #name,
    VORN_RTGUARD_FUNCTIONS(VORN_RTGUARD_NAME)
#undef VORN_RTGUARD_NAME
    "dsp_add of more words than the guard passes on"};

static_assert(fn_count < 256, "a function's number takes the low byte of an event key");

std::atomic<void*> reals[fn_count];

void* real(Fn f) {
    void* p = reals[f].load(std::memory_order_relaxed);
    if (!p) {
        // Called before the constructor ran (another library's constructor).
        p = dlsym(RTLD_NEXT, kNames[f]);
        if (!p) {
            static const char text[] = "vorn_rtguard: a function with no next definition was called\n";
            ssize_t ignored = reinterpret_cast<decltype(&::write)>(dlsym(RTLD_NEXT, "write"))(2, text, sizeof text - 1);
            (void)ignored;
            abort();
        }
        reals[f].store(p, std::memory_order_relaxed);
    }
    return p;
}

#define REAL(name) (reinterpret_cast<decltype(&::name)>(real(fn_##name)))

// --- What the guarded thread is doing -----------------------------------------

// Read on every call of every hook: initial-exec, so that reading them
// never allocates (the library is loaded at start-up, never by dlopen).
__attribute__((tls_model("initial-exec"))) thread_local int depth = 0;
__attribute__((tls_model("initial-exec"))) thread_local const void* current = nullptr;

std::atomic<unsigned long> guarded_calls{0};
std::atomic<unsigned long> forbidden_calls{0};
std::atomic<bool> hooked{false};  // some library's dsp_add was patched

// The forbidden calls by function and routine: key (routine << 8 | function),
// 0 for a free slot, claimed with a compare-and-swap.
struct Slot {
    std::atomic<uint64_t> key{0};
    std::atomic<unsigned long> count{0};
};
constexpr unsigned kSlots = 64;
Slot slots[kSlots];

void record(Fn f, const void* routine) {
    forbidden_calls.fetch_add(1, std::memory_order_relaxed);
    const uint64_t key = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(routine)) << 8 | f;
    for (unsigned i = 0, at = static_cast<unsigned>(key % 61); i < kSlots; ++i) {
        Slot& s = slots[(at + i) % kSlots];
        uint64_t k = s.key.load(std::memory_order_acquire);
        if (k == 0 && s.key.compare_exchange_strong(k, key, std::memory_order_acq_rel)) k = key;
        if (k == key) {
            s.count.fetch_add(1, std::memory_order_relaxed);
            return;
        }
    }
    // A full table: counted in the total only.
}

inline void note(Fn f) {
    if (__builtin_expect(depth > 0, 0)) record(f, current);
}

// --- dsp_add, patched in watched libraries ----------------------------------

using Routine = intptr_t* (*)(intptr_t*);
using DspAdd = void (*)(Routine, int, ...);
std::atomic<DspAdd> real_dsp_add{nullptr};

// Words passed on; dsp_add is variadic, so the real one is always called
// with all of them and reads only its count.
constexpr int kMaxWords = 15;

// w[0] is this function, w[1] the routine, w[2]... its words: the routine
// gets w + 1, laid out as a host lays out its own entry, and returns the
// word after its last, which is ours too.
intptr_t* guarded_perform(intptr_t* w) {
    const auto routine = reinterpret_cast<Routine>(w[1]);
    const void* outer = current;
    current = reinterpret_cast<const void*>(routine);
    ++depth;
    intptr_t* next = routine(w + 1);
    --depth;
    current = outer;
    guarded_calls.fetch_add(1, std::memory_order_relaxed);
    return next;
}

void guarded_dsp_add(Routine routine, int count, ...) {
    const DspAdd add = real_dsp_add.load(std::memory_order_relaxed);
    if (count < 0 || count > kMaxWords) {
        // Cannot be passed on with one word more: left out of the chain and
        // reported, so that the test fails rather than guard nothing.
        record(fn_wide_dsp_add, reinterpret_cast<const void*>(routine));
        return;
    }
    intptr_t a[kMaxWords] = {};
    va_list ap;
    va_start(ap, count);
    for (int i = 0; i < count; ++i) a[i] = va_arg(ap, intptr_t);
    va_end(ap);
    add(guarded_perform, count + 1, reinterpret_cast<intptr_t>(routine), a[0], a[1], a[2], a[3], a[4], a[5], a[6],
        a[7], a[8], a[9], a[10], a[11], a[12], a[13], a[14]);
}

#if defined(__x86_64__)
constexpr unsigned kSlotRelocations[] = {R_X86_64_JUMP_SLOT, R_X86_64_GLOB_DAT, R_X86_64_64};
#elif defined(__aarch64__)
constexpr unsigned kSlotRelocations[] = {R_AARCH64_JUMP_SLOT, R_AARCH64_GLOB_DAT, R_AARCH64_ABS64};
#else
#error "vorn_rtguard knows the relocations of x86-64 and AArch64 only"
#endif

void say(const char* a, const char* b = "", const char* c = "") {
    std::string line = std::string("vorn_rtguard: ") + a + b + c + "\n";
    ssize_t ignored = REAL(write)(2, line.data(), line.size());
    (void)ignored;
}

const char* base_name(const char* path) {
    const char* slash = strrchr(path, '/');
    return slash ? slash + 1 : path;
}

// Whether a library's file name holds one of the watched parts.
bool watched(const char* path) {
    if (!path || !*path) return false;
    const char* name = base_name(path);
    const char* list = getenv("VORN_RTGUARD_LIBRARY");
    std::string parts = list && *list ? list : "vorn~";
    for (size_t start = 0; start <= parts.size();) {
        size_t end = parts.find(':', start);
        if (end == std::string::npos) end = parts.size();
        const std::string part = parts.substr(start, end - start);
        if (!part.empty() && strstr(name, part.c_str())) return true;
        start = end + 1;
    }
    return false;
}

struct Loaded {
    ElfW(Addr) base;
    std::string name;
    std::vector<ElfW(Phdr)> phdrs;
};

int collect(dl_phdr_info* info, size_t, void* out) {
    // No dynamic-linker calls in here: dl_iterate_phdr holds its lock.
    if (watched(info->dlpi_name))
        static_cast<std::vector<Loaded>*>(out)->push_back(
            {info->dlpi_addr, info->dlpi_name, {info->dlpi_phdr, info->dlpi_phdr + info->dlpi_phnum}});
    return 0;
}

// Points the library's dsp_add slots at guarded_dsp_add. Slots already
// pointing there are left alone: every dlopen looks at every watched
// library again.
void patch(const Loaded& lib) {
    const ElfW(Dyn)* dynamic = nullptr;
    ElfW(Addr) relro_begin = 0, relro_end = 0;
    for (const ElfW(Phdr)& ph : lib.phdrs) {
        if (ph.p_type == PT_DYNAMIC) dynamic = reinterpret_cast<const ElfW(Dyn)*>(lib.base + ph.p_vaddr);
        if (ph.p_type == PT_GNU_RELRO) {
            relro_begin = lib.base + ph.p_vaddr;
            relro_end = relro_begin + ph.p_memsz;
        }
    }
    if (!dynamic) return say(lib.name.c_str(), ": no dynamic section");
    // glibc relocates the dynamic section's addresses in place where it is
    // writable; elsewhere they are still the file's.
    auto at = [&](ElfW(Addr) a) { return a < lib.base ? lib.base + a : a; };
    const ElfW(Sym)* symtab = nullptr;
    const char* strtab = nullptr;
    const ElfW(Rela)* tables[2] = {};
    size_t sizes[2] = {};
    bool plt_rela = true;
    for (const ElfW(Dyn)* d = dynamic; d->d_tag != DT_NULL; ++d) {
        switch (d->d_tag) {
        case DT_SYMTAB: symtab = reinterpret_cast<const ElfW(Sym)*>(at(d->d_un.d_ptr)); break;
        case DT_STRTAB: strtab = reinterpret_cast<const char*>(at(d->d_un.d_ptr)); break;
        case DT_RELA: tables[0] = reinterpret_cast<const ElfW(Rela)*>(at(d->d_un.d_ptr)); break;
        case DT_RELASZ: sizes[0] = d->d_un.d_val; break;
        case DT_JMPREL: tables[1] = reinterpret_cast<const ElfW(Rela)*>(at(d->d_un.d_ptr)); break;
        case DT_PLTRELSZ: sizes[1] = d->d_un.d_val; break;
        case DT_PLTREL: plt_rela = d->d_un.d_val == DT_RELA; break;
        }
    }
    if (!symtab || !strtab || !plt_rela) return say(lib.name.c_str(), ": relocations not understood");

    const long page = sysconf(_SC_PAGESIZE);
    int slots_found = 0;
    for (int t = 0; t < 2; ++t) {
        for (size_t k = 0; tables[t] && k < sizes[t] / sizeof(ElfW(Rela)); ++k) {
            const ElfW(Rela)& r = tables[t][k];
            const unsigned type = ELF64_R_TYPE(r.r_info);
            if (std::find(std::begin(kSlotRelocations), std::end(kSlotRelocations), type) ==
                    std::end(kSlotRelocations) ||
                r.r_addend != 0 || strcmp(strtab + symtab[ELF64_R_SYM(r.r_info)].st_name, "dsp_add") != 0)
                continue;
            ++slots_found;
            auto** slot = reinterpret_cast<void**>(lib.base + r.r_offset);
            if (*slot == reinterpret_cast<void*>(&guarded_dsp_add)) continue;
            // Resolved already (RTLD_NOW), or still the library's own PLT
            // stub under lazy binding: then whatever the global scope has.
            void* target = *slot;
            Dl_info info;
            if (!target || (dladdr(target, &info) && info.dli_fname && lib.name == info.dli_fname))
                target = dlsym(RTLD_DEFAULT, "dsp_add");
            if (!target) return say(lib.name.c_str(), ": dsp_add not found: not guarded");
            DspAdd expected = nullptr;
            const auto found = reinterpret_cast<DspAdd>(target);
            if (!real_dsp_add.compare_exchange_strong(expected, found) && expected != found)
                return say(lib.name.c_str(), ": reaches another dsp_add than the libraries before it: not guarded");
            const auto address = reinterpret_cast<ElfW(Addr)>(slot);
            const bool relro = address >= relro_begin && address < relro_end;
            void* first = reinterpret_cast<void*>(address & ~static_cast<ElfW(Addr)>(page - 1));
            if (relro && mprotect(first, static_cast<size_t>(page), PROT_READ | PROT_WRITE) != 0)
                return say(lib.name.c_str(), ": cannot write its GOT: not guarded");
            *slot = reinterpret_cast<void*>(&guarded_dsp_add);
            if (relro) mprotect(first, static_cast<size_t>(page), PROT_READ);
            hooked.store(true);
        }
    }
    if (slots_found == 0) say(lib.name.c_str(), ": no dsp_add to guard");
}

void patch_watched_libraries() {
    std::vector<Loaded> libs;
    dl_iterate_phdr(collect, &libs);
    for (const Loaded& lib : libs) patch(lib);
}

// --- The report -------------------------------------------------------------------

// The function symbol of the file at `path` that holds `offset`, from its
// .symtab (hidden and local symbols are not in the dynamic one), or "".
std::string symbol_at(const char* path, ElfW(Addr) offset) {
    std::ifstream in(path, std::ios::binary);
    const std::string file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto fits = [&](size_t at, size_t size) { return at <= file.size() && size <= file.size() - at; };
    ElfW(Ehdr) eh;
    if (!fits(0, sizeof eh)) return "";
    memcpy(&eh, file.data(), sizeof eh);
    if (memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0 || eh.e_shentsize != sizeof(ElfW(Shdr))) return "";
    std::vector<ElfW(Shdr)> sections(eh.e_shnum);
    if (!fits(eh.e_shoff, sections.size() * sizeof(ElfW(Shdr)))) return "";
    memcpy(sections.data(), file.data() + eh.e_shoff, sections.size() * sizeof(ElfW(Shdr)));
    for (unsigned type : {SHT_SYMTAB, SHT_DYNSYM}) {
        for (const ElfW(Shdr)& sh : sections) {
            if (sh.sh_type != type || sh.sh_link >= sections.size() || !fits(sh.sh_offset, sh.sh_size)) continue;
            const ElfW(Shdr)& strings = sections[sh.sh_link];
            if (!fits(strings.sh_offset, strings.sh_size)) continue;
            for (size_t k = 0; k < sh.sh_size / sizeof(ElfW(Sym)); ++k) {
                ElfW(Sym) s;
                memcpy(&s, file.data() + sh.sh_offset + k * sizeof s, sizeof s);
                if (ELF64_ST_TYPE(s.st_info) != STT_FUNC || offset < s.st_value ||
                    offset >= s.st_value + std::max<ElfW(Xword)>(s.st_size, 1) || s.st_name >= strings.sh_size)
                    continue;
                const char* name = file.data() + strings.sh_offset + s.st_name;
                return std::string(name, strnlen(name, strings.sh_size - s.st_name));
            }
        }
    }
    return "";
}

// "granulator_perform (/path/vorn~.mxe)": the name without namespaces of
// its own file and without its parameters.
std::string describe(const void* routine) {
    Dl_info info{};
    link_map* map = nullptr;
    if (!dladdr1(routine, &info, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP) || !info.dli_fname || !map) {
        char text[32];
        snprintf(text, sizeof text, "%p", routine);
        return text;
    }
    std::string name = symbol_at(info.dli_fname, reinterpret_cast<ElfW(Addr)>(routine) - map->l_addr);
    if (int status = 0; char* plain = abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status)) {
        name = plain;
        free(plain);
    }
    for (size_t at; (at = name.find("(anonymous namespace)::")) != std::string::npos;) name.erase(at, 23);
    name = name.substr(0, name.find('('));
    if (name.empty()) name = "a routine";
    return name + " (" + info.dli_fname + ")";
}

std::string report_text() {
    std::vector<std::string> lines;
    unsigned long itemised = 0;
    for (const Slot& s : slots) {
        const uint64_t key = s.key.load(std::memory_order_acquire);
        if (!key) continue;
        const unsigned long count = s.count.load(std::memory_order_relaxed);
        itemised += count;
        const void* routine = reinterpret_cast<const void*>(static_cast<uintptr_t>(key >> 8));
        lines.push_back("vorn_rtguard: " + std::string(kNames[key & 0xff]) + " in " + describe(routine) + ": " +
                        std::to_string(count) + " calls\n");
    }
    std::sort(lines.begin(), lines.end());
    const unsigned long forbidden = forbidden_calls.load();
    std::string text = "vorn_rtguard: " + std::to_string(guarded_calls.load()) + " guarded perform calls, " +
                       std::to_string(forbidden) + " forbidden calls\n";
    for (const std::string& line : lines) text += line;
    if (forbidden > itemised)
        text += "vorn_rtguard: " + std::to_string(forbidden - itemised) + " more, not itemised\n";
    return text;
}

// Everything resolved before a routine can run: dlsym may allocate. What
// the C library lacks stays null, and aborts only if it is called.
__attribute__((constructor)) void resolve() {
    for (unsigned f = fn_pthread_mutex_lock; f < fn_wide_dsp_add; ++f)
        if (!reals[f].load()) reals[f].store(dlsym(RTLD_NEXT, kNames[f]));
}

__attribute__((destructor)) void report_at_exit() {
    if (!hooked.load()) return;
    const std::string text = report_text();
    if (const char* path = getenv("VORN_RTGUARD_REPORT"); path && *path) {
        std::ofstream(path, std::ios::trunc) << text;
    } else if (forbidden_calls.load() > 0) {
        ssize_t ignored = REAL(write)(2, text.data(), text.size());
        (void)ignored;
    }
}

}  // namespace

// --- The interface ------------------------------------------------------------

extern "C" {

size_t vorn_rtguard_report(char* out, size_t size) {
    const std::string text = report_text();
    if (size > 0) {
        const size_t n = std::min(size - 1, text.size());
        memcpy(out, text.data(), n);
        out[n] = '\0';
    }
    return text.size();
}

void vorn_rtguard_reset(void) {
    for (Slot& s : slots) {
        s.key.store(0);
        s.count.store(0);
    }
    guarded_calls.store(0);
    forbidden_calls.store(0);
}

void* dlopen(const char* file, int mode) {
    static const auto next = reinterpret_cast<decltype(&::dlopen)>(dlsym(RTLD_NEXT, "dlopen"));
    void* handle = next(file, mode);
    if (handle) patch_watched_libraries();
    return handle;
}

// --- The allocator ----------------------------------------------------------------

void* malloc(size_t n) {
    note(fn_malloc);
    return __libc_malloc(n);
}
void* calloc(size_t count, size_t n) {
    note(fn_calloc);
    return __libc_calloc(count, n);
}
void* realloc(void* p, size_t n) {
    note(fn_realloc);
    return __libc_realloc(p, n);
}
void free(void* p) {
    note(fn_free);
    __libc_free(p);
}
void* aligned_alloc(size_t alignment, size_t n) {
    note(fn_aligned_alloc);
    return __libc_memalign(alignment, n);
}
void* memalign(size_t alignment, size_t n) {
    note(fn_memalign);
    return __libc_memalign(alignment, n);
}
int posix_memalign(void** out, size_t alignment, size_t n) {
    note(fn_posix_memalign);
    if (alignment == 0 || alignment % sizeof(void*) != 0 || (alignment & (alignment - 1)) != 0) return EINVAL;
    void* p = __libc_memalign(alignment, n);
    if (!p) return ENOMEM;
    *out = p;
    return 0;
}
void* valloc(size_t n) {
    note(fn_valloc);
    return __libc_valloc(n);
}
void* pvalloc(size_t n) {
    note(fn_pvalloc);
    return __libc_pvalloc(n);
}
void* reallocarray(void* p, size_t count, size_t n) {
    note(fn_reallocarray);
    size_t bytes;
    if (__builtin_mul_overflow(count, n, &bytes)) {
        errno = ENOMEM;
        return nullptr;
    }
    return __libc_realloc(p, bytes);
}

// --- Everything else: counted, then passed on as it came -----------------------

// A hook that takes fixed arguments and passes them on.
#define VORN_RTGUARD_PASS(ret, name, params, args) \
    ret name params {                              \
        note(fn_##name);                           \
        return REAL(name) args;                    \
    }

VORN_RTGUARD_PASS(int, pthread_mutex_lock, (pthread_mutex_t * m), (m))
VORN_RTGUARD_PASS(int, pthread_mutex_trylock, (pthread_mutex_t * m), (m))
VORN_RTGUARD_PASS(int, pthread_mutex_timedlock, (pthread_mutex_t * m, const timespec* t), (m, t))
VORN_RTGUARD_PASS(int, pthread_mutex_clocklock, (pthread_mutex_t * m, clockid_t c, const timespec* t), (m, c, t))
VORN_RTGUARD_PASS(int, pthread_mutex_unlock, (pthread_mutex_t * m), (m))
VORN_RTGUARD_PASS(int, pthread_cond_init, (pthread_cond_t * c, const pthread_condattr_t* a), (c, a))
VORN_RTGUARD_PASS(int, pthread_cond_destroy, (pthread_cond_t * c), (c))
VORN_RTGUARD_PASS(int, pthread_cond_signal, (pthread_cond_t * c), (c))
VORN_RTGUARD_PASS(int, pthread_cond_broadcast, (pthread_cond_t * c), (c))
VORN_RTGUARD_PASS(int, pthread_cond_wait, (pthread_cond_t * c, pthread_mutex_t* m), (c, m))
VORN_RTGUARD_PASS(int, pthread_cond_timedwait, (pthread_cond_t * c, pthread_mutex_t* m, const timespec* t),
                  (c, m, t))
VORN_RTGUARD_PASS(int, pthread_cond_clockwait,
                  (pthread_cond_t * c, pthread_mutex_t* m, clockid_t k, const timespec* t), (c, m, k, t))
VORN_RTGUARD_PASS(int, pthread_rwlock_init, (pthread_rwlock_t * l, const pthread_rwlockattr_t* a), (l, a))
VORN_RTGUARD_PASS(int, pthread_rwlock_destroy, (pthread_rwlock_t * l), (l))
VORN_RTGUARD_PASS(int, pthread_rwlock_rdlock, (pthread_rwlock_t * l), (l))
VORN_RTGUARD_PASS(int, pthread_rwlock_tryrdlock, (pthread_rwlock_t * l), (l))
VORN_RTGUARD_PASS(int, pthread_rwlock_timedrdlock, (pthread_rwlock_t * l, const timespec* t), (l, t))
VORN_RTGUARD_PASS(int, pthread_rwlock_clockrdlock, (pthread_rwlock_t * l, clockid_t c, const timespec* t),
                  (l, c, t))
VORN_RTGUARD_PASS(int, pthread_rwlock_wrlock, (pthread_rwlock_t * l), (l))
VORN_RTGUARD_PASS(int, pthread_rwlock_trywrlock, (pthread_rwlock_t * l), (l))
VORN_RTGUARD_PASS(int, pthread_rwlock_timedwrlock, (pthread_rwlock_t * l, const timespec* t), (l, t))
VORN_RTGUARD_PASS(int, pthread_rwlock_clockwrlock, (pthread_rwlock_t * l, clockid_t c, const timespec* t),
                  (l, c, t))
VORN_RTGUARD_PASS(int, pthread_rwlock_unlock, (pthread_rwlock_t * l), (l))
VORN_RTGUARD_PASS(int, sem_init, (sem_t * s, int shared, unsigned value), (s, shared, value))
VORN_RTGUARD_PASS(int, sem_destroy, (sem_t * s), (s))
VORN_RTGUARD_PASS(int, sem_close, (sem_t * s), (s))
VORN_RTGUARD_PASS(int, sem_unlink, (const char* name), (name))
VORN_RTGUARD_PASS(int, sem_wait, (sem_t * s), (s))
VORN_RTGUARD_PASS(int, sem_trywait, (sem_t * s), (s))
VORN_RTGUARD_PASS(int, sem_timedwait, (sem_t * s, const timespec* t), (s, t))
VORN_RTGUARD_PASS(int, sem_clockwait, (sem_t * s, clockid_t c, const timespec* t), (s, c, t))
VORN_RTGUARD_PASS(int, sem_post, (sem_t * s), (s))
VORN_RTGUARD_PASS(int, sem_getvalue, (sem_t * s, int* value), (s, value))

sem_t* sem_open(const char* name, int flags, ...) {
    note(fn_sem_open);
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = (flags & O_CREAT) ? static_cast<mode_t>(va_arg(ap, unsigned)) : 0;
    const unsigned value = (flags & O_CREAT) ? va_arg(ap, unsigned) : 0;
    va_end(ap);
    return REAL(sem_open)(name, flags, mode, value);
}

// open and its kin take a mode only when they may create a file.
#define VORN_RTGUARD_OPEN(name, params, args)                                             \
    int name params {                                                                       \
        note(fn_##name);                                                                    \
        mode_t mode = 0;                                                                    \
        if ((flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE) {                        \
            va_list ap;                                                                     \
            va_start(ap, flags);                                                            \
            mode = static_cast<mode_t>(va_arg(ap, unsigned));                               \
            va_end(ap);                                                                     \
        }                                                                                   \
        return REAL(name) args;                                                             \
    }
VORN_RTGUARD_OPEN(open, (const char* path, int flags, ...), (path, flags, mode))
VORN_RTGUARD_OPEN(open64, (const char* path, int flags, ...), (path, flags, mode))
VORN_RTGUARD_OPEN(openat, (int dir, const char* path, int flags, ...), (dir, path, flags, mode))
VORN_RTGUARD_OPEN(openat64, (int dir, const char* path, int flags, ...), (dir, path, flags, mode))

VORN_RTGUARD_PASS(int, creat, (const char* path, mode_t mode), (path, mode))
VORN_RTGUARD_PASS(int, creat64, (const char* path, mode_t mode), (path, mode))
VORN_RTGUARD_PASS(int, __open_2, (const char* path, int flags), (path, flags))
VORN_RTGUARD_PASS(int, __open64_2, (const char* path, int flags), (path, flags))
VORN_RTGUARD_PASS(int, __openat_2, (int dir, const char* path, int flags), (dir, path, flags))
VORN_RTGUARD_PASS(int, __openat64_2, (int dir, const char* path, int flags), (dir, path, flags))
VORN_RTGUARD_PASS(int, close, (int fd), (fd))
VORN_RTGUARD_PASS(ssize_t, read, (int fd, void* b, size_t n), (fd, b, n))
VORN_RTGUARD_PASS(ssize_t, write, (int fd, const void* b, size_t n), (fd, b, n))
VORN_RTGUARD_PASS(ssize_t, pread, (int fd, void* b, size_t n, off_t at), (fd, b, n, at))
VORN_RTGUARD_PASS(ssize_t, pread64, (int fd, void* b, size_t n, off64_t at), (fd, b, n, at))
VORN_RTGUARD_PASS(ssize_t, pwrite, (int fd, const void* b, size_t n, off_t at), (fd, b, n, at))
VORN_RTGUARD_PASS(ssize_t, pwrite64, (int fd, const void* b, size_t n, off64_t at), (fd, b, n, at))
VORN_RTGUARD_PASS(ssize_t, readv, (int fd, const iovec* v, int n), (fd, v, n))
VORN_RTGUARD_PASS(ssize_t, writev, (int fd, const iovec* v, int n), (fd, v, n))
VORN_RTGUARD_PASS(off_t, lseek, (int fd, off_t at, int whence), (fd, at, whence))
VORN_RTGUARD_PASS(off64_t, lseek64, (int fd, off64_t at, int whence), (fd, at, whence))
VORN_RTGUARD_PASS(int, fsync, (int fd), (fd))
VORN_RTGUARD_PASS(int, fdatasync, (int fd), (fd))
VORN_RTGUARD_PASS(ssize_t, __read_chk, (int fd, void* b, size_t n, size_t room), (fd, b, n, room))
VORN_RTGUARD_PASS(ssize_t, __pread_chk, (int fd, void* b, size_t n, off_t at, size_t room), (fd, b, n, at, room))
VORN_RTGUARD_PASS(ssize_t, __pread64_chk, (int fd, void* b, size_t n, off64_t at, size_t room),
                  (fd, b, n, at, room))

VORN_RTGUARD_PASS(FILE*, fopen, (const char* path, const char* how), (path, how))
VORN_RTGUARD_PASS(FILE*, fopen64, (const char* path, const char* how), (path, how))
VORN_RTGUARD_PASS(int, fclose, (FILE * f), (f))
VORN_RTGUARD_PASS(size_t, fread, (void* b, size_t size, size_t n, FILE* f), (b, size, n, f))
VORN_RTGUARD_PASS(size_t, fread_unlocked, (void* b, size_t size, size_t n, FILE* f), (b, size, n, f))
VORN_RTGUARD_PASS(size_t, __fread_chk, (void* b, size_t room, size_t size, size_t n, FILE* f), (b, room, size, n, f))
VORN_RTGUARD_PASS(size_t, fwrite, (const void* b, size_t size, size_t n, FILE* f), (b, size, n, f))
VORN_RTGUARD_PASS(size_t, fwrite_unlocked, (const void* b, size_t size, size_t n, FILE* f), (b, size, n, f))
VORN_RTGUARD_PASS(int, fputs, (const char* s, FILE* f), (s, f))
VORN_RTGUARD_PASS(int, fputs_unlocked, (const char* s, FILE* f), (s, f))
VORN_RTGUARD_PASS(int, fputc, (int c, FILE* f), (c, f))
VORN_RTGUARD_PASS(int, fputc_unlocked, (int c, FILE* f), (c, f))
VORN_RTGUARD_PASS(int, putc, (int c, FILE* f), (c, f))
VORN_RTGUARD_PASS(int, putc_unlocked, (int c, FILE* f), (c, f))
VORN_RTGUARD_PASS(int, puts, (const char* s), (s))
VORN_RTGUARD_PASS(int, putchar, (int c), (c))
VORN_RTGUARD_PASS(int, putchar_unlocked, (int c), (c))
VORN_RTGUARD_PASS(int, vprintf, (const char* format, va_list ap), (format, ap))
VORN_RTGUARD_PASS(int, vfprintf, (FILE * f, const char* format, va_list ap), (f, format, ap))
VORN_RTGUARD_PASS(int, vdprintf, (int fd, const char* format, va_list ap), (fd, format, ap))
VORN_RTGUARD_PASS(int, fflush, (FILE * f), (f))
VORN_RTGUARD_PASS(int, fflush_unlocked, (FILE * f), (f))
VORN_RTGUARD_PASS(void, perror, (const char* s), (s))
VORN_RTGUARD_PASS(int, __vprintf_chk, (int flag, const char* format, va_list ap), (flag, format, ap))
VORN_RTGUARD_PASS(int, __vfprintf_chk, (FILE * f, int flag, const char* format, va_list ap), (f, flag, format, ap))
VORN_RTGUARD_PASS(int, __vdprintf_chk, (int fd, int flag, const char* format, va_list ap), (fd, flag, format, ap))

// The variadic printers: counted as themselves, printed by the next
// definition of their va_list form.
#define VORN_RTGUARD_PRINTF(name, params, last, vform, args) \
    int name params {                                        \
        note(fn_##name);                                     \
        va_list ap;                                          \
        va_start(ap, last);                                  \
        const int n = REAL(vform) args;                      \
        va_end(ap);                                          \
        return n;                                            \
    }
VORN_RTGUARD_PRINTF(printf, (const char* format, ...), format, vfprintf, (stdout, format, ap))
VORN_RTGUARD_PRINTF(fprintf, (FILE * f, const char* format, ...), format, vfprintf, (f, format, ap))
VORN_RTGUARD_PRINTF(dprintf, (int fd, const char* format, ...), format, vdprintf, (fd, format, ap))
VORN_RTGUARD_PRINTF(__printf_chk, (int flag, const char* format, ...), format, __vfprintf_chk,
                    (stdout, flag, format, ap))
VORN_RTGUARD_PRINTF(__fprintf_chk, (FILE * f, int flag, const char* format, ...), format, __vfprintf_chk,
                    (f, flag, format, ap))
VORN_RTGUARD_PRINTF(__dprintf_chk, (int fd, int flag, const char* format, ...), format, __vdprintf_chk,
                    (fd, flag, format, ap))

VORN_RTGUARD_PASS(int, nanosleep, (const timespec* t, timespec* left), (t, left))
VORN_RTGUARD_PASS(int, clock_nanosleep, (clockid_t c, int flags, const timespec* t, timespec* left),
                  (c, flags, t, left))
VORN_RTGUARD_PASS(int, usleep, (useconds_t us), (us))
VORN_RTGUARD_PASS(unsigned, sleep, (unsigned s), (s))

// A system call takes at most six arguments; the kernel ignores those the
// call does not have.
long syscall(long number, ...) {
    note(fn_syscall);
    va_list ap;
    va_start(ap, number);
    long a[6];
    for (long& v : a) v = va_arg(ap, long);
    va_end(ap);
    return REAL(syscall)(number, a[0], a[1], a[2], a[3], a[4], a[5]);
}

}  // extern "C"
