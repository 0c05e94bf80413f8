#include "pd_harness.h"

#include <fcntl.h>
#include <signal.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace vorn::pdtest {

using vorn::test::lines_of;
using vorn::test::slurp;

namespace {

// The program NAME on PATH, or "" if there is none.
std::string on_path(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path ? path : "/usr/bin:/bin");
    for (std::string dir; std::getline(dirs, dir, ':');) {
        const std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        struct stat st {};
        if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return "";
}

// Debian's libfaketime. Preloaded directly rather than through the faketime
// wrapper: the wrapper keeps a named semaphore per process id in /dev/shm
// and refuses to start ("sem_open: File exists") where one was left behind
// by a killed run whose id comes round again.
std::string faketime_library() {
    for (const std::string dir : {"/usr/lib/" VORN_MULTIARCH "/faketime", "/usr/lib/faketime",
                                  "/usr/local/lib/faketime"}) {
        const std::string candidate = dir + "/libfaketime.so.1";
        if (access(candidate.c_str(), R_OK) == 0) return candidate;
    }
    return "";
}

// Pd's batch mode computes as fast as it can; a patch that never quits
// (an object that failed to create, say) is stopped after this long.
constexpr auto kPatience = std::chrono::seconds(120);

// --- Windows Pd, through the job runner ------------------------------------------

std::string setting(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

// Thrown by a Pd run in the first pass, once its job is written: the test
// ends there, its checks wait for the second pass.
struct JobWritten {};

// The run's job: the test's name and the run's, as the job runner takes
// names.
std::string job_name(const std::string& run) {
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = "pd." + std::string(info->test_suite_name()) + "." + info->name() + "." + run;
    for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-' && c != '_' && c != '+')
            c = c == '/' ? '.' : '_';
    return name;
}

// Pd under Wine in a job: the folder's files (the patch and what it reads)
// and the external go with it, every WAV file it writes comes back.
void write_job(const std::string& jobs, const std::string& name, const std::string& folder,
               const std::vector<std::string>& args) {
    namespace fs = std::filesystem;
    const fs::path job = fs::path(jobs) / name, files = job / "files";
    if (fs::exists(job)) {
        ADD_FAILURE() << "two Pd runs make the job " << name;
        return;
    }
    fs::create_directories(files);
    std::string description = "program pd/pd.com\n";
    for (const std::string& a : args) description += "arg " + a + "\n";
    const fs::path external = fs::path(shipped_external()) / ("vorn~.m_" + windows_pd_arch());
    std::vector<fs::path> inputs{external};
    for (const auto& entry : fs::directory_iterator(folder))
        if (entry.is_regular_file()) inputs.push_back(entry.path());
    for (const fs::path& f : inputs) {
        std::error_code error;
        fs::copy_file(f, files / f.filename(), error);
        EXPECT_FALSE(error) << "cannot copy " << f << " into the job " << name << ": " << error.message();
        description += "input " + name + "/files/" + f.filename().string() + "\n";
    }
    description += "output *.wav\n";
    std::ofstream(job / "job") << description;
}

// The run's results, as the job runner left them: its status, its console
// (Pd's standard error, with Windows line ends), its clock readings, and the
// files it wrote, put into the test's folder.
PdRun read_job(const std::string& results, const std::string& name, const std::string& folder) {
    namespace fs = std::filesystem;
    PdRun run;
    const fs::path res = fs::path(results) / name;
    const std::string status = slurp((res / "status").string());
    if (status.empty()) {
        ADD_FAILURE() << "the Windows Pd run " << name << " left no result in " << results;
        return run;
    }
    run.status = std::atoi(status.c_str());
    for (char c : slurp((res / "stderr").string()))
        if (c != '\r') run.raw += c;
    // A Windows Pd marks in the registry that it is loading its startup
    // libraries and clears the mark after; Pds running side by side in one
    // Wine prefix can see each other's mark and say so. These runs load no
    // startup library, so nothing is skipped: the notice is dropped.
    static const std::string notice =
        "skipping loading preferences... Pd seems to have crashed on startup\n"
        "(re-save preferences to reinstate them)\n";
    if (const size_t at = run.raw.find(notice); at != std::string::npos) run.raw.erase(at, notice.size());
    run.console = lines_of(run.raw);
    std::istringstream(slurp((res / "clock").string())) >> run.clock_from >> run.clock_to;
    std::error_code error;
    if (fs::is_directory(res / "out"))
        for (const auto& entry : fs::directory_iterator(res / "out"))
            fs::copy_file(entry.path(), fs::path(folder) / entry.path().filename(),
                          fs::copy_options::overwrite_existing, error);
    return run;
}

}  // namespace

bool in_windows_pd() { return !setting("VORN_WINPD_ARCH").empty(); }
std::string windows_pd_arch() { return setting("VORN_WINPD_ARCH"); }

// --- Patches -----------------------------------------------------------------

std::string number(double v) {
    char text[40];
    std::snprintf(text, sizeof text, "%.17g", v);
    return text;
}

std::string escape(const std::string& text) {
    // Commas and semicolons are atoms of their own, written \\, and \\; .
    std::string out;
    for (char c : text) {
        if (c == ',' || c == ';')
            out += std::string(" \\") + c + " ";
        else if (c == '$')
            out += "\\$";
        else
            out += c;
    }
    return out;
}

int Patch::add(const std::string& line) {
    lines_.push_back(line);
    return count_++;
}

int Patch::obj(const std::string& text) {
    return add("#X obj 10 " + std::to_string(10 + 25 * count_) + " " + escape(text) + ";");
}

int Patch::msg(const std::string& text) {
    return add("#X msg 10 " + std::to_string(10 + 25 * count_) + " " + escape(text) + ";");
}

int Patch::subpatch(const std::string& name, const Patch& inner) {
    std::string body = "#N canvas 0 50 450 300 " + name + " 0;\n";
    std::istringstream in(inner.text());
    std::string line;
    std::getline(in, line);  // the inner patch's own canvas line
    while (std::getline(in, line)) body += line + "\n";
    return add(body + "#X restore 10 " + std::to_string(10 + 25 * count_) + " pd " + name + ";");
}

void Patch::connect(int from, int outlet, int to, int inlet) {
    connections_.push_back("#X connect " + std::to_string(from) + " " + std::to_string(outlet) + " " +
                           std::to_string(to) + " " + std::to_string(inlet) + ";");
}

std::string Patch::text() const {
    std::string t = "#N canvas 0 50 450 300 12;\n";
    for (const std::string& l : lines_) t += l + "\n";
    for (const std::string& c : connections_) t += c + "\n";
    return t;
}

// --- Running Pd ----------------------------------------------------------------

std::string shipped_external() { return in_windows_pd() ? setting("VORN_WINPD_EXTERNAL") : VORN_PD_EXTERNAL_DIR; }
std::string reporting_external() { return VORN_PD_REPORT_DIR; }

std::string clock_text(int64_t seconds) {
    const time_t t = static_cast<time_t>(seconds);
    struct tm utc {};
    gmtime_r(&t, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &utc);
    return text;
}

PdRun PdTest::pd(const std::string& name, const Patch& patch, const PdOptions& options) {
    return pd(name, patch.text(), options);
}

PdRun PdTest::pd(const std::string& name, const std::string& patch_text, const PdOptions& options) {
    if (in_windows_pd()) {
        if (options.external_dir != shipped_external())
            ADD_FAILURE() << name << ": a Windows Pd runs the shipped external only";
        write_file(name + ".pd", patch_text);
        const std::string job = job_name(name), jobs = setting("VORN_WINPD_JOBS");
        if (!jobs.empty()) {
            // (No -nrt: Pd for Windows has no real-time priority to leave
            // and says so.)
            std::vector<std::string> args{"-nogui", "-batch", "-noaudio", "-nomidi", "-noprefs", "-nostdpath",
                                          "-r", "44100", "-path", "."};
            args.insert(args.end(), options.extra.begin(), options.extra.end());
            args.push_back(name + ".pd");
            write_job(jobs, job, dir_, args);
            throw JobWritten{};
        }
        return read_job(setting("VORN_WINPD_RESULTS"), job, dir_);
    }
    PdRun run;
    const std::string pd_exe = on_path("pd"), faketime = faketime_library();
    if (pd_exe.empty()) {
        ADD_FAILURE() << "pd is not on PATH: these tests run vorn~ in Pd (Debian's puredata-core; "
                         "scripts/install-deps.sh build installs it)";
        return run;
    }
    if (options.stop_clock && faketime.empty()) {
        ADD_FAILURE() << "libfaketime is not installed: these tests stop Pd's clock with it (Debian's "
                         "faketime; scripts/install-deps.sh build installs it)";
        return run;
    }
    const std::string file = name + ".pd";
    write_file(file, patch_text);

    std::vector<std::string> args;
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        const std::string v = *e;
        if (v.rfind("TZ=", 0) == 0 || v.rfind("FAKETIME", 0) == 0 || v.rfind("LD_PRELOAD=", 0) == 0 ||
            v.rfind("ASAN_OPTIONS=", 0) == 0 || v.rfind("LSAN_OPTIONS=", 0) == 0 ||
            v.rfind("VORN_ASAN_RUNTIME=", 0) == 0 || v.rfind("VORN_RTGUARD_", 0) == 0)
            continue;
        env.push_back(v);
    }
    std::string preload;
    if (options.stop_clock) {
        // The clock that time() reads stands still; Pd's scheduler reads the
        // monotonic clock, which keeps running.
        preload = faketime;
        env.push_back("FAKETIME=" + clock_text(options.clock));
        env.push_back("TZ=UTC");
        env.push_back("FAKETIME_DONT_FAKE_MONOTONIC=1");
    }
    const std::string guard_report = dir_ + "/../" + name + ".rtguard";
#ifdef VORN_RTGUARD
    // After libfaketime: a sleep reaches its hook first, which passes it on
    // to the guard's.
    if (!preload.empty()) preload += ':';
    preload += VORN_RTGUARD;
    env.push_back("VORN_RTGUARD_LIBRARY=vorn~");
    env.push_back("VORN_RTGUARD_REPORT=" + guard_report);
    std::remove(guard_report.c_str());
#endif
    if (!preload.empty()) env.push_back("LD_PRELOAD=" + preload);
#ifdef VORN_PD_PRELOAD
    // An external built with AddressSanitizer in a host built without it:
    // the runtime is preloaded.
    if (options.stop_clock) {
        // After libfaketime, which is in LD_PRELOAD already: in front of
        // it, the runtime's allocator would call clock_gettime while
        // libfaketime, not yet set up, looks its own functions up with
        // dlsym, which allocates, and Pd would hang at start. Leak checking
        // at exit does not survive libfaketime either: it is left to the
        // runs with the clock running.
        args = {"/bin/sh", "-c", "LD_PRELOAD=\"$LD_PRELOAD:$VORN_ASAN_RUNTIME\" exec \"$0\" \"$@\""};
        env.push_back(std::string("VORN_ASAN_RUNTIME=") + VORN_PD_PRELOAD);
        env.push_back("ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0:abort_on_error=1");
    } else {
        // Leaks are checked at exit, but not those of Pd's own allocator:
        // Pd leaves a few small blocks behind when a canvas is cleared.
        write_file("../lsan.supp", "leak:getbytes\nleak:resizebytes\nleak:copybytes\n");
        env.push_back(std::string("LD_PRELOAD=") + VORN_PD_PRELOAD);
        env.push_back("ASAN_OPTIONS=detect_leaks=1:abort_on_error=1");
        env.push_back("LSAN_OPTIONS=print_suppressions=0:suppressions=" + dir_ + "/../lsan.supp");
    }
#endif
    args.insert(args.end(), {pd_exe, "-nogui", "-batch", "-noaudio", "-nomidi", "-noprefs", "-nostdpath", "-nrt",
                             "-r", "44100", "-path", options.external_dir});
    args.insert(args.end(), options.extra.begin(), options.extra.end());
    args.push_back(file);

