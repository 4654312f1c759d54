#include "gateway/Log.h"

#include <chrono>
#include <ctime>

namespace trovel::gateway {

bool ParseLevel(const std::string& text, Level& out)
{
    static constexpr const char* kNames[] = {"error", "warning", "info", "debug"};
    for (int i = 0; i < 4; ++i)
        if (text == kNames[i]) {
            out = static_cast<Level>(i);
            return true;
        }
    return false;
}

Log::~Log()
{
    if (file_ != nullptr)
        std::fclose(file_);
}

bool Log::ToFile(const std::string& path)
{
    std::FILE* file = std::fopen(path.c_str(), "a");
    if (file == nullptr)
        return false;
    const std::lock_guard hold(mutex_);
    if (file_ != nullptr)
        std::fclose(file_);
    file_ = file;
    return true;
}

void Log::Write(Level level, const std::string& text)
{
    if (!Enabled(level))
        return;
    static constexpr const char* kTags[] = {"error", "warning", "info", "debug"};
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm utc{};
#if defined(_WIN32)
    gmtime_s(&utc, &seconds);
#else
    gmtime_r(&seconds, &utc);
#endif
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &utc);
    const std::lock_guard hold(mutex_);
    std::FILE* out = file_ != nullptr ? file_ : stderr;
    std::fprintf(out, "%s.%03dZ %s: %s\n", stamp, static_cast<int>(ms), kTags[static_cast<int>(level)], text.c_str());
    std::fflush(out);
}

} // namespace trovel::gateway
