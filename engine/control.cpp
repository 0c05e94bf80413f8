#include "control.h"

#include "convert.h"

namespace vorn {

void number_at_inlet(Granulator& g, int32_t inlet, double value) {
    switch (inlet) {
        case kInletJitter: set_pos_jitter(g, value); break;
        case kInletTransposition: set_transposition(g, value); break;
        case kInletDetune: set_transp_jitter(g, value); break;
        default:
            if (inlet >= kInletPeriod) set_period(g, value);
            break;
    }
}

void list_at_inlet(Granulator& g, int32_t inlet, const Arg* args, int32_t count) {
    if (inlet != kInletTransposition) return;
    // The list holds at most 256 values; the rest are dropped.
    const int32_t n = count < kMaxTransp ? count : kMaxTransp;
    double values[kMaxTransp];
    for (int32_t i = 0; i < n; ++i) values[i] = args[i].kind == Arg::Number ? args[i].number : 0.0;
    set_transp_list(g, values, n);
}

bool set_settings(Granulator& g, const Arg* args, int32_t count) {
    if (count <= 0) return false;
    // From the last argument used back to the first.
    if (count >= 5 && args[4].kind == Arg::Number) set_period(g, args[4].number);
    if (count >= 4 && args[3].kind == Arg::Number) set_transp_jitter(g, args[3].number);
    if (count >= 3 && args[2].kind == Arg::Number) set_transposition(g, args[2].number);
    if (count >= 2 && args[1].kind == Arg::Number) set_pos_jitter(g, args[1].number);
    return true;
}

bool exponent_of(const Arg& arg, int32_t* log2) {
    if (arg.kind != Arg::Number) return false;
    *log2 = trunc_low32(arg.number);
    return true;
}

void init_from_args(Granulator& g, const Arg* args, int32_t count) {
    int32_t log2 = 0;
    const bool has_log2 = count > 0 && exponent_of(args[0], &log2);
    init(g, has_log2, log2);
}

void overlap_message(Granulator& g, const Arg* args, int32_t count) {
    int32_t log2;
    if (count > 0 && exponent_of(args[0], &log2)) set_overlap(g, log2);
}

}  // namespace vorn
