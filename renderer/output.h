// The output file, written atomically: the samples go to a temporary file
// beside the destination, which replaces the destination only when it is
// complete. A failure, an early exit or an interrupt removes it.
#pragma once

#include <cstddef>
#include <string>

#include "plan.h"
#include "soundfile.h"

namespace vorn::render {

class OutputFile {
public:
    // Checks the destination and creates the temporary file: a runtime
    // failure naming -o if the destination cannot be written.
    OutputFile(const std::string& path, Container container, SampleFormat format, int rate);
    ~OutputFile();  // removes the temporary file unless committed
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    void write(const float* samples, size_t n);
    // Completes the file and moves it into place.
    void commit();

private:
    std::string path_;
    std::string temp_;
    SoundWriterPtr writer_;
    bool committed_ = false;
};

}  // namespace vorn::render
