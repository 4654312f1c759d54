// stats and ports: what the line itself is like, rather than a controller on it.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "Commands.h"
#include "Format.h"
#include "Json.h"
#include "Terminal.h"
#include "TrovelSdk.h"

namespace trovelctl {

namespace {

struct Measured {
    int address;
    TrovelLineStats counts{};
};

Json::Object CountsJson(const TrovelLineStats& counts)
{
    Json::Object members;
    for (const auto& field : StatsFields())
        members.emplace_back(field.key, static_cast<int>(counts.*field.count));
    return members;
}

// "20 exchanges, 18 successes; no reply 2"
std::string Summary(const TrovelLineStats& counts)
{
    const std::string failures = FailuresByCause(counts);
    return std::to_string(counts.exchanges) + " exchanges, " + std::to_string(counts.successes) + " successes" +
           (failures.empty() ? "" : "; " + failures) +
           (counts.retries ? ", " + std::to_string(counts.retries) + " retries" : "");
}

} // namespace

int Stats(const Context& ctx, const StatsOptions& options)
{
    const InterruptGuard guard;
    std::vector<Measured> all;
    if (ctx.addressGiven) {
        all.push_back({ctx.address});
    } else {
        for (const auto& f : FindControllers(ctx.line, ctx.terminal && !ctx.json))
            all.push_back({f.address});
        if (all.empty())
            FailController("no controller answers on " + ctx.line.Name() + ": " +
                               CauseMessage(TrovelLastError(), ctx.line.ReplyTimeoutMs(), ctx.line.LastRegister()),
                           TrovelLastError());
    }

    // Only the rounds count: the scan's silent addresses would read as failures.
    const TrovelLineStats before = ctx.line.Stats();
    const auto started = std::chrono::steady_clock::now();
    int rounds = 0;
    for (; rounds < options.rounds && !InterruptGuard::Raised(); ++rounds)
        for (auto& m : all) {
            const TrovelLineStats was = ctx.line.Stats();
            Controller(ctx.line, m.address).TryRead(TrovelGetCurrentPoint);
            Add(m.counts, Since(was, ctx.line.Stats()));
        }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const TrovelLineStats total = Since(before, ctx.line.Stats());
    const int roundMs = rounds ? static_cast<int>(seconds * 1000.0 / rounds + 0.5) : 0;

    if (ctx.json) {
        Json::Object members{{"port", ctx.line.Name()}, {"rounds", rounds}, {"round_ms", roundMs}};
        for (auto& member : CountsJson(total))
            members.push_back(std::move(member));
        Json::Array controllers;
        for (const auto& m : all) {
            Json::Object entry{{"address", m.address}};
            for (auto& member : CountsJson(m.counts))
                entry.push_back(std::move(member));
            controllers.emplace_back(std::move(entry));
        }
        members.emplace_back("controllers", std::move(controllers));
        std::printf("%s\n", Json(std::move(members)).Dump().c_str());
    } else {
        std::printf("line %s: %d rounds of %zu controller%s, %d ms a round\n", ctx.line.Name().c_str(), rounds,
                    all.size(), all.size() == 1 ? "" : "s", roundMs);
        for (const auto& field : StatsFields())
            if (!field.failure || total.*field.count != 0)
                std::printf("  %-16s %u\n", field.label, total.*field.count);
        for (const auto& m : all)
            std::printf("  controller %-5d %s\n", m.address, Summary(m.counts).c_str());
    }
    std::fflush(stdout);
    return InterruptGuard::Raised() ? InterruptGuard::ExitCode() : kExitOk;
}

namespace {

// The ports with their descriptions; the list may grow between two calls.
std::vector<TrovelPortInfo> PortsInfo()
{
    std::vector<TrovelPortInfo> ports;
    for (int count = TrovelListPortsInfo(nullptr, 0); count > 0;) {
        ports.assign(static_cast<std::size_t>(count), TrovelPortInfo{});
        ports[0].size = sizeof(TrovelPortInfo);
        const int now = TrovelListPortsInfo(ports.data(), count);
        if (now <= count) {
            ports.resize(static_cast<std::size_t>(std::max(now, 0)));
            break;
        }
        count = now;
    }
    return ports;
}

std::string UsbId(int id)
{
    char text[12];
    std::snprintf(text, sizeof text, "%04x", static_cast<unsigned>(id) & 0xFFFFu);
    return text;
}

Json TextOrNull(const char* text) { return *text ? Json(std::string(text)) : Json(); }

} // namespace

int Ports(bool json)
{
    const auto ports = PortsInfo();
    if (json) {
        Json::Array list;
        for (const auto& p : ports)
            list.emplace_back(Json::Object{
                {"name", std::string(p.name)},
                {"description", TextOrNull(p.description)},
                {"manufacturer", TextOrNull(p.manufacturer)},
                {"vid", p.vendorId < 0 ? Json() : Json(UsbId(p.vendorId))},
                {"pid", p.productId < 0 ? Json() : Json(UsbId(p.productId))},
                {"serial_number", TextOrNull(p.serialNumber)},
                {"location", TextOrNull(p.location)},
                {"latency_timer_ms", p.latencyTimerMs < 0 ? Json() : Json(p.latencyTimerMs)},
                {"in_use", p.inUse < 0 ? Json() : Json(p.inUse == 1)},
            });
        std::printf("%s\n", Json(Json::Object{{"ports", std::move(list)}}).Dump().c_str());
        return kExitOk;
    }
    if (ports.empty()) {
        std::printf("no serial ports found\n");
        return kExitOk;
    }
    // One row a port; each column as wide as its widest cell.
    std::vector<std::vector<std::string>> rows{
        {"PORT", "DESCRIPTION", "MAKER", "VID:PID", "SERIAL", "LOCATION", "LATENCY", "IN USE"}};
    bool slow = false;
    for (const auto& p : ports) {
        slow = slow || p.latencyTimerMs > 1;
        rows.push_back({p.name, p.description, p.manufacturer,
                        p.vendorId < 0 ? "" : UsbId(p.vendorId) + ":" + UsbId(p.productId), p.serialNumber,
                        p.location, p.latencyTimerMs < 0 ? "" : std::to_string(p.latencyTimerMs) + " ms",
                        p.inUse < 0 ? "?" : p.inUse ? "yes" : "no"});
    }
    std::vector<std::size_t> widths(rows[0].size(), 0);
    for (const auto& row : rows)
        for (std::size_t i = 0; i < row.size(); ++i)
            widths[i] = std::max(widths[i], row[i].size());
    for (const auto& row : rows) {
        std::string text;
        for (std::size_t i = 0; i < row.size(); ++i)
            text += i + 1 == row.size() ? row[i] : row[i] + std::string(widths[i] - row[i].size() + 2, ' ');
        std::printf("%s\n", text.c_str());
    }
    if (slow)
        std::printf("A latency timer above 1 ms holds every reply that long in the adapter; on Linux the\n"
                    "library lowers it while a line is open where it can, on Windows see docs/troubleshooting.md.\n");
    return kExitOk;
}

} // namespace trovelctl
