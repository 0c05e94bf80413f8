// The renderer's behaviour as a command: repeatable output, console lines,
// message order, formats, its own report, help and version.
#include <pty.h>

#include <cerrno>
#include <cstring>
#include <sndfile.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <thread>

#include "harness.h"

namespace vorn::test {

namespace {

using Renderer = RendererTest;

const std::vector<std::string> kBanner = {"vorn~ 1.0.0: granular synthesis of a buffer~",
                                          "  grains: up to 1024, Hann window, 4-point cubic interpolation",
                                          "  the vorn~ authors, MIT licence"};

std::vector<std::string> after_banner(const Result& r) {
    std::vector<std::string> lines = r.out_lines();
    EXPECT_GE(lines.size(), kBanner.size());
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + std::min(lines.size(), kBanner.size())), kBanner);
    return std::vector<std::string>(lines.begin() + std::min(lines.size(), kBanner.size()), lines.end());
}

}  // namespace

TEST_F(Renderer, TheSameSeedGivesTheSameBytesInEveryFormat) {
    write_sound(path("src.wav"), test_tone(20000, 1), 44100, 1);
    for (std::string name : {"a.wav", "b.aiff", "c.flac", "d.ogg"}) {
        for (std::string run : {"1", "2"}) {
            std::vector<std::string> args = {"render", "src.wav", "-a", "4 src 30 0 50 80", "-m",
                                              "init 2 0 700 -500", "--seed", "4242", "-o", run + name};
            Result r = vorn(args);
            ASSERT_EQ(r.status, 0) << r.err;
        }
        EXPECT_EQ(read_file("1" + name), read_file("2" + name)) << name;
    }
    Result pcm = vorn({"render", "src.wav", "--seed", "4242", "--format", "pcm16", "-o", "p.wav"});
    ASSERT_EQ(pcm.status, 0) << pcm.err;
    EXPECT_EQ(read_sound(path("p.wav")).format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    EXPECT_EQ(read_sound(path("1b.aiff")).format, SF_FORMAT_AIFF | SF_FORMAT_FLOAT);
    EXPECT_EQ(read_sound(path("1c.flac")).format, SF_FORMAT_FLAC | SF_FORMAT_PCM_24);
    EXPECT_EQ(read_sound(path("1d.ogg")).format, SF_FORMAT_OGG | SF_FORMAT_VORBIS);
    // The float formats hold the same samples; the integer ones are near them.
    const std::vector<float> wav = read_sound(path("1a.wav")).samples;
    EXPECT_EQ(read_sound(path("1b.aiff")).samples, wav);
    const std::vector<float> flac = read_sound(path("1c.flac")).samples;
    ASSERT_EQ(flac.size(), wav.size());
    for (size_t i = 0; i < wav.size(); ++i) ASSERT_NEAR(flac[i], wav[i], 1.0 / (1 << 22));
}

TEST_F(Renderer, WithoutASeedRendersDifferAsTheClockMoves) {
    write_sound(path("src.wav"), test_tone(20000, 1), 44100, 1);
    const std::vector<std::string> args = {"render", "src.wav", "-a", "4 src 30 0 50 80", "-o"};
    std::vector<std::string> first = args, second = args;
    first.push_back("1.wav");
    second.push_back("2.wav");
    ASSERT_EQ(vorn(first).status, 0);
    const std::time_t then = std::time(nullptr);
    while (std::time(nullptr) == then) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_EQ(vorn(second).status, 0);
    EXPECT_NE(read_file("1.wav"), read_file("2.wav"));
}

TEST_F(Renderer, ConsoleLinesOfPrintAndOfAFailedLookupGoToStandardOutput) {
    write_sound(path("src.wav"), test_tone(11025, 0), 44100, 1);
    Result r = vorn({"render", "src.wav", "-a", "3 nosuch", "-a", "3 src", "-m", "10 2:0 print", "-m", "20 1:3 print",
                  "-d", "2000", "-o", "out.wav"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(after_banner(r), (std::vector<std::string>{
                                   "vorn~: cannot get buffer~ \"nosuch\"",  // at creation
                                   "vorn~: cannot get buffer~ \"nosuch\"",  // at loadbang
                                   "vorn~",
                                   "  buffer~ \"src\": 11025 samples @ 44.099998kHz,",
                                   "vorn~: no buffers",
                               }));
    // The renderer's own words are on standard error: the summary alone.
    ASSERT_EQ(r.err_lines().size(), 1u) << r.err;
    double peak = 0, cpu = 0, factor = 0;
    char close[2] = {};
    EXPECT_EQ(std::sscanf(r.err_lines()[0].c_str(),
                          "vorn: wrote out.wav: 0.05 s, 44100 Hz, float, peak %lf dBFS, CPU %lf s (%lfx real time%1[)]",
                          &peak, &cpu, &factor, close),
              4)
        << r.err;
    EXPECT_LT(peak, 0);
}

TEST_F(Renderer, MessagesGoInTimeOrderAndEqualTimesKeepScoreThenOptionOrder) {
    write_sound(path("src.wav"), test_tone(11025, 0), 44100, 1);
    write_sound(path("b.wav"), test_tone(500, 0), 22050, 1);
    write_file("s.txt", "5 0 print\n5 host buffer late b.wav\n");
    Result r = vorn({"render", "src.wav", "--score", "s.txt", "-m", "5 0 set late", "-m", "5 0 print", "-m",
                  "3 0 set early", "-m", "init 0 print", "-m", "0.01 host table src", "-m", "0.02 host loadbang",
                  "-d", "1000", "-o", "out.wav"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(after_banner(r), (std::vector<std::string>{
                                   "vorn~",  // init
                                   "  buffer~ \"src\": 11025 samples @ 44.099998kHz,",
                                   "vorn~: cannot get buffer~ \"src\"",    // loadbang: src is a table now
                                   "vorn~: cannot get buffer~ \"early\"",  // 3 ms
                                   "vorn~: no buffers",                    // 5 ms, the score first
                                   "vorn~",
                                   "  buffer~ \"late\": 500 samples @ 22.049999kHz,",
                               }));
}

TEST_F(Renderer, MessagesThatTheObjectIgnoresAreNoErrors) {
    write_sound(path("src.wav"), test_tone(11025, 0), 44100, 1);
    Result r = vorn({"render", "src.wav", "-m", "0 1 foo", "-m", "0 0 overlap", "-m", "0 1 2 foo", "-m", "0 3 set",
                  "-m", "100000 4 20", "-o", "out.wav"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_sound(path("out.wav")).frames(), 22050);
    // What the host could not hand over, and what came too late, are told.
    EXPECT_NE(r.err.find("warning: -m \"0 1 foo\": vorn~: no method for 'foo' (ignored)"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("warning: -m \"100000 4 20\": due at 4410000 samples, after the end"), std::string::npos)
        << r.err;
}

// A time too far out to be a sample count is still after the end: never
// delivered, not rounded to some sample at the start.
TEST_F(Renderer, AMessageFarBeyondTheEndIsNeverDelivered) {
    write_sound(path("src.wav"), test_tone(11025, 0), 44100, 1);
    Result r = vorn({"render", "src.wav", "-d", "100", "-m", "1e300 0 print", "-m", "1e19 0 version", "-o", "out.wav"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(after_banner(r).empty()) << r.out;
    EXPECT_NE(r.err.find("warning: -m \"1e19 0 version\": due too late for any output, after the end of the output; "
                         "not delivered"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("warning: -m \"1e300 0 print\": due too late"), std::string::npos) << r.err;
}

TEST_F(Renderer, TheBuiltInSoundStretchedTwiceByDefault) {
    Result r = vorn({"render", "-o", "demo.wav", "--seed", "1"});
    ASSERT_EQ(r.status, 0) << r.err;
    SoundFile s = read_sound(path("demo.wav"));
    EXPECT_EQ(s.rate, 44100);
    EXPECT_EQ(s.frames(), 2 * 6 * 44100);  // scan:0.5 over six seconds
    float peak = 0;
    for (float x : s.samples) peak = std::max(peak, std::fabs(x));
    EXPECT_GT(peak, 0.1f);
    EXPECT_LT(peak, 1.0f);
    EXPECT_NE(r.err.find("vorn: wrote demo.wav: 12.00 s, 44100 Hz, float, peak "), std::string::npos) << r.err;
}

TEST_F(Renderer, AnExistingFileIsReplacedByACompleteRender) {
    write_file("out.wav", "an older file");
    Result r = vorn({"render", "-o", "out.wav", "-d", "100ms"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_sound(path("out.wav")).frames(), 4410);
    EXPECT_EQ(listing(), std::vector<std::string>{"out.wav"});
}

TEST_F(Renderer, DurationsInSecondsMillisecondsAndSamples) {
    write_sound(path("src.wav"), test_tone(11025, 0), 22050, 1);
    for (auto [d, frames] : {std::pair<std::string, int64_t>{"1.5s", 33075}, {"10.01ms", 221}, {"777", 777}}) {
        ASSERT_EQ(vorn({"render", "src.wav", "-d", d, "-o", "out.wav"}).status, 0) << d;
        EXPECT_EQ(read_sound(path("out.wav")).frames(), frames) << d;
    }
    // scan: until the position reaches the end of src, from FROM.
    ASSERT_EQ(vorn({"render", "src.wav", "-p", "scan:0.25:100", "-o", "out.wav"}).status, 0);
    EXPECT_EQ(read_sound(path("out.wav")).frames(), 4 * (11025 - 2205));
    ASSERT_EQ(vorn({"render", "src.wav", "-p", "scan:-2", "-o", "out.wav"}).status, 0);
    EXPECT_EQ(read_sound(path("out.wav")).frames(), 5513);  // backwards, one pass from the end
}

TEST_F(Renderer, HelpDocumentsEveryOptionWithAnExampleAndVersionTellsTheVersion) {
    Result top = vorn({"--help"});
    EXPECT_EQ(top.status, 0);
    EXPECT_NE(top.out.find("render"), std::string::npos);
    Result help = vorn({"render", "--help"});
    EXPECT_EQ(help.status, 0);
    for (std::string option : {"SOUNDFILE", "--output", "--format", "--channel", "--buffer", "--args", "--rate",
                               "--vector", "--position", "--duration", "--message", "--score", "--seed",
                               "--plugin-dir", "--quiet"}) {
        const size_t at = help.out.find(option);
        ASSERT_NE(at, std::string::npos) << option;
        const size_t next = help.out.find("\n  -", at + 1);
        EXPECT_NE(help.out.substr(at, next - at).find("e.g. "), std::string::npos) << option << " has no example";
    }
    Result version = vorn({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "vorn " VORN_VERSION "\n");
}

TEST_F(Renderer, AProgressBarOnATerminalUnlessQuiet) {
    for (bool quiet : {false, true}) {
        int terminal = -1;
        pid_t pid = forkpty(&terminal, nullptr, nullptr, nullptr);
        // A container or chroot without a pseudo-terminal file system has no
        // terminal to draw on: nothing to test there.
        if (pid < 0) GTEST_SKIP() << "no pseudo-terminal can be opened here: " << std::strerror(errno);
        if (pid == 0) {
            if (chdir(dir_.c_str()) != 0) _exit(126);
            if (quiet)
                execl(VORN_EXE, VORN_EXE, "render", "-o", "out.wav", "-d", "2s", "-q", nullptr);
            else
                execl(VORN_EXE, VORN_EXE, "render", "-o", "out.wav", "-d", "2s", nullptr);
            _exit(127);
        }
        std::string screen;
        char buffer[4096];
        for (ssize_t n; (n = read(terminal, buffer, sizeof buffer)) > 0;) screen.append(buffer, static_cast<size_t>(n));
        close(terminal);
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_EQ(status, 0);
        EXPECT_NE(screen.find("vorn: wrote out.wav: 2.00 s"), std::string::npos) << screen;
        EXPECT_EQ(screen.find("100%  elapsed 0:0"), quiet ? std::string::npos : screen.find("100%")) << screen;
        EXPECT_EQ(screen.find("remaining") != std::string::npos, !quiet) << screen;
    }
}

}  // namespace vorn::test
