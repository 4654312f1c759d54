// The trace's text sink on Windows: the C runtime's streams. Windows has no SIGPIPE, and a
// file opened for appending does not block.

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "device/Device.h"

namespace trovel::device {

namespace {

class StreamSink final : public TextSink {
public:
    StreamSink(std::FILE* file, bool owned) noexcept : file_(file), owned_(owned) {}
    ~StreamSink() override
    {
        if (owned_)
            std::fclose(file_);
    }
    StreamSink(const StreamSink&) = delete;
    StreamSink& operator=(const StreamSink&) = delete;

    bool Write(std::string_view line) noexcept override
    {
        if (gone_)
            return false;
        std::fwrite(line.data(), 1, line.size(), file_);
        std::fputc('\n', file_);
        gone_ = std::fflush(file_) != 0;
        return !gone_;
    }

private:
    std::FILE* file_;
    bool owned_;
    bool gone_ = false;
};

} // namespace

OpenedSink OpenTextSink(const std::string& target)
{
    if (target == "stderr")
        return {std::make_unique<StreamSink>(stderr, false), {}};
    std::FILE* file = std::fopen(target.c_str(), "a");
    if (file == nullptr)
        return {nullptr, std::strerror(errno)};
    return {std::make_unique<StreamSink>(file, true), {}};
}

} // namespace trovel::device
