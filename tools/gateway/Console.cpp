#include "gateway/Console.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <future>

#include "Format.h"
#include "Json.h"
#include "gateway/Probe.h"
#include "Parameters.h"

namespace trovel::gateway {

namespace {

constexpr std::chrono::milliseconds kCallDeadline{3000};
constexpr std::uint8_t kReadFunction = 3, kWriteOneFunction = 6, kWriteManyFunction = 16;

std::string Quote(std::string_view text)
{
    return trovelctl::JsonQuoted(text);
}

std::string Number(double value)
{
    if (!std::isfinite(value))
        return "null";
    return trovelctl::FormatFloat(static_cast<float>(value));
}

std::string Hex(const std::uint8_t* bytes, int length)
{
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(static_cast<std::size_t>(length) * 3);
    for (int i = 0; i < length; ++i) {
        if (i > 0)
            out += ' ';
        out += kDigits[bytes[i] >> 4];
        out += kDigits[bytes[i] & 15];
    }
    return out;
}

std::string CauseJson(int cause)
{
    if (cause == TROVEL_OK)
        return "null";
    return "{\"code\":" + std::to_string(cause) + ",\"text\":" + Quote(TrovelErrorText(cause)) + "}";
}

ApiReply Json(int status, std::string body) { return {status, std::move(body)}; }
ApiReply Problem(int status, const std::string& text) { return {status, "{\"error\":" + Quote(text) + "}"}; }
ApiReply Refused(int cause) // the library refused or the controller failed
{
    const int status = cause == TROVEL_ERR_ARGUMENT ? 422 : 502;
    return {status, "{\"ok\":false,\"cause\":" + CauseJson(cause) + "}"};
}

// A flat JSON object's member as raw text: a number, true/false, or a string's contents.
std::optional<std::string> Member(const std::string& body, const std::string& key)
{
    const auto at = body.find("\"" + key + "\"");
    if (at == std::string::npos)
        return std::nullopt;
    auto i = body.find(':', at + key.size() + 2);
    if (i == std::string::npos)
        return std::nullopt;
    ++i;
    while (i < body.size() && std::isspace(static_cast<unsigned char>(body[i])))
        ++i;
    if (i < body.size() && body[i] == '"') {
        const auto end = body.find('"', i + 1);
        return end == std::string::npos ? std::nullopt : std::optional(body.substr(i + 1, end - i - 1));
    }
    auto end = i;
    while (end < body.size() && body[end] != ',' && body[end] != '}' && !std::isspace(static_cast<unsigned char>(body[end])))
        ++end;
    return body.substr(i, end - i);
}

std::optional<int> WholeNumber(const std::string& text)
{
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || value < -1000000 || value > 1000000)
        return std::nullopt;
    return static_cast<int>(value);
}

std::vector<std::string> Split(const std::string& path)
{
    std::vector<std::string> parts;
    std::size_t at = 0;
    while (at < path.size()) {
        const auto slash = path.find('/', at);
        const auto end = slash == std::string::npos ? path.size() : slash;
        if (end > at)
            parts.push_back(path.substr(at, end - at));
        at = end + 1;
    }
    return parts;
}

std::int64_t NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// The registers as the trace names them; float pairs put the low word first.
enum class Kind : std::uint8_t { Float, Int32, Word, Serial, Order, SwitchStatus };
struct Register {
    std::uint16_t first;
    std::uint16_t count;
    const char* words;
    Kind kind;
};
constexpr Register kRegisters[] = {
    {10, 1, "motion command", Kind::Order},
    {12, 1, "outputs", Kind::Word},
    {14, 1, "defaults", Kind::Order},
    {20, 1, "reset begin point", Kind::Order},
    {100, 2, "motor speed", Kind::Float},
    {102, 2, "acceleration", Kind::Float},
    {104, 2, "pulse count", Kind::Float},
    {106, 2, "begin point", Kind::Float},
    {108, 2, "end point", Kind::Float},
    {110, 2, "automatic-run begin point", Kind::Float},
    {112, 2, "automatic-run end point", Kind::Float},
    {114, 2, "resolution", Kind::Float},
    {116, 2, "diameter", Kind::Float},
    {118, 2, "delay time", Kind::Float},
    {200, 1, "work mode", Kind::Word},
    {202, 1, "motor direction", Kind::Word},
    {206, 1, "remote-control function", Kind::Word},
    {220, 1, "device address", Kind::Word},
    {300, 2, "factory date", Kind::Int32},
    {400, 1, "inputs", Kind::Word},
    {402, 1, "switch status", Kind::SwitchStatus},
    {404, 1, "run state", Kind::Word},
    {406, 1, "remote key", Kind::Word},
    {500, 2, "current point", Kind::Float},
    {510, 2, "fixed current point", Kind::Float},
    {608, 2, "BIOS date", Kind::Int32},
    {700, 6, "serial number", Kind::Serial},
};

const Register* FindRegister(std::uint16_t first)
{
    for (const auto& r : kRegisters)
        if (r.first == first)
            return &r;
    return nullptr;
}

std::uint16_t Word(const std::uint8_t* at) { return static_cast<std::uint16_t>(at[0] << 8 | at[1]); }

void AppendItem(std::string& list, const std::string& item)
{
    if (!list.empty())
        list += ',';
    list += item;
}

std::string CommandText(std::uint16_t value)
{
    switch (value) {
    case 0x0008: return "move left";
    case 0x0010: return "move right";
    case 0x0020: return "automatic run";
    case 0x0040: return "stop";
    default: break;
    }
    return "motion command " + std::to_string(value);
}

std::string OutputsText(std::uint16_t value)
{
    std::string on;
    for (int bit = 0; bit < 6; ++bit)
        if ((value >> bit) & 1u)
            AppendItem(on, std::to_string(bit + 1));
    return on.empty() ? "all outputs off" : "outputs on: " + on;
}

// The value of `r` held in `data` (big-endian registers), in words.
std::string ValueText(const Register& r, const std::uint8_t* data, int length)
{
    if (length < 2 * r.count)
        return "?";
    switch (r.kind) {
    case Kind::Float: {
        const std::uint32_t bits = static_cast<std::uint32_t>(Word(data + 2)) << 16 | Word(data);
        float value;
        std::memcpy(&value, &bits, sizeof value);
        return trovelctl::FormatFloat(value);
    }
    case Kind::Int32: return std::to_string(static_cast<std::uint32_t>(Word(data + 2)) << 16 | Word(data));
    case Kind::Serial: { // twelve bytes as four groups of six hex digits, as identities show it
        std::string text;
        for (int i = 0; i < 2 * r.count; ++i) {
            if (i > 0 && i % 3 == 0)
                text += '-';
            const auto pair = Hex(data + i, 1);
            text += pair;
        }
        return text;
    }
    case Kind::SwitchStatus: return OutputsText(static_cast<std::uint16_t>(Word(data) >> 6));
    case Kind::Word:
    case Kind::Order: break;
    }
    return std::to_string(Word(data));
}

// Every known register a read covers, with its value: a block read names each parameter.
std::string ReadValues(std::uint16_t first, std::uint16_t count, const std::uint8_t* data, int length)
{
    std::string text;
    for (std::uint16_t at = 0; at < count;) {
        const Register* r = FindRegister(static_cast<std::uint16_t>(first + at));
        if (r == nullptr || at + r->count > count) {
            ++at;
            continue;
        }
        if (!text.empty())
            text += ", ";
        if (at > 0) {
            text += r->words;
            text += ' ';
        }
        text += "\u2192 ";
        text += ValueText(*r, data + 2 * at, length - 2 * at);
        at = static_cast<std::uint16_t>(at + r->count);
    }
    return text;
}

} // namespace

