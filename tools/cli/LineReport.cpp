// stats and ports: what the line itself is like, rather than a controller on it.

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

int Ports(bool json)
{
    // The list may grow between two calls: ask until every name fits.
    std::vector<std::string> names;
    for (std::size_t size = 4096;; size *= 2) {
        std::vector<char> buffer(size);
        const int count = TrovelListPorts(buffer.data(), static_cast<int>(buffer.size()));
        names.clear();
        std::string text(buffer.data());
        for (std::size_t at = 0; at < text.size();) {
            const std::size_t end = std::min(text.find('\n', at), text.size());
            if (end > at)
                names.push_back(text.substr(at, end - at));
            at = end + 1;
        }
        if (static_cast<int>(names.size()) >= count)
            break;
    }
    if (json) {
        Json::Array list;
        for (const auto& name : names)
            list.emplace_back(name);
        std::printf("%s\n", Json(Json::Object{{"ports", std::move(list)}}).Dump().c_str());
    } else if (names.empty()) {
        std::printf("no serial ports found\n");
    } else {
        for (const auto& name : names)
            std::printf("%s\n", name.c_str());
    }
    return kExitOk;
}

} // namespace trovelctl
