#include "harness.h"

#include <fcntl.h>
#include <signal.h>
#include <sndfile.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "random.h"
#include "tables.h"

namespace vorn::test {

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::string> Result::out_lines() const { return lines_of(out); }
std::vector<std::string> Result::err_lines() const { return lines_of(err); }

RendererTest::RendererTest() {
    char pattern[] = "/tmp/vorn-renderer-XXXXXX";
    const char* made = mkdtemp(pattern);
    EXPECT_NE(made, nullptr);
    dir_ = std::string(made ? made : "/tmp") + "/work";
    std::filesystem::create_directory(dir_);
}

RendererTest::~RendererTest() { std::filesystem::remove_all(std::filesystem::path(dir_).parent_path()); }

int RendererTest::start(const std::vector<std::string>& args, int uid, long long file_limit) const {
    const std::string out = dir_ + "/../stdout", err = dir_ + "/../stderr";
    pid_t pid = fork();
    if (pid == 0) {
        int in = open("/dev/null", O_RDONLY);
        int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || o < 0 || e < 0) _exit(126);
        if (uid >= 0 && (setgid(static_cast<gid_t>(uid)) != 0 || setuid(static_cast<uid_t>(uid)) != 0)) _exit(126);
        if (chdir(dir_.c_str()) != 0) _exit(126);
        if (file_limit >= 0) {
            // Ignored, SIGXFSZ stays ignored across exec: the write fails instead.
            signal(SIGXFSZ, SIG_IGN);
            const rlimit limit{static_cast<rlim_t>(file_limit), static_cast<rlim_t>(file_limit)};
            if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(126);
        }
        dup2(in, 0);
        dup2(o, 1);
        dup2(e, 2);
        std::vector<char*> argv{const_cast<char*>(VORN_EXE)};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(VORN_EXE, argv.data());
        _exit(127);
    }
    return pid;
}

Result RendererTest::wait(int pid) const {
    Result run;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    run.out = slurp(dir_ + "/../stdout");
    run.err = slurp(dir_ + "/../stderr");
    return run;
}

Result RendererTest::vorn(const std::vector<std::string>& args) const { return wait(start(args)); }

std::vector<std::string> RendererTest::listing() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir_)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

std::string RendererTest::read_file(const std::string& name) const { return slurp(path(name)); }

void RendererTest::write_file(const std::string& name, const std::string& bytes) const {
    std::ofstream(path(name), std::ios::binary) << bytes;
}

void write_sound(const std::string& path, const std::vector<float>& interleaved, int rate, int channels, int format) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = format ? format : SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(f, nullptr) << path << ": " << sf_strerror(nullptr);
    sf_command(f, SFC_SET_ADD_PEAK_CHUNK, nullptr, SF_FALSE);
    sf_writef_float(f, interleaved.data(), static_cast<sf_count_t>(interleaved.size() / channels));
    sf_close(f);
}

SoundFile read_sound(const std::string& path) {
    SoundFile s;
    SF_INFO info{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    EXPECT_NE(f, nullptr) << path << ": " << sf_strerror(nullptr);
    if (!f) return s;
    s.rate = info.samplerate;
    s.channels = info.channels;
    s.format = info.format;
    s.samples.resize(static_cast<size_t>(info.frames * info.channels));
    EXPECT_EQ(sf_readf_float(f, s.samples.data(), info.frames), info.frames);
    sf_close(f);
    return s;
}

std::vector<float> test_tone(int frames, int voice) {
    std::vector<float> s(static_cast<size_t>(frames));
    for (int i = 0; i < frames; ++i) {
        const double t = i / 44100.0;
        const double swell = 0.5 + 0.5 * std::sin(2 * M_PI * (1.3 + voice) * t);
        s[static_cast<size_t>(i)] = static_cast<float>(
            swell * (0.5 * std::sin(2 * M_PI * (220.0 + 110 * voice) * t) + 0.25 * std::sin(2 * M_PI * 1375.0 * t)) +
            0.1 * std::sin(i * 0.37 * (voice + 1)));
    }
    return s;
}

DirectRender::DirectRender(uint32_t seed) {
    build_tables();
    random_state = seed % 0x7FFFFFFFu;
    if (random_state == 0) random_state = 1;
}

DirectRender::~DirectRender() {
    for (auto& g : boxes_) release(*g);
}

Granulator& DirectRender::box(int32_t log2) {
    boxes_.push_back(std::make_unique<Granulator>());
    Granulator& g = *boxes_.back();
    init(g, log2);
    return g;
}

Granulator& DirectRender::box(int32_t log2, double pos_jitter, double transp, double transp_jitter, double period) {
    Granulator& g = box(log2);
    set_period(g, period);
    set_transp_jitter(g, transp_jitter);
    set_transposition(g, transp);
    set_pos_jitter(g, pos_jitter);
    return g;
}

void DirectRender::set_source(const std::vector<float>* samples) {
    samples_ = samples;
    source_.valid = samples ? 1 : 0;
    source_.samples = samples ? samples->data() : nullptr;
    source_.frames = samples ? static_cast<int32_t>(samples->size()) : 0;
}

void DirectRender::compile(double rate) {
    for (auto& g : boxes_) compile_and_restart(*g, static_cast<float>(rate));
}

std::vector<float> DirectRender::run(int64_t length, int n, const std::function<float(int64_t)>& position,
                                     const std::function<void(int64_t, int)>& before) {
    std::vector<float> out, in(static_cast<size_t>(n)), sum(static_cast<size_t>(n)), one(static_cast<size_t>(n));
    for (int64_t start = 0; start < length; start += n) {
        before(start, n);
        for (int j = 0; j < n; ++j) in[static_cast<size_t>(j)] = position(start + j);
        for (size_t b = 0; b < boxes_.size(); ++b) {
            boxes_[b]->source = source_;  // as the plug-in reads its buffer~ at every vector
            perform(*boxes_[b], in.data(), one.data(), n);
            for (int j = 0; j < n; ++j) sum[static_cast<size_t>(j)] = b == 0 ? one[static_cast<size_t>(j)] : sum[static_cast<size_t>(j)] + one[static_cast<size_t>(j)];
        }
        out.insert(out.end(), sum.begin(), sum.begin() + std::min<int64_t>(n, length - start));
    }
    return out;
}

void expect_same_samples(const std::vector<float>& expected, const std::vector<float>& actual) {
    ASSERT_EQ(expected.size(), actual.size());
    size_t first_difference = expected.size();
    for (size_t i = 0; i < expected.size(); ++i)
        if (std::memcmp(&expected[i], &actual[i], sizeof(float)) != 0) {
            first_difference = i;
            break;
        }
    EXPECT_EQ(first_difference, expected.size())
        << "first difference at sample " << first_difference << ": expected " << expected[first_difference]
        << ", got " << actual[first_difference];
    double energy = 0;
    for (float x : expected) energy += double(x) * x;
    EXPECT_GT(energy, 1.0) << "a match of two near-silences proves little";
}

}  // namespace vorn::test