std::string ExchangeMeaning(const std::uint8_t* q, int ql, const std::uint8_t* a, int al, int outcome)
{
    if (ql < 6)
        return "?";
    const std::uint8_t function = q[1];
    const std::uint16_t first = Word(q + 2);
    const Register* r = FindRegister(first);
    const std::string name = r ? r->words : "register " + std::to_string(first);
    std::string text;
    const bool answered = outcome == TROVEL_OK;
    if (function == kReadFunction) {
        text = "read " + name;
        const std::uint16_t count = Word(q + 4);
        if (answered && r && al >= 3)
            text += " " + ReadValues(first, count, a + 3, std::min<int>(a[2], al - 3));
        else if (answered && al >= 5)
            text += " \u2192 " + std::to_string(Word(a + 3));
    } else if (function == kWriteOneFunction) {
        const std::uint16_t value = Word(q + 4);
        if (first == 10)
            text = CommandText(value);
        else if (first == 12)
            text = OutputsText(value);
        else if (first == 14 || first == 20)
            text = name;
        else
            text = "write " + name + " \u2190 " + std::to_string(value);
    } else if (function == kWriteManyFunction && ql >= 7) {
        text = "write " + name;
        if (r)
            text += " \u2190 " + ValueText(*r, q + 7, std::min<int>(q[6], ql - 7));
    } else {
        text = "function " + std::to_string(function);
    }
    if (q[0] == 0)
        text = "broadcast: " + text;
    return text;
}

