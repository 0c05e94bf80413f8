// Bad input: a one-line error on standard error that names the culprit, exit
// 2 for usage errors and 1 for runtime failures, and no output file (an
// existing one left as it was). And an interrupted render leaves nothing.
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "harness.h"

namespace vorn::test {

namespace {

struct Case {
    std::vector<std::string> args;  // after "render"; "-o out.wav" is added unless given
    int status;
    std::string culprit;  // must appear in the error line
};

const std::vector<Case> kCases = {
    {{"--bogus"}, 2, "--bogus"},
    {{"nosuch.wav"}, 1, "nosuch.wav: no such file"},
    {{"folder"}, 1, "folder: is a folder"},
    {{"notes.txt"}, 1, "notes.txt: not a sound file"},
    {{"empty.wav"}, 1, "empty.wav: is an empty file"},
    {{"noframes.wav"}, 1, "noframes.wav: holds no samples"},
    {{"-b", "drums=nosuch.wav"}, 1, "-b drums=nosuch.wav: no such file"},
    {{"-b", "drums"}, 2, "-b \"drums\""},
    {{"-m", "0 host buffer late notes.txt"}, 1, "-m \"0 host buffer late notes.txt\": notes.txt: not a sound file"},
    {{"-p", "file:empty.wav"}, 1, "-p file:empty.wav: is an empty file"},
    {{"-m", "0 foo 5"}, 2, "-m \"0 foo 5\": unknown message target \"foo\""},
    {{"-m", "0 2:1 5"}, 2, "-m \"0 2:1 5\": there is no box 2"},
    {{"-m", "0 0:1 5"}, 2, "-m \"0 0:1 5\": there is no box 0"},
    {{"-m", "0 5 1"}, 2, "-m \"0 5 1\": inlet 5 is outside 0 to 4"},
    {{"-m", "0 1:9 1"}, 2, "-m \"0 1:9 1\": inlet 9 is outside 0 to 4"},
    {{"-m", "abc 1 5"}, 2, "-m \"abc 1 5\": malformed time \"abc\""},
    {{"-m", "-5 1 5"}, 2, "-m \"-5 1 5\": time -5 ms is before the start"},
    {{"-m", "1,5 1 5"}, 2, "malformed time \"1,5\""},
    {{"-m", "10 1"}, 2, "-m \"10 1\": no message after the target"},
    {{"-m", "10 host explode"}, 2, "unknown host command \"explode\""},
    {{"-m", "10 host delete drums"}, 2, "-m \"10 host delete drums\": no buffer~ named \"drums\""},
    {{"--score", "nosuch.txt"}, 1, "--score nosuch.txt: no such file"},
    {{"--score", "bad.txt"}, 2, "bad.txt:3: inlet 7 is outside 0 to 4"},
    {{"-r", "fast"}, 2, "-r \"fast\": not a number"},
    {{"-r", "0"}, 2, "-r 0: outside 1 to 768000 Hz"},
    {{"-r", "768001"}, 2, "-r 768001: outside 1 to 768000 Hz"},
    {{"-m", "10 host rate 0"}, 2, "host rate: 0 Hz is outside 1 to 768000 Hz"},
    {{"--vector", "big"}, 2, "--vector \"big\": not a whole number"},
    {{"--vector", "100"}, 2, "--vector 100: not a power of two between 1 and 4096"},
    {{"--vector", "0"}, 2, "--vector 0: not a power of two"},
    {{"--vector", "8192"}, 2, "--vector 8192: not a power of two"},
    {{"-o", "nofolder/out.wav"}, 1, "-o nofolder/out.wav: cannot write there"},
    {{"-o", "folder"}, 2, "-o folder: no file type"},
    {{"-o", "out.mp3"}, 2, "-o out.mp3: unknown file type .mp3"},
    {{"-o", "folder.wav"}, 1, "-o folder.wav: is a folder"},
    {{"--format", "double"}, 2, "--format \"double\""},
    {{"-o", "out.flac", "--format", "float"}, 2, "--format float: FLAC holds no float samples"},
    {{"--channel", "0", "two.wav"}, 2, "--channel 0: channels count from 1"},
    {{"--channel", "3", "two.wav"}, 1, "two.wav: has 2 channels; --channel 3 asks for more"},
    {{"-p", "line:0"}, 2, "-p line:0: give line:FROM:TO"},
    {{"-p", "jump:5"}, 2, "-p \"jump:5\": unknown kind \"jump\""},
    {{"-d", "12x"}, 2, "-d \"12x\": not a duration"},
    {{"-d", "0s"}, 2, "-d 0s: the duration must be more than zero"},
    {{"--seed", "-1"}, 2, "--seed -1: give 0 to 4294967295"},
    {{"--plugin-dir", "."}, 0, ""},  // not an error: the default place is searched after it
    {{}, 2, "-o OUT is required"},
};

using BadInput = RendererTest;

}  // namespace

TEST_F(BadInput, OneLineNamingTheCulpritAnExitCodeAndNoFile) {
    std::filesystem::create_directory(path("folder"));
    std::filesystem::create_directory(path("folder.wav"));
    write_file("notes.txt", "not a sound at all, just some words\n");
    write_file("empty.wav", "");
    write_sound(path("noframes.wav"), {}, 44100, 1);
    write_sound(path("two.wav"), std::vector<float>(2000, 0.25f), 44100, 2);
    write_file("bad.txt", "# a score\n100 4 50\n200 7 50\n");
    for (const Case& c : kCases) {
        std::vector<std::string> args = {"render"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        auto given = [&](const char* option) { return std::find(c.args.begin(), c.args.end(), option) != c.args.end(); };
        if (!given("-o") && !c.args.empty()) args.insert(args.end(), {"-o", "out.wav"});
        if (!given("-d") && !c.args.empty()) args.insert(args.end(), {"-d", "1000"});
        std::string description;
        for (const std::string& a : args) description += " [" + a + "]";
        if (c.status == 0) {
            Result r = vorn(args);
            EXPECT_EQ(r.status, 0) << description << "\n" << r.err;
            std::filesystem::remove(path("out.wav"));
            continue;
        }
        // Once with no output file, once with one that must survive.
        for (bool existing : {false, true}) {
            if (existing) write_file("out.wav", "keep me");
            const std::vector<std::string> before = listing();
            Result r = vorn(args);
            EXPECT_EQ(r.status, c.status) << description << "\n" << r.err;
            ASSERT_EQ(r.err_lines().size(), 1u) << description << "\n" << r.err;
            EXPECT_EQ(r.err.rfind("vorn: ", 0), 0u) << r.err;
            EXPECT_NE(r.err.find(c.culprit), std::string::npos) << description << "\n" << r.err;
            EXPECT_EQ(listing(), before) << description;
            if (existing) {
                EXPECT_EQ(read_file("out.wav"), "keep me") << description;
            }
            std::filesystem::remove(path("out.wav"));
        }
    }
}

// Permissions bind only users other than root: the checks run as nobody.
TEST_F(BadInput, AnUnreadableSoundFileAndAnUnwritableFolder) {
    constexpr int kNobody = 65534;
    write_sound(path("locked.wav"), std::vector<float>(1000, 0.5f), 44100, 1);
    std::filesystem::permissions(path("locked.wav"), std::filesystem::perms::none);
    std::filesystem::create_directory(path("shut"));
    std::filesystem::permissions(path("shut"), std::filesystem::perms::owner_all);  // root's alone
    std::filesystem::permissions(path(""), std::filesystem::perms::all);
    std::filesystem::permissions(path(".."), std::filesystem::perms::all);
    Result probe = wait(start({"--version"}, kNobody));
    if (probe.status != 0) GTEST_SKIP() << "vorn cannot be run as nobody here";

    Result unreadable = wait(start({"render", "locked.wav", "-o", "out.wav"}, kNobody));
    EXPECT_EQ(unreadable.status, 1);
    EXPECT_EQ(unreadable.err, "vorn: locked.wav: cannot be read: Permission denied\n");
    Result unwritable = wait(start({"render", "-o", "shut/out.wav"}, kNobody));
    EXPECT_EQ(unwritable.status, 1);
    EXPECT_EQ(unwritable.err, "vorn: -o shut/out.wav: cannot write there: Permission denied\n");
    EXPECT_EQ(listing(), (std::vector<std::string>{"locked.wav", "shut"}));
    EXPECT_TRUE(std::filesystem::is_empty(path("shut")));
}

TEST_F(BadInput, AnInterruptedRenderLeavesNoFileAndTheOldOneIntact) {
    for (int sig : {SIGTERM, SIGINT}) {
        write_file("out.wav", "keep me");
        // Long enough to be caught in the middle: 1024 grains for ten minutes.
        const int pid = start({"render", "-a", "10 src", "-p", "1000", "-d", "600s", "-o", "out.wav"});
        bool writing = false;
        for (int tries = 0; tries < 2000 && !writing; ++tries) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            writing = listing().size() > 1;
        }
        ASSERT_TRUE(writing) << "the temporary file never appeared";
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        kill(pid, sig);
        Result r = wait(pid);
        EXPECT_EQ(r.status, 128 + sig) << r.err;
        EXPECT_NE(r.err.find("vorn: out.wav was not written: "), std::string::npos) << r.err;
        EXPECT_EQ(listing(), std::vector<std::string>{"out.wav"});
        EXPECT_EQ(read_file("out.wav"), "keep me");
    }
}

// A disk that fills up while the file is written (a file-size limit makes
// every write past it fail with EFBIG): at the first sample block, in the
// middle, and in the last blocks that a container writes when it is
// completed. Each time: a clear one-line message, exit 1, no partial file,
// the previous file intact. With room enough the same render completes.
TEST_F(BadInput, AFullDiskLeavesNoFileAndTheOldOneIntact) {
    for (const std::string ext : {"wav", "aiff", "flac", "ogg"}) {
        const std::string out = "out." + ext;
        const std::vector<std::string> args{"render", "-q", "-d", "2s", "--seed", "1", "-o", out};
        ASSERT_EQ(vorn(args).status, 0) << ext;
        const long long size = static_cast<long long>(std::filesystem::file_size(path(out)));
        const std::string complete = read_file(out);
        for (long long limit : {4096LL, size / 2, size - 1500, size - 1}) {
            write_file(out, "keep me");
            Result r = wait(start(args, -1, limit));
            EXPECT_EQ(r.status, 1) << out << " limited to " << limit << ": " << r.err;
            EXPECT_TRUE(r.err == "vorn: -o " + out + ": cannot write: File too large\n" ||
                        r.err == "vorn: -o " + out + ": cannot complete the file: File too large\n")
                << out << " limited to " << limit << ": " << r.err;
            EXPECT_EQ(listing(), std::vector<std::string>{out}) << limit;
            EXPECT_EQ(read_file(out), "keep me") << out << " limited to " << limit;
        }
        write_file(out, "keep me");
        EXPECT_EQ(wait(start(args, -1, size)).status, 0) << ext;
        EXPECT_EQ(read_file(out), complete) << ext;
        std::filesystem::remove(path(out));
    }
}

}  // namespace vorn::test
