#pragma once
// The gateway's log: one line per event, to stderr (where systemd's journal collects it)
// or to a file, filtered by level. Safe from any thread.

#include <cstdio>
#include <mutex>
#include <string>

namespace trovel::gateway {

enum class Level { Error = 0, Warning = 1, Info = 2, Debug = 3 };

bool ParseLevel(const std::string& text, Level& out); // error, warning, info, debug

class Log {
public:
    Log() = default;
    ~Log();
    Log(const Log&) = delete;
    Log& operator=(const Log&) = delete;

    // Appends to `path` from now on; false (stderr kept) when it cannot be opened.
    bool ToFile(const std::string& path);
    void SetLevel(Level level) noexcept { level_ = level; }
    bool Enabled(Level level) const noexcept { return level <= level_; }

    void Write(Level level, const std::string& text);
    void Error(const std::string& text) { Write(Level::Error, text); }
    void Warning(const std::string& text) { Write(Level::Warning, text); }
    void Info(const std::string& text) { Write(Level::Info, text); }
    void Debug(const std::string& text) { Write(Level::Debug, text); }

private:
    std::mutex mutex_;
    std::FILE* file_ = nullptr;
    Level level_ = Level::Info;
};

} // namespace trovel::gateway