void EventQueue::Push(const std::string& event)
{
    {
        const std::lock_guard hold(mutex_);
        if (closed_)
            return;
        if (events_.size() >= kLimit)
            events_.pop_front();
        events_.push_back(event);
    }
    wake_.notify_one();
}

std::string EventQueue::Take(std::chrono::milliseconds timeout)
{
    std::unique_lock hold(mutex_);
    wake_.wait_for(hold, timeout, [&] { return closed_ || !events_.empty(); });
    std::string out;
    while (!events_.empty()) {
        out += events_.front();
        events_.pop_front();
    }
    return out;
}

void EventQueue::Close()
{
    {
        const std::lock_guard hold(mutex_);
        closed_ = true;
    }
    wake_.notify_all();
}

bool EventQueue::Closed() const
{
    const std::lock_guard hold(mutex_);
    return closed_;
}

Console::Console(std::vector<LineService*> lines, StateStore& store, Log& log)
    : lines_(std::move(lines)), store_(store), log_(log), source_(NewSource()),
      scans_(lines_.size()), scanning_(lines_.size())
{
}

Console::~Console() { Stop(); }

void Console::Start()
{
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        contexts_.push_back(std::make_unique<TraceContext>(TraceContext{this, i}));
        if (TrovelSetTrace(lines_[i]->Handle(), &Console::OnTrace, contexts_.back().get()) != 1)
            log_.Warning("console: no trace of " + lines_[i]->Settings().name);
    }
    listener_ = store_.Subscribe([this](const ControllerState& s, unsigned changes) { OnState(s, changes); });
}

void Console::Stop()
{
    if (stopping_.exchange(true))
        return;
    if (listener_ != 0)
        store_.Unsubscribe(listener_);
    for (auto* line : lines_)
        if (line->Handle() != nullptr)
            TrovelSetTrace(line->Handle(), nullptr, nullptr);
    {
        const std::lock_guard hold(subscribersMutex_);
        for (auto& s : subscribers_)
            s->Close();
    }
    const std::lock_guard hold(scanMutex_);
    for (auto& t : scans_)
        if (t.joinable())
            t.join();
}

std::shared_ptr<EventQueue> Console::Subscribe()
{
    auto queue = std::make_shared<EventQueue>();
    const std::lock_guard hold(subscribersMutex_);
    if (stopping_)
        queue->Close();
    subscribers_.push_back(queue);
    return queue;
}

void Console::Unsubscribe(const std::shared_ptr<EventQueue>& queue)
{
    const std::lock_guard hold(subscribersMutex_);
    std::erase(subscribers_, queue);
}

std::size_t Console::Subscribers() const
{
    const std::lock_guard hold(subscribersMutex_);
    return subscribers_.size();
}

void Console::Broadcast(const std::string& event, const std::string& json)
{
    const std::string text = "event: " + event + "\ndata: " + json + "\n\n";
    const std::lock_guard hold(subscribersMutex_);
    for (auto& s : subscribers_)
        s->Push(text);
}

