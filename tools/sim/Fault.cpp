#include "sim/Fault.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>

namespace trovel::sim {

namespace {

struct KindInfo {
    FaultKind kind;
    std::string_view name;
    std::uint32_t defaultValue;
    std::string_view unit;
};

constexpr std::array<KindInfo, 9> kKinds{{
    {FaultKind::NoAnswer, "no-answer", 0, ""},
    {FaultKind::Delay, "delay", 100, "ms"},
    {FaultKind::BadCrc, "bad-crc", 0, ""},
    {FaultKind::Truncate, "truncate", 0, "bytes kept"},
    {FaultKind::Split, "split", 150, "ms"},
    {FaultKind::Extra, "extra", 3, "bytes"},
    {FaultKind::Exception, "exception", 4, ""},
    {FaultKind::Late, "late", 300, "ms"},
    {FaultKind::Flood, "flood", 1100, "bytes"},
}};

const KindInfo& Info(FaultKind kind)
{
    return *std::find_if(kKinds.begin(), kKinds.end(), [kind](const KindInfo& k) { return k.kind == kind; });
}

constexpr std::uint8_t kExtraByte = 0x00;
constexpr std::uint8_t kFloodByte = 0x55;

template <class T>
bool ParseNumber(std::string_view text, T& out)
{
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return ec == std::errc() && end == text.data() + text.size();
}

} // namespace

std::uint32_t Fault::Effective() const noexcept { return value != 0 ? value : Info(kind).defaultValue; }

std::string Describe(const Fault& fault)
{
    const auto& info = Info(fault.kind);
    std::string text(info.name);
    const std::uint32_t v = fault.Effective();
    if (v != 0) {
        text += ' ' + std::to_string(v);
        if (!info.unit.empty())
            text += ' ' + std::string(info.unit);
    }
    return text;
}

std::string Describe(const FaultRule& rule)
{
    if (rule.rate >= 1.0)
        return Describe(rule.fault);
    char rate[32];
    std::snprintf(rate, sizeof rate, " @ %g%%", rule.rate * 100.0);
    return Describe(rule.fault) + rate;
}

std::optional<FaultRule> ParseFaultRule(std::string_view text)
{
    FaultRule rule{{FaultKind::NoAnswer}, 1.0};
    if (const auto at = text.find('@'); at != std::string_view::npos) {
        std::string_view rate = text.substr(at + 1);
        text = text.substr(0, at);
        const bool percent = !rate.empty() && rate.back() == '%';
        if (percent)
            rate.remove_suffix(1);
        if (!ParseNumber(rate, rule.rate))
            return std::nullopt;
        if (percent)
            rule.rate /= 100.0;
        if (!(rule.rate > 0.0 && rule.rate <= 1.0))
            return std::nullopt;
    }
    std::string_view name = text;
    std::string_view value;
    const auto colon = text.find(':');
    const bool colonSeen = colon != std::string_view::npos;
    if (colonSeen) {
        name = text.substr(0, colon);
        value = text.substr(colon + 1);
    }
    const auto it = std::find_if(kKinds.begin(), kKinds.end(), [name](const KindInfo& k) { return k.name == name; });
    if (it == kKinds.end())
        return std::nullopt;
    rule.fault.kind = it->kind;
    if (colonSeen && !ParseNumber(value, rule.fault.value))
        return std::nullopt;
    if (rule.fault.kind == FaultKind::Exception && rule.fault.value > 0xFF)
        return std::nullopt;
    return rule;
}

void FaultPlan::Once(Fault fault)
{
    const std::lock_guard lock(mutex_);
    once_.push_back(fault);
}

void FaultPlan::Add(FaultRule rule)
{
    const std::lock_guard lock(mutex_);
    rules_.push_back(rule);
}

void FaultPlan::Clear()
{
    const std::lock_guard lock(mutex_);
    once_.clear();
    rules_.clear();
}

std::vector<FaultRule> FaultPlan::Rules()
{
    const std::lock_guard lock(mutex_);
    return rules_;
}

std::optional<Fault> FaultPlan::Draw()
{
    const std::lock_guard lock(mutex_);
    if (!once_.empty()) {
        const Fault f = once_.front();
        once_.pop_front();
        return f;
    }
    // The first rule that fires wins, so rules listed first take precedence.
    for (const auto& rule : rules_)
        if (rule.rate >= 1.0 || std::uniform_real_distribution<double>(0.0, 1.0)(random_) < rule.rate)
            return rule.fault;
    return std::nullopt;
}

std::vector<Burst> ShapeReply(const Bytes& reply, const std::optional<Fault>& fault, Duration turnaround, bool paced)
{
    using std::chrono::milliseconds;
    if (!fault)
        return {{turnaround, reply, paced}};
    const std::uint32_t v = fault->Effective();
    switch (fault->kind) {
    case FaultKind::NoAnswer:
        return {};
    case FaultKind::Delay:
        return {{turnaround + milliseconds(v), reply, paced}};
    case FaultKind::BadCrc: {
        Bytes bad = reply;
        for (std::size_t i = bad.size() >= 2 ? bad.size() - 2 : 0; i < bad.size(); ++i)
            bad[i] = static_cast<std::uint8_t>(~bad[i]);
        return {{turnaround, std::move(bad), paced}};
    }
    case FaultKind::Truncate: {
        std::size_t keep = v;
        if (keep == 0 || keep >= reply.size())
            keep = reply.empty() ? 0 : reply.size() - 1;
        return {{turnaround, Bytes(reply.begin(), reply.begin() + static_cast<std::ptrdiff_t>(keep)), paced}};
    }
    case FaultKind::Split: {
        const auto half = static_cast<std::ptrdiff_t>(reply.size() / 2);
        return {{turnaround, Bytes(reply.begin(), reply.begin() + half), paced},
                {milliseconds(v), Bytes(reply.begin() + half, reply.end()), paced}};
    }
    case FaultKind::Extra: {
        Bytes longer = reply;
        longer.insert(longer.end(), v, kExtraByte);
        return {{turnaround, std::move(longer), paced}};
    }
    case FaultKind::Exception:
        return {{turnaround, reply, paced}};
    case FaultKind::Late:
        return {{std::max<Duration>(milliseconds(v), turnaround), reply, paced}};
    case FaultKind::Flood: {
        // Faster than the line could ever carry it, so the master's buffer size is what bites.
        Bytes flood = reply;
        if (flood.size() < v)
            flood.resize(v, kFloodByte);
        return {{turnaround, std::move(flood), false}};
    }
    }
    return {};
}

} // namespace trovel::sim
