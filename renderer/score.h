// Timed messages: "TIME TARGET WORDS..." from -m options and score files.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "plan.h"

namespace vorn::render {

// Reads one message. `where` names it in error messages (a usage failure).
Event read_message(std::string_view text, const std::string& where);

// Reads a score file: one message per line; '#' starts a comment; blank
// lines are skipped. An unreadable file is a runtime failure, a bad line a
// usage failure naming the file and the line number.
std::vector<Event> read_score(const std::string& path);

// Puts events into delivery order: init first, then by time; events with
// equal times keep the order they were given in.
void order_events(std::vector<Event>& events);

// Checks that every event names an existing box and that the host commands
// name buffers that exist when they run (given the buffers made at the
// start), following the events in delivery order.
void check_events(const std::vector<Event>& events, int boxes, const std::vector<std::string>& initial_buffers);

}  // namespace vorn::render