void TROVEL_CALL Console::OnTrace(void* user, TrovelLine*, int address, const unsigned char* request, int requestLength,
                                  const unsigned char* reply, int replyLength, int elapsedMicroseconds, int outcome)
{
    auto* context = static_cast<TraceContext*>(user);
    Console& self = *context->console;
    try {
        Exchange e;
        e.timeMs = NowMs();
        e.line = context->line;
        e.address = address;
        e.request.assign(request, request + std::max(requestLength, 0));
        e.reply.assign(reply, reply + std::max(replyLength, 0));
        e.elapsedUs = elapsedMicroseconds;
        e.outcome = outcome;
        std::string json;
        {
            const std::lock_guard hold(self.traceMutex_);
            e.seq = self.nextSeq_++;
            json = self.ExchangeJson(e);
            self.trace_.push_back(std::move(e));
            if (self.trace_.size() > kTraceLimit)
                self.trace_.pop_front();
        }
        self.Broadcast("exchange", json);
    } catch (...) {
        // The trace is for people; the line's work goes on without it.
    }
}

std::string Console::ExchangeJson(const Exchange& e) const
{
    return "{\"seq\":" + std::to_string(e.seq) + ",\"time\":" + std::to_string(e.timeMs) +
           ",\"line\":" + Quote(lines_[e.line]->Settings().name) + ",\"address\":" + std::to_string(e.address) +
           ",\"request\":" + Quote(Hex(e.request.data(), static_cast<int>(e.request.size()))) +
           ",\"reply\":" + Quote(Hex(e.reply.data(), static_cast<int>(e.reply.size()))) + ",\"meaning\":" +
           Quote(ExchangeMeaning(e.request.data(), static_cast<int>(e.request.size()), e.reply.data(),
                                 static_cast<int>(e.reply.size()), e.outcome)) +
           ",\"ok\":" + (e.outcome == TROVEL_OK ? "true" : "false") + ",\"cause\":" + CauseJson(e.outcome) +
           ",\"elapsedMs\":" + Number(e.elapsedUs / 1000.0) + "}";
}

namespace {

std::string StateJson(const ControllerState& s)
{
    std::string outputs = "[", inputs;
    for (int i = 0; i < 6; ++i)
        outputs += std::string(i ? "," : "") + ((s.outputs >> i) & 1u ? "true" : "false");
    outputs += "]";
    const auto bit = [&](int n) { return (s.inputs >> n) & 1u ? "true" : "false"; };
    return "{\"line\":" + Quote(s.line) + ",\"address\":" + std::to_string(s.address) +
           ",\"available\":" + (s.available ? "true" : "false") + ",\"answered\":" + (s.answered ? "true" : "false") +
           ",\"position\":" + Number(s.position) + ",\"beginPoint\":" + (s.pointsKnown ? Number(s.beginPoint) : "null") +
           ",\"endPoint\":" + (s.pointsKnown ? Number(s.endPoint) : "null") + ",\"percent\":" +
           (s.percent < 0 ? "null" : Number(s.percent)) + ",\"runState\":" + std::to_string(s.runState) +
           ",\"state\":" + Quote(s.answered ? trovelctl::RunStateText(s.runState) : "unknown") +
           ",\"motion\":" + Quote(MotionName(s.motion)) + ",\"inputs\":" + std::to_string(s.inputs) +
           ",\"leftLimit\":" + bit(0) + ",\"rightLimit\":" + bit(1) + ",\"leftExtremity\":" + bit(2) +
           ",\"rightExtremity\":" + bit(3) + ",\"outputs\":" + outputs + ",\"failedPolls\":" +
           std::to_string(s.failedPolls) + ",\"failures\":" + std::to_string(s.failures) +
           ",\"lastError\":" + Quote(s.lastError) + ",\"identity\":{\"serial\":" + Quote(s.identity.serial) +
           ",\"biosDate\":" + Quote(s.identity.biosDate) + ",\"factoryDate\":" + Quote(s.identity.factoryDate) +
           "},\"updated\":" +
           std::to_string(
               std::chrono::duration_cast<std::chrono::milliseconds>(s.updated.time_since_epoch()).count()) +
           "}";
}

} // namespace

void Console::OnState(const ControllerState& s, unsigned changes)
{
    if ((changes & (change::Position | change::Added)) != 0 && s.answered) {
        const std::lock_guard hold(positionsMutex_);
        auto& samples = positions_[{s.line, s.address}];
        const auto now = NowMs();
        samples.push_back({now, s.position});
        const auto oldest = now - std::chrono::duration_cast<std::chrono::milliseconds>(kPositionSpan).count();
        while (!samples.empty() && samples.front().timeMs < oldest)
            samples.pop_front();
    }
    Broadcast((changes & change::Availability) != 0 ? "availability" : "state", StateJson(s));
}

