// Small text helpers shared by the option, score and position readers.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vorn::render {

// A finite decimal number that fills the whole text ("12", "-0.5", "1e3").
std::optional<double> read_number(std::string_view text);
// A decimal integer that fills the whole text, within 64 bits.
std::optional<int64_t> read_integer(std::string_view text);

// Words separated by blanks (spaces, tabs).
std::vector<std::string> split_words(std::string_view text);
std::string_view trim(std::string_view text);

// "text" in double quotes, for messages that name a value.
std::string in_quotes(std::string_view text);

}  // namespace vorn::render