    const std::string err_path = dir_ + "/../" + name + ".console";
    pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        int in = open("/dev/null", O_RDONLY);
        int out = open((dir_ + "/../" + name + ".stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0 || err < 0 || chdir(dir_.c_str()) != 0) _exit(126);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        std::vector<char*> argv, envp;
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
        envp.push_back(nullptr);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    setpgid(pid, pid);
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    int status = 0;
    for (;;) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) break;
        if (done < 0 && errno != EINTR) break;
        if (std::chrono::steady_clock::now() > deadline) {
            kill(-pid, SIGKILL);
            waitpid(pid, &status, 0);
            run.timed_out = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    run.raw = slurp(err_path);
    run.console = lines_of(run.raw);
    run.guard = vorn::rtguard::parse(slurp(guard_report));
    EXPECT_FALSE(run.timed_out) << name << ": Pd had not quit after " << kPatience.count() << " s:\n" << run.raw;
    EXPECT_LE(run.guard.forbidden, 0) << name << ": vorn~'s perform routine broke the real-time rule:\n"
                                      << run.guard.text;
    return run;
}

::testing::AssertionResult ran_guarded(const PdRun& run) {
    // The guard hooks Linux libraries: a Windows Pd is not guarded.
    if (!kGuarded || in_windows_pd() || run.guard.guarded > 0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "the real-time guard saw no perform call of vorn~ ("
                                         << (run.guard.guarded < 0 ? "no report" : "none guarded") << "):\n"
                                         << run.guard.text << run.raw;
}

std::string sanitizer_report(const PdRun& run) {
    static const char* const marks[] = {"AddressSanitizer", "LeakSanitizer", "runtime error:",
                                        "UndefinedBehaviorSanitizer"};
    for (const char* m : marks)
        if (run.raw.find(m) != std::string::npos) return run.raw;
    return "";
}

std::vector<std::string> pd_wording(const std::vector<std::string>& max_lines) {
    // print: `  buffer~ "NAME": N samples @ RkHz,`; a failed lookup:
    // `vorn~: cannot get buffer~ "NAME"`.
    const std::string print_head = "  buffer~ \"", lookup_head = "vorn~: cannot get buffer~ \"";
    std::vector<std::string> out;
    for (const std::string& line : max_lines) {
        const size_t name_end = line.rfind("\": ");
        const size_t count_end = line.find(" samples @ ", name_end);
        if (line.starts_with(print_head) && line.ends_with("kHz,") && name_end != std::string::npos &&
            name_end >= print_head.size() && count_end != std::string::npos)
            out.push_back("  array \"" + line.substr(print_head.size(), name_end - print_head.size()) + "\": " +
                          line.substr(name_end + 3, count_end - name_end - 3) + " samples");
        else if (line.starts_with(lookup_head) && line.ends_with("\"") && line.size() > lookup_head.size())
            out.push_back("error: vorn~: cannot get array \"" +
                          line.substr(lookup_head.size(), line.size() - lookup_head.size() - 1) + "\"");
        else if (line == "vorn~: no buffers")
            out.push_back("vorn~: no arrays");
        else
            out.push_back(line);
    }
    return out;
}

// --- Sound ---------------------------------------------------------------------

void write_floats(const std::string& path, const std::vector<float>& samples) {
    vorn::test::write_sound(path, samples, 44100, 1);
}

::testing::AssertionResult same_bits(const std::vector<float>& expected, const std::vector<float>& actual) {
    if (expected.size() != actual.size())
        return ::testing::AssertionFailure()
               << "lengths differ: " << expected.size() << " samples expected, " << actual.size() << " recorded";
    size_t differing = 0, first = 0;
    for (size_t i = 0; i < expected.size(); ++i)
        if (std::memcmp(&expected[i], &actual[i], sizeof(float)) != 0 && differing++ == 0) first = i;
    if (differing == 0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << differing << " of " << expected.size()
                                         << " samples differ, the first at sample " << first << " (vector "
                                         << first / 64 << "): " << expected[first] << " expected, "
                                         << actual[first] << " recorded";
}

}  // namespace vorn::pdtest