int Console::Call(LineService& line, int address, std::function<int(TrovelLine*)> call)
{
    Request request;
    request.unit = static_cast<std::uint8_t>(address);
    request.function = kLibraryCall;
    request.call = std::move(call);
    auto answered = std::make_shared<std::promise<Answer>>();
    auto future = answered->get_future();
    line.Submit(request, Priority::Interactive, source_, Clock::now() + kCallDeadline,
                [answered](const Answer& a) { answered->set_value(a); });
    // The queue answers every request exactly once, Stop included; `call` refers to the
    // caller's locals, so it is waited for to the end.
    const Answer a = future.get();
    switch (a.status) {
    case Answer::Status::Done: return a.cause;
    case Answer::Status::Expired:
    case Answer::Status::QueueFull: return TROVEL_ERR_NO_REPLY;
    case Answer::Status::Stopped: break;
    }
    return TROVEL_ERR_NOT_OPEN;
}

LineService* Console::FindLine(const std::string& name, std::size_t* index) const
{
    for (std::size_t i = 0; i < lines_.size(); ++i)
        if (lines_[i]->Settings().name == name) {
            if (index)
                *index = i;
            return lines_[i];
        }
    return nullptr;
}

ApiReply Console::Lines() const
{
    std::string out = "[";
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        const auto& s = lines_[i]->Settings();
        std::string units;
        for (int u = 1; u <= 16; ++u)
            if (lines_[i]->ServesUnit(static_cast<std::uint8_t>(u)))
                AppendItem(units, std::to_string(u));
        out += std::string(i ? "," : "") + "{\"name\":" + Quote(s.name) + ",\"device\":" + Quote(s.device) +
               ",\"served\":[" + units + "]}";
    }
    return Json(200, out + "]");
}

ApiReply Console::Controllers(const std::string& line) const
{
    std::string out = "[";
    bool first = true;
    for (const auto& s : store_.Snapshot()) {
        if (!line.empty() && s.line != line)
            continue;
        if (!first)
            out += ',';
        out += StateJson(s);
        first = false;
    }
    return Json(200, out + "]");
}

ApiReply Console::Controller(const std::string& line, int address) const
{
    ControllerState s;
    if (!store_.Find(line, static_cast<std::uint8_t>(address), s))
        return Problem(404, "no controller " + std::to_string(address) + " known on " + line);
    return Json(200, StateJson(s));
}

ApiReply Console::ReadParameters(LineService& line, int address)
{
    std::string out = "[";
    bool first = true;
    for (const auto& p : trovelctl::Parameters()) {
        std::string value = "null", text;
        int cause = TROVEL_OK;
        if (p.readFloat) {
            float v = 0;
            cause = Call(line, address, [&, read = p.readFloat](TrovelLine* l) { return read(l, address, &v); });
            if (cause == TROVEL_OK) {
                value = Number(v);
                text = trovelctl::DescribeFloat(p, v).text;
            }
        } else {
            int v = 0;
            cause = Call(line, address, [&, read = p.readInt](TrovelLine* l) { return read(l, address, &v); });
            if (cause == TROVEL_OK) {
                value = std::to_string(v);
                text = trovelctl::DescribeInt(p, v).text;
            }
        }
        const bool writable = p.writeFloat != nullptr || p.writeInt != nullptr;
        const char* kind = p.kind == trovelctl::ValueKind::Float ? "float" : p.kind == trovelctl::ValueKind::ZeroOne ? "zero-one" : "status";
        out += std::string(first ? "" : ",") + "{\"name\":" + Quote(p.name) + ",\"label\":" + Quote(p.label) +
               ",\"unit\":" + Quote(p.unit) + ",\"kind\":" + Quote(kind) + ",\"writable\":" +
               (writable ? "true" : "false") + ",\"refusesNegative\":" + (p.refusesNegative ? "true" : "false") +
               ",\"note\":" + Quote(p.writeNote) + ",\"value\":" + value + ",\"text\":" + Quote(text) +
               ",\"cause\":" + CauseJson(cause) + "}";
        first = false;
    }
    return Json(200, out + "]");
}

