// The built-in sound that a render uses when no SOUNDFILE is given.
#pragma once

#include <vector>

namespace vorn::render {

inline constexpr int kDemoRate = 44100;

// Six seconds at 44100 Hz, synthesised afresh on every call and the same
// every time: a phrase of plucked and bell tones in A minor pentatonic over
// a sung-vowel pad on A and E, peaking at -2 dBFS.
std::vector<float> demo_sound();

}  // namespace vorn::render
