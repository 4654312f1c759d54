#pragma once
// The commands of trovelctl. Each returns the exit code, or throws a Failure.

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "Link.h"

namespace trovelctl {

struct Context {
    const Line& line;
    int address;
    bool json;     // one JSON document on stdout, nothing else
    bool terminal; // stdout is a terminal: bars and the live view may be drawn
    bool addressGiven = false;
};

int Scan(const Context& ctx, bool quick = false);
int Info(const Context& ctx);
int Params(const Context& ctx);
int Get(const Context& ctx, const std::string& name);
int Set(const Context& ctx, const std::string& name, const std::string& value);

struct MoveOptions {
    std::string direction; // left, right, auto, stop
    bool wait = false;
    double timeoutSeconds = 0; // 0: follow for as long as it moves
};
int Move(const Context& ctx, const MoveOptions& options);
int Init(const Context& ctx);

int Switch(const Context& ctx, const std::string& action, std::optional<int> index);
int Switches(const Context& ctx);
int Inputs(const Context& ctx);

int ChangeAddress(const Context& ctx, int newAddress);
int Defaults(const Context& ctx, bool broadcast);
int ResetBegin(const Context& ctx);
int FactoryDate(const Context& ctx, const std::optional<std::string>& date);

struct WatchOptions {
    int intervalMs = 0; // 0: at the line's pace
    int rounds = 0;     // 0: until Ctrl-C
};
int Watch(const Context& ctx, const WatchOptions& options);

// Reads the controllers round after round, then prints the line's counts: a check of the line.
struct StatsOptions {
    int rounds = 20;
};
int Stats(const Context& ctx, const StatsOptions& options);

// The serial ports present; needs no line.
int Ports(bool json);

// Addresses 1 to 16 that answer, with their serial numbers; a bar on a terminal meanwhile.
// `report`, when given, makes the line printed for each one as soon as it answers. Retries
// apply only where something answered: they would make each silent address slower to pass.
struct Found {
    int address;
    std::string serial;
    int refusal = TROVEL_OK; // the exception a controller answered with instead of its serial number
};
// How long each pass of a scan took, and the time-out it asked with.
struct ScanTimes {
    struct Pass {
        int asked = 0;
        double seconds = 0;
        int timeoutMs = 0;
    } first, second;
};
struct ScanChoice {
    bool quick = false;          // the first, fast pass only
    ScanTimes* times = nullptr;  // filled when given
};
std::vector<Found> FindControllers(const Line& line, bool showBar,
                                   const std::function<std::string(const Found&)>& report = nullptr,
                                   const ScanChoice& choice = {});

} // namespace trovelctl