ApiReply Console::WriteParameter(LineService& line, int address, const std::string& name, const std::string& body)
{
    const auto* p = trovelctl::FindParameter(name);
    if (p == nullptr || (p->writeFloat == nullptr && p->writeInt == nullptr))
        return Problem(404, "no parameter " + name + " to write");
    const auto raw = Member(body, "value");
    if (!raw)
        return Problem(400, "the body must be {\"value\": NUMBER}");
    int cause = TROVEL_OK;
    if (p->writeFloat) {
        const auto value = trovelctl::ParseFloat(*raw);
        if (!value)
            return Problem(400, "not a number: " + *raw);
        cause = Call(line, address, [&, write = p->writeFloat](TrovelLine* l) { return write(l, address, *value); });
    } else {
        const auto value = WholeNumber(*raw);
        if (!value)
            return Problem(400, "not a whole number: " + *raw);
        cause = Call(line, address, [&, write = p->writeInt](TrovelLine* l) { return write(l, address, *value); });
    }
    if (cause != TROVEL_OK)
        return Refused(cause);
    log_.Info("console: " + line.Settings().name + " controller " + std::to_string(address) + ": " +
              std::string(p->label) + " set to " + *raw);
    return Json(200, "{\"ok\":true,\"cause\":null}");
}

ApiReply Console::ReadIdentity(LineService& line, int address)
{
    using TextRead = int(TROVEL_CALL*)(TrovelLine*, int, char**);
    static constexpr std::pair<const char*, TextRead> kTexts[] = {
        {"serial", TrovelGetSerial}, {"biosDate", TrovelGetBiosDate}, {"factoryDate", TrovelGetFactroyDate}};
    std::string out = "{";
    bool first = true;
    for (const auto& [key, read] : kTexts) {
        char buffer[64] = {};
        char* text = buffer;
        const int cause = Call(line, address, [&, read = read](TrovelLine* l) { return read(l, address, &text); });
        out += std::string(first ? "" : ",") + "\"" + key + "\":" + (cause == TROVEL_OK ? Quote(buffer) : "null");
        first = false;
    }
    return Json(200, out + "}");
}

ApiReply Console::SetFactoryDate(LineService& line, int address, const std::string& body)
{
    const auto raw = Member(body, "value");
    if (!raw || raw->size() > 32)
        return Problem(400, "the body must be {\"value\": \"YYYY-MM-DD\"}");
    char text[40] = {};
    std::memcpy(text, raw->data(), raw->size());
    const int cause = Call(line, address, [&](TrovelLine* l) { return TrovelSetFactroyDate(l, address, text); });
    return cause == TROVEL_OK ? Json(200, "{\"ok\":true,\"cause\":null}") : Refused(cause);
}

ApiReply Console::Command(LineService& line, int address, const std::string& command)
{
    using Order = int(TROVEL_CALL*)(TrovelLine*, int);
    static constexpr std::pair<const char*, Order> kCommands[] = {{"move-left", TrovelSetMoveLeft},
                                                                  {"move-right", TrovelSetMoveRight},
                                                                  {"move-auto", TrovelSetMoveAuto},
                                                                  {"stop", TrovelSetMoveStop},
                                                                  {"init", TrovelSetInit},
                                                                  {"outputs-off", TrovelSetSwichAllOff},
                                                                  {"outputs-on", TrovelSetSwichAllOn},
                                                                  {"reset-begin-point", TrovelResetBeginPoint}};
    for (const auto& [name, order] : kCommands) {
        if (command != name)
            continue;
        const int cause = Call(line, address, [&, order = order](TrovelLine* l) { return order(l, address); });
        log_.Info("console: " + line.Settings().name + " controller " + std::to_string(address) + ": " + command +
                  (cause == TROVEL_OK ? "" : std::string(" failed: ") + TrovelErrorText(cause)));
        return cause == TROVEL_OK ? Json(200, "{\"ok\":true,\"cause\":null}") : Refused(cause);
    }
    return Problem(404, "no command " + command);
}

