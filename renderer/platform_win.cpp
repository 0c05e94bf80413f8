// platform.h for Windows.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform.h"

namespace vorn::render::platform {

namespace {

std::string error_text(DWORD code) {
    char* text = nullptr;
    const DWORD n = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
        0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string why = n && text ? std::string(text, n) : "error " + std::to_string(code);
    if (text) LocalFree(text);
    while (!why.empty() && (why.back() == '\n' || why.back() == '\r' || why.back() == ' ' || why.back() == '.'))
        why.pop_back();
    return why;
}

// Read by the console control handler, which Windows runs on a thread of its
// own: plain buffers, written only while it is not armed.
char temp_path[MAX_PATH + 1];
char interrupt_message[512];
volatile LONG armed = 0;
bool handler_installed = false;

void write_all(const char* text) {
    HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    DWORD n = static_cast<DWORD>(std::strlen(text));
    while (n > 0) {
        DWORD written = 0;
        if (!WriteFile(err, text, n, &written, nullptr) || written == 0) return;
        text += written;
        n -= written;
    }
}

// Ctrl+C is an interrupt (SIGINT, 2); Ctrl+Break, closing the console,
// logging off and shutting down are termination requests (SIGTERM, 15).
BOOL WINAPI interrupted(DWORD event) {
    if (!InterlockedCompareExchange(&armed, 0, 0)) return FALSE;  // the default: the process ends
    const bool interrupt = event == CTRL_C_EVENT;
    // The file is open for writing, shared for deletion: it goes when the
    // process ends.
    DeleteFileA(temp_path);
    write_all("\n");
    write_all(interrupt_message);
    write_all(interrupt ? "interrupted (Ctrl+C)\n" : "terminated\n");
    TerminateProcess(GetCurrentProcess(), interrupt ? 128 + 2 : 128 + 15);
    return TRUE;
}

// Six letters and digits, different from call to call.
std::string unique_suffix(unsigned attempt) {
    static unsigned counter = 0;
    LARGE_INTEGER t{};
    QueryPerformanceCounter(&t);
    uint64_t x = static_cast<uint64_t>(t.QuadPart) ^ (static_cast<uint64_t>(GetCurrentProcessId()) << 32) ^
                 (static_cast<uint64_t>(++counter) * 0x9E3779B97F4A7C15ull) ^ attempt;
    const char* alphabet = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::string s;
    for (int k = 0; k < 6; ++k) {
        x ^= x >> 33;
        x *= 0xff51afd7ed558ccdull;
        x ^= x >> 29;
        s += alphabet[x % 36];
    }
    return s;
}

}  // namespace

bool stderr_is_terminal() { return _isatty(_fileno(stderr)) != 0; }

bool create_temp_file(const std::string& dir, const std::string& prefix, std::string* path, std::string* error) {
    const std::string base = (dir.empty() ? std::string(".") : dir) + "/" + prefix;
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        const std::string name = base + unique_suffix(attempt);
        HANDLE h = CreateFileA(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            CloseHandle(h);
            *path = name;
            return true;
        }
        const DWORD code = GetLastError();
        if (code != ERROR_FILE_EXISTS && code != ERROR_ALREADY_EXISTS) {
            if (error) *error = error_text(code);
            return false;
        }
    }
    if (error) *error = "no free name for a temporary file";
    return false;
}

bool replace_file(const std::string& from, const std::string& to, std::string* error) {
    if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
    if (error) *error = error_text(GetLastError());
    return false;
}

std::FILE* open_for_writing(const std::string& path) {
    // As fopen(path, "wb"), but shared for deletion (see interrupted()).
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        errno = code == ERROR_ACCESS_DENIED       ? EACCES
                : code == ERROR_PATH_NOT_FOUND || code == ERROR_FILE_NOT_FOUND ? ENOENT
                : code == ERROR_DISK_FULL         ? ENOSPC
                                                  : EIO;
        return nullptr;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_WRONLY | _O_BINARY);
    if (fd < 0) {
        CloseHandle(h);
        return nullptr;
    }
    std::FILE* f = _fdopen(fd, "wb");
    if (!f) _close(fd);
    return f;
}

void remove_file(const std::string& path) {
    if (!path.empty()) DeleteFileA(path.c_str());
}

void on_interrupt_remove(const std::string& path, const std::string& message) {
    InterlockedExchange(&armed, 0);
    if (!handler_installed) handler_installed = SetConsoleCtrlHandler(interrupted, TRUE) != 0;
    if (path.empty() || path.size() > MAX_PATH) return;
    std::memcpy(temp_path, path.c_str(), path.size() + 1);
    std::snprintf(interrupt_message, sizeof interrupt_message, "%s", message.c_str());
    InterlockedExchange(&armed, 1);
}

}  // namespace vorn::render::platform
