// platform.h for POSIX systems.
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform.h"

namespace vorn::render::platform {

namespace {

// Read by the signal handler: plain buffers, written only while it is not
// armed.
char temp_path[PATH_MAX + 1];
char interrupt_message[512];
volatile sig_atomic_t armed = 0;

void write_all(const char* text) {
    size_t n = strlen(text);
    while (n > 0) {
        ssize_t w = write(STDERR_FILENO, text, n);
        if (w <= 0) return;
        text += w;
        n -= static_cast<size_t>(w);
    }
}

extern "C" void interrupted(int sig) {
    if (armed) unlink(temp_path);
    write_all("\n");
    write_all(interrupt_message);
    write_all(sig == SIGINT ? "interrupted (SIGINT)\n" : sig == SIGTERM ? "terminated (SIGTERM)\n" : "hung up (SIGHUP)\n");
    _exit(128 + sig);
}

}  // namespace

bool stderr_is_terminal() { return isatty(STDERR_FILENO) == 1; }

bool create_temp_file(const std::string& dir, const std::string& prefix, std::string* path, std::string* error) {
    std::string pattern = (dir.empty() ? std::string(".") : dir) + "/" + prefix + "XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    int fd = mkstemp(name.data());
    if (fd < 0) {
        if (error) *error = strerror(errno);
        return false;
    }
    // mkstemp makes the file private; give it what a new file normally gets.
    mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    close(fd);
    *path = name.data();
    return true;
}

bool replace_file(const std::string& from, const std::string& to, std::string* error) {
    if (rename(from.c_str(), to.c_str()) == 0) return true;
    if (error) *error = strerror(errno);
    return false;
}

std::FILE* open_for_writing(const std::string& path) { return std::fopen(path.c_str(), "wb"); }

void remove_file(const std::string& path) {
    if (!path.empty()) unlink(path.c_str());
}

void on_interrupt_remove(const std::string& path, const std::string& message) {
    constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
    struct sigaction sa {};
    sigemptyset(&sa.sa_mask);
    armed = 0;
    // A closed standard output must not end the process with the file half
    // written; writes to it then just fail.
    sa.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &sa, nullptr);
    if (path.empty() || path.size() > PATH_MAX) {
        sa.sa_handler = SIG_DFL;
        for (int sig : kSignals) sigaction(sig, &sa, nullptr);
        return;
    }
    memcpy(temp_path, path.c_str(), path.size() + 1);
    snprintf(interrupt_message, sizeof interrupt_message, "%s", message.c_str());
    armed = 1;
    sa.sa_handler = interrupted;
    for (int sig : kSignals) sigaction(sig, &sa, nullptr);
}

}  // namespace vorn::render::platform
