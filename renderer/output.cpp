#include "output.h"

#include <filesystem>

#include "platform.h"

namespace vorn::render {

namespace fs = std::filesystem;

OutputFile::OutputFile(const std::string& path, Container container, SampleFormat format, int rate) : path_(path) {
    const std::string culprit = "-o " + path;
    std::error_code ec;
    if (fs::is_directory(path, ec)) fail_runtime(culprit + ": is a folder");
    const fs::path p(path);
    const std::string dir = p.has_parent_path() ? p.parent_path().string() : std::string(".");
    if (!fs::is_directory(dir, ec)) fail_runtime(culprit + ": cannot write there: no folder " + dir);
    std::string why;
    const std::string prefix = std::string(".").append(p.filename().string()).append(".vorn-");
    if (!platform::create_temp_file(dir, prefix, &temp_, &why))
        fail_runtime(culprit + ": cannot write there: " + why);
    platform::on_interrupt_remove(temp_, "vorn: " + path + " was not written: ");
    writer_ = open_writer(temp_, container, format, rate, &why);
    if (!writer_) {
        platform::on_interrupt_remove("", "");
        platform::remove_file(temp_);
        fail_runtime(culprit + ": cannot write: " + why);
    }
}

OutputFile::~OutputFile() {
    if (committed_) return;
    writer_.reset();
    platform::remove_file(temp_);
    platform::on_interrupt_remove("", "");
}

void OutputFile::write(const float* samples, size_t n) {
    std::string why;
    if (!write_samples(*writer_, samples, n, &why)) fail_runtime("-o " + path_ + ": cannot write: " + why);
}

void OutputFile::commit() {
    std::string why;
    if (!close_writer(*writer_, &why)) fail_runtime("-o " + path_ + ": cannot complete the file: " + why);
    writer_.reset();
    if (!platform::replace_file(temp_, path_, &why)) fail_runtime("-o " + path_ + ": cannot move into place: " + why);
    committed_ = true;
    platform::on_interrupt_remove("", "");
}

}  // namespace vorn::render
