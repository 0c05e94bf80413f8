#include "score.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>

#include "text.h"

namespace vorn::render {

namespace {

[[noreturn]] void bad(const std::string& where, const std::string& what) { fail_usage(where + ": " + what); }

void read_time(const std::string& word, Event& e) {
    if (word == "init") {
        e.init = true;
        return;
    }
    std::optional<double> t = read_number(word);
    if (!t) bad(e.where, "malformed time " + in_quotes(word) + " (give ms from the start of the output, or init)");
    if (*t < 0) bad(e.where, "time " + word + " ms is before the start of the output");
    e.time_ms = *t;
}

int read_index(const std::string& word, const std::string& where, const char* what) {
    std::optional<int64_t> n = read_integer(word);
    if (!n || word.empty() || word[0] == '+' || word[0] == '-')
        bad(where, std::string("malformed ") + what + " " + in_quotes(word));
    return *n > 1000000 ? 1000000 : static_cast<int>(*n);
}

void read_target(const std::string& word, Event& e) {
    if (word == "host") {
        e.host = true;
        return;
    }
    const bool digits_only = !word.empty() && std::all_of(word.begin(), word.end(), [](char c) {
        return (c >= '0' && c <= '9') || c == ':';
    });
    const size_t colon = word.find(':');
    if (!digits_only || colon == 0 || colon == word.size() - 1 || word.find(':', colon + 1) != std::string::npos)
        bad(e.where, "unknown message target " + in_quotes(word) + " (give an inlet 0 to 4, BOX:INLET, or host)");
    if (colon != std::string::npos) {
        e.box = read_index(word.substr(0, colon), e.where, "box number");
        e.inlet = read_index(word.substr(colon + 1), e.where, "inlet");
        if (e.box < 1) bad(e.where, "there is no box 0 (boxes count from 1)");
    } else {
        e.inlet = read_index(word, e.where, "inlet");
    }
    if (e.inlet > 4) bad(e.where, "inlet " + std::to_string(e.inlet) + " is outside 0 to 4");
}

void read_host_command(const std::vector<std::string>& words, std::string_view rest, Event& e) {
    HostCommand& c = e.command;
    const std::string& verb = words[0];
    auto want = [&](size_t n, const char* usage) {
        if (words.size() != n) bad(e.where, "host " + verb + " takes " + usage);
    };
    if (verb == "dsp") {
        want(1, "no arguments");
        c.kind = HostCommand::Dsp;
    } else if (verb == "loadbang") {
        want(1, "no arguments");
        c.kind = HostCommand::Loadbang;
    } else if (verb == "rate") {
        want(2, "a rate in Hz");
        std::optional<double> hz = read_number(words[1]);
        if (!hz) bad(e.where, "host rate: " + in_quotes(words[1]) + " is not a number");
        if (!(*hz >= 1 && *hz <= 768000)) bad(e.where, "host rate: " + words[1] + " Hz is outside 1 to 768000 Hz");
        c.kind = HostCommand::Rate;
        c.rate = *hz;
    } else if (verb == "buffer") {
        if (words.size() < 3) bad(e.where, "host buffer takes a name and a sound file");
        c.kind = HostCommand::Buffer;
        c.name = words[1];
        // The file is the rest of the line, so that its path may hold blanks.
        rest = trim(trim(rest).substr(verb.size()));
        rest = trim(rest.substr(words[1].size()));
        c.path = std::string(rest);
    } else if (verb == "delete" || verb == "invalid" || verb == "valid" || verb == "table") {
        want(2, "a name");
        c.kind = verb == "delete"    ? HostCommand::Delete
                 : verb == "invalid" ? HostCommand::Invalid
                 : verb == "valid"   ? HostCommand::Valid
                                     : HostCommand::Table;
        c.name = words[1];
    } else {
        bad(e.where, "unknown host command " + in_quotes(verb) +
                         " (dsp, rate, buffer, delete, invalid, valid, table or loadbang)");
    }
}

}  // namespace

Event read_message(std::string_view text, const std::string& where) {
    Event e;
    e.where = where;
    text = trim(text);
    std::vector<std::string> words = split_words(text);
    if (words.empty()) bad(where, "empty message (give TIME TARGET WORDS...)");
    read_time(words[0], e);
    if (words.size() < 2) bad(where, "no target after the time (give TIME TARGET WORDS...)");
    read_target(words[1], e);
    // The message proper: everything after the target, as typed.
    std::string_view rest = text.substr(text.find(words[0]) + words[0].size());
    rest = trim(rest);
    rest = trim(rest.substr(words[1].size()));
    if (words.size() < 3) bad(where, e.host ? "no host command after host" : "no message after the target");
    if (e.host)
        read_host_command(std::vector<std::string>(words.begin() + 2, words.end()), rest, e);
    else
        e.words = std::string(rest);
    return e;
}

std::vector<Event> read_score(const std::string& path) {
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) fail_runtime("--score " + path + ": no such file");
    if (std::filesystem::is_directory(path, ec)) fail_runtime("--score " + path + ": is a folder, not a score file");
    std::ifstream in(path, std::ios::binary);
    if (!in) fail_runtime("--score " + path + ": cannot be read");
    std::vector<Event> events;
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        if (size_t hash = line.find('#'); hash != std::string::npos) line.erase(hash);
        if (trim(line).empty()) continue;
        events.push_back(read_message(line, path + ":" + std::to_string(number)));
    }
    if (in.bad()) fail_runtime("--score " + path + ": cannot be read");
    return events;
}

void order_events(std::vector<Event>& events) {
    std::stable_sort(events.begin(), events.end(), [](const Event& x, const Event& y) {
        if (x.init != y.init) return x.init;
        return !x.init && x.time_ms < y.time_ms;
    });
}

void check_events(const std::vector<Event>& events, int boxes, const std::vector<std::string>& initial_buffers) {
    enum Kind { Nothing, Buffer, Table };
    std::map<std::string, Kind> bound;
    for (const std::string& name : initial_buffers) bound[name] = Buffer;
    for (const Event& e : events) {
        if (!e.host) {
            if (e.box > boxes)
                bad(e.where, "there is no box " + std::to_string(e.box) + " (" + std::to_string(boxes) +
                                 (boxes == 1 ? " box" : " boxes") + " from -a)");
            continue;
        }
        const HostCommand& c = e.command;
        Kind& kind = bound[c.name];
        switch (c.kind) {
        case HostCommand::Buffer: kind = Buffer; break;
        case HostCommand::Table: kind = Table; break;
        case HostCommand::Delete:
        case HostCommand::Invalid:
        case HostCommand::Valid:
            if (kind != Buffer) bad(e.where, "no buffer~ named " + in_quotes(c.name) + " at that time");
            if (c.kind == HostCommand::Delete) kind = Nothing;
            break;
        default: break;
        }
    }
}

}  // namespace vorn::render
