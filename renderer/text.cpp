#include "text.h"

#include <charconv>
#include <cmath>

namespace vorn::render {

namespace {
bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v'; }
}  // namespace

std::optional<double> read_number(std::string_view text) {
    if (text.empty()) return std::nullopt;
    std::string_view digits = text;
    if (digits[0] == '+') digits.remove_prefix(1);  // from_chars takes '-' but not '+'
    if (digits.empty() || digits[0] == '+') return std::nullopt;
    double value = 0;
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value,
                                     std::chars_format::general);
    if (ec != std::errc() || end != digits.data() + digits.size() || !std::isfinite(value)) return std::nullopt;
    return value;
}

std::optional<int64_t> read_integer(std::string_view text) {
    if (!text.empty() && text[0] == '+') text.remove_prefix(1);
    if (text.empty() || text[0] == '+') return std::nullopt;
    int64_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::vector<std::string> split_words(std::string_view text) {
    std::vector<std::string> words;
    size_t k = 0;
    while (k < text.size()) {
        while (k < text.size() && is_blank(text[k])) ++k;
        size_t start = k;
        while (k < text.size() && !is_blank(text[k])) ++k;
        if (k > start) words.emplace_back(text.substr(start, k - start));
    }
    return words;
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && is_blank(text.back())) text.remove_suffix(1);
    return text;
}

std::string in_quotes(std::string_view text) {
    std::string q(1, '"');
    q.append(text);
    q.push_back('"');
    return q;
}

}  // namespace vorn::render