ApiReply Console::SetOutput(LineService& line, int address, int output, const std::string& body)
{
    const auto on = Member(body, "on");
    if (!on || (*on != "true" && *on != "false"))
        return Problem(400, "the body must be {\"on\": true} or {\"on\": false}");
    const int state = *on == "true" ? 1 : 0;
    // The library refuses an index outside 1-6 with nothing sent.
    const int cause = Call(line, address, [&](TrovelLine* l) { return TrovelSetSwichState(l, address, output, state); });
    return cause == TROVEL_OK ? Json(200, "{\"ok\":true,\"cause\":null}") : Refused(cause);
}

ApiReply Console::ChangeAddress(LineService& line, int address, const std::string& body)
{
    const auto raw = Member(body, "value");
    const auto value = raw ? WholeNumber(*raw) : std::nullopt;
    if (!value)
        return Problem(400, "the body must be {\"value\": ADDRESS}");
    const int cause = Call(line, address, [&](TrovelLine* l) { return TrovelSetAddress(l, address, *value); });
    if (cause == TROVEL_OK)
        log_.Info("console: " + line.Settings().name + " controller " + std::to_string(address) + " now answers at " +
                  std::to_string(*value));
    return cause == TROVEL_OK ? Json(200, "{\"ok\":true,\"cause\":null}") : Refused(cause);
}

ApiReply Console::StartScan(LineService& line, std::size_t index)
{
    if (scanning_[index].exchange(true))
        return Problem(409, "a scan of " + line.Settings().name + " is running");
    const std::lock_guard hold(scanMutex_);
    if (scans_[index].joinable())
        scans_[index].join(); // the line's last scan, over
    scans_[index] = std::thread([this, &line, index] {
        std::string found;
        const std::string name = Quote(line.Settings().name);
        // First the short probe of every address in one go; then each address it did not hear
        // is asked with the line's full time-out before it counts as absent.
        auto probed = std::make_shared<std::vector<int>>();
        if (auto probe = ProbeCall(line.Settings(), probed))
            Call(line, 0, std::move(probe));
        for (int address = 1; address <= 16 && !stopping_; ++address) {
            int state = 0;
            const bool heard = std::find(probed->begin(), probed->end(), address) != probed->end();
            const int cause =
                heard ? TROVEL_OK : Call(line, address, [&](TrovelLine* l) { return TrovelGetRunState(l, address, &state); });
            if (cause == TROVEL_OK)
                AppendItem(found, std::to_string(address));
            Broadcast("scan", "{\"line\":" + name + ",\"address\":" + std::to_string(address) + ",\"answered\":" +
                                  (cause == TROVEL_OK ? "true" : "false") + ",\"done\":" +
                                  (address == 16 ? "true" : "false") + ",\"found\":[" + found + "]}");
        }
        scanning_[index] = false;
    });
    return Json(202, "{\"ok\":true,\"scanning\":true}");
}

ApiReply Console::Trace(const std::map<std::string, std::string>& query, bool csv) const
{
    const auto get = [&](const char* key) {
        const auto it = query.find(key);
        return it == query.end() ? std::string() : it->second;
    };
    const std::string line = get("line");
    const auto address = WholeNumber(get("address"));
    const bool failures = get("failures") == "1" || get("failures") == "true";
    const auto after = WholeNumber(get("after")).value_or(0);
    std::string out = csv ? "time,line,address,request,reply,meaning,ok,cause,elapsed_ms\r\n" : "[";
    bool first = true;
    const std::lock_guard hold(traceMutex_);
    for (const auto& e : trace_) {
        if ((!line.empty() && lines_[e.line]->Settings().name != line) || (address && e.address != *address) ||
            (failures && e.outcome == TROVEL_OK) || e.seq <= static_cast<std::uint64_t>(after))
            continue;
        if (csv) {
            std::string meaning = ExchangeMeaning(e.request.data(), static_cast<int>(e.request.size()),
                                                  e.reply.data(), static_cast<int>(e.reply.size()), e.outcome);
            out += std::to_string(e.timeMs) + "," + lines_[e.line]->Settings().name + "," +
                   std::to_string(e.address) + "," + Hex(e.request.data(), static_cast<int>(e.request.size())) + "," +
                   Hex(e.reply.data(), static_cast<int>(e.reply.size())) + "," + Quote(meaning) + "," +
                   (e.outcome == TROVEL_OK ? "1" : "0") + "," + std::to_string(e.outcome) + "," +
                   Number(e.elapsedUs / 1000.0) + "\r\n";
        } else {
            if (!first)
                out += ',';
            out += ExchangeJson(e);
        }
        first = false;
    }
    if (csv)
        return {200, out, "text/csv"};
    return Json(200, out + "]");
}

