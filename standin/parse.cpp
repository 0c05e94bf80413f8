// Typed text to atoms: ints, floats and symbols, words separated by blanks.
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

#include "host.h"

namespace standin {

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

bool is_digit(char c) { return c >= '0' && c <= '9'; }

std::string_view unsigned_part(std::string_view w) {
    if (!w.empty() && (w[0] == '+' || w[0] == '-')) w.remove_prefix(1);
    return w;
}

bool read_int(std::string_view w, int32_t* out) {
    std::string_view digits = unsigned_part(w);
    if (digits.empty()) return false;
    for (char c : digits)
        if (!is_digit(c)) return false;
    int64_t value = 0;
    for (char c : digits) {
        value = value * 10 + (c - '0');
        if (value > int64_t{1} << 31) return false;  // past 32 bits whatever the sign
    }
    if (w[0] == '-') value = -value;
    if (value < std::numeric_limits<int32_t>::min() || value > std::numeric_limits<int32_t>::max()) return false;
    *out = static_cast<int32_t>(value);
    return true;
}

// Decimal notation only: digits with an optional point and exponent.
// "inf", "nan" and hexadecimal stay symbols.
bool is_decimal(std::string_view w) {
    size_t k = 0, mantissa_digits = 0;
    while (k < w.size() && is_digit(w[k])) ++k, ++mantissa_digits;
    if (k < w.size() && w[k] == '.') {
        ++k;
        while (k < w.size() && is_digit(w[k])) ++k, ++mantissa_digits;
    }
    if (mantissa_digits == 0) return false;
    if (k < w.size() && (w[k] == 'e' || w[k] == 'E')) {
        ++k;
        if (k < w.size() && (w[k] == '+' || w[k] == '-')) ++k;
        size_t exponent_digits = 0;
        while (k < w.size() && is_digit(w[k])) ++k, ++exponent_digits;
        if (exponent_digits == 0) return false;
    }
    return k == w.size();
}

// Whether a decimal that from_chars finds out of range is too large (true)
// or too small: its power of ten, roughly, from where the first nonzero
// digit stands and the exponent.
bool overflows(std::string_view digits) {
    size_t e = digits.find_first_of("eE");
    std::string_view mantissa = digits.substr(0, e);
    long exponent = 0;
    if (e != std::string_view::npos) {
        std::string_view ex = digits.substr(e + 1);
        bool negative = !ex.empty() && ex[0] == '-';
        for (char c : unsigned_part(ex)) exponent = std::min(exponent * 10 + (c - '0'), 100000L);
        if (negative) exponent = -exponent;
    }
    size_t point = mantissa.find('.');
    if (point == std::string_view::npos) point = mantissa.size();
    size_t first = mantissa.find_first_not_of("0.");
    if (first == std::string_view::npos) return false;  // zero
    long position = first < point ? static_cast<long>(point - first) : -static_cast<long>(first - point) + 1;
    return exponent + position > 0;
}

// Rounds to single precision, to infinity past the largest float.
float to_float(double value) {
    constexpr double rounds_to_infinity = 0x1.ffffffp127;  // largest float plus half an ulp
    if (std::fabs(value) >= rounds_to_infinity) return std::copysign(std::numeric_limits<float>::infinity(), value);
    return static_cast<float>(value);
}

bool read_float(std::string_view w, float* out) {
    std::string_view digits = unsigned_part(w);
    if (!is_decimal(digits)) return false;
    double value = 0.0;
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (ec == std::errc::result_out_of_range)
        value = overflows(digits) ? std::numeric_limits<double>::infinity() : 0.0;
    else if (ec != std::errc() || end != digits.data() + digits.size())
        return false;
    if (w[0] == '-') value = -value;
    *out = to_float(value);
    return true;
}

}  // namespace

std::vector<Atom> parse_atoms(const std::string& text) {
    std::vector<Atom> atoms;
    size_t k = 0;
    while (k < text.size()) {
        while (k < text.size() && is_blank(text[k])) ++k;
        size_t start = k;
        while (k < text.size() && !is_blank(text[k])) ++k;
        if (k == start) break;
        std::string_view word(text.data() + start, k - start);
        int32_t i;
        float f;
        if (read_int(word, &i))
            atoms.push_back(Atom::of_int(i));
        else if (read_float(word, &f))
            atoms.push_back(Atom::of_float(f));
        else
            atoms.push_back(Atom::of_symbol(std::string(word)));
    }
    return atoms;
}

}  // namespace standin