ApiReply Console::Positions(const std::string& line, int address, bool csv) const
{
    std::string out = csv ? "time,line,address,position\r\n" : "[";
    const std::lock_guard hold(positionsMutex_);
    bool first = true;
    for (const auto& [key, samples] : positions_) {
        if ((!line.empty() && key.first != line) || (address != 0 && key.second != address))
            continue;
        for (const auto& s : samples) {
            if (csv)
                out += std::to_string(s.timeMs) + "," + key.first + "," + std::to_string(key.second) + "," +
                       Number(s.position) + "\r\n";
            else
                out += std::string(first ? "" : ",") + "[" + std::to_string(s.timeMs) + "," + Number(s.position) + "]";
            first = false;
        }
    }
    if (csv)
        return {200, out, "text/csv"};
    return Json(200, out + "]");
}

ApiReply Console::Handle(const std::string& method, const std::string& path, const std::string& body,
                         const std::map<std::string, std::string>& query)
{
    const auto parts = Split(path);
    const bool get = method == "GET";
    if (parts.empty())
        return Problem(404, "see /api/v1/openapi.json");
    if (parts.size() == 1 && get) {
        if (parts[0] == "lines")
            return Lines();
        if (parts[0] == "controllers")
            return Controllers({});
        if (parts[0] == "trace")
            return Trace(query, false);
        if (parts[0] == "trace.csv")
            return Trace(query, true);
        if (parts[0] == "positions.csv") {
            const auto it = query.find("address");
            return Positions(query.count("line") ? query.at("line") : std::string(),
                             it == query.end() ? 0 : WholeNumber(it->second).value_or(0), true);
        }
    }
    if (parts[0] != "lines" || parts.size() < 2)
        return Problem(404, "no such resource: " + path);
    std::size_t index = 0;
    LineService* line = FindLine(parts[1], &index);
    if (line == nullptr)
        return Problem(404, "no line " + parts[1]);
    if (parts.size() == 3 && parts[2] == "controllers" && get)
        return Controllers(parts[1]);
    if (parts.size() == 3 && parts[2] == "scan" && method == "POST")
        return StartScan(*line, index);
    if (parts.size() < 4 || parts[2] != "controllers")
        return Problem(404, "no such resource: " + path);
    const auto address = WholeNumber(parts[3]);
    if (!address || *address < 1 || *address > 16)
        return Problem(404, "a controller's address is 1 to 16");
    const int a = *address;
    if (parts.size() == 4 && get)
        return Controller(parts[1], a);
    const std::string& what = parts[4];
    if (parts.size() == 5 && get && what == "parameters")
        return ReadParameters(*line, a);
    if (parts.size() == 6 && method == "PUT" && what == "parameters")
        return WriteParameter(*line, a, parts[5], body);
    if (parts.size() == 5 && get && what == "identity")
        return ReadIdentity(*line, a);
    if (parts.size() == 5 && get && what == "positions")
        return Positions(parts[1], a, false);
    if (parts.size() == 6 && method == "PUT" && what == "identity" && parts[5] == "factory-date")
        return SetFactoryDate(*line, a, body);
    if (parts.size() == 6 && method == "POST" && what == "commands")
        return Command(*line, a, parts[5]);
    if (parts.size() == 6 && method == "PUT" && what == "outputs") {
        const auto output = WholeNumber(parts[5]);
        return output ? SetOutput(*line, a, *output, body) : Problem(404, "outputs are 1 to 6");
    }
    if (parts.size() == 5 && method == "POST" && what == "address")
        return ChangeAddress(*line, a, body);
    return Problem(404, "no such resource: " + method + " " + path);
}

} // namespace trovel::gateway
