/*
 * trovel/trovel.hpp: the C++ interface of TrovelSdk, header-only over TrovelSdk.h (C++17).
 *
 *   trovel::Line line{"/dev/ttyUSB0"};          // or "COM3", "rtu+tcp://host:4001", ...
 *   auto screen = line.Controller(2);
 *   screen.SetMotorSpeed(80);
 *   float v = screen.MotorSpeed();              // throws trovel::Error on failure
 *   auto r = screen.TryMotorSpeed();            // never throws: if (r) use r.Value(), else r.Cause()
 *
 * Getters drop the "Get" of the C name, setters keep "Set"; names are plain English where
 * the C name is not (SwitchState for GetSwichState, FactoryDate for GetFactroyDate,
 * MotorDirection for GetMotorVeer). docs/cpp.md maps every name to its C call.
 *
 * Built without exceptions (-fno-exceptions), only the Try... forms and Line::Open exist.
 * Calls on one line from several threads queue, as in C; close a line only when no other
 * thread is calling on it.
 */
#ifndef TROVEL_TROVEL_HPP
#define TROVEL_TROVEL_HPP

#include <algorithm>
#include <array>
#include <bitset>
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "TrovelSdk.h"

#ifndef TROVEL_HPP_EXCEPTIONS
#if defined(__cpp_exceptions) || defined(__EXCEPTIONS) || defined(_CPPUNWIND)
#define TROVEL_HPP_EXCEPTIONS 1
#else
#define TROVEL_HPP_EXCEPTIONS 0
#endif
#endif

#if TROVEL_HPP_EXCEPTIONS
#include <stdexcept>
#endif

namespace trovel {

// ---- Enumerations ------------------------------------------------------------------------

// Why a call failed: TrovelLastError() sorted. Every Modbus exception reply is ExceptionReply;
// Code() keeps which one (TROVEL_ERR_EXCEPTION(code)).
enum class Cause : int {
    Ok = TROVEL_OK,
    NotOpen = TROVEL_ERR_NOT_OPEN,
    Argument = TROVEL_ERR_ARGUMENT,
    BadLine = TROVEL_ERR_BAD_LINE,
    NoDevice = TROVEL_ERR_NO_DEVICE,
    Busy = TROVEL_ERR_BUSY,
    Permission = TROVEL_ERR_PERMISSION,
    NotSerial = TROVEL_ERR_NOT_SERIAL,
    Connect = TROVEL_ERR_CONNECT,
    OpenFailed = TROVEL_ERR_OPEN_FAILED,
    NoReply = TROVEL_ERR_NO_REPLY,
    ShortReply = TROVEL_ERR_SHORT_REPLY,
    Crc = TROVEL_ERR_CRC,
    Mismatch = TROVEL_ERR_MISMATCH,
    TwoFrames = TROVEL_ERR_TWO_FRAMES,
    Echo = TROVEL_ERR_ECHO,
    DeviceGone = TROVEL_ERR_DEVICE_GONE,
    Internal = TROVEL_ERR_INTERNAL,
    BadValue = TROVEL_ERR_BAD_VALUE,
    Rs485Unsupported = TROVEL_ERR_RS485_UNSUPPORTED,
    SettingRefused = TROVEL_ERR_SETTING_REFUSED,
    ExceptionReply = TROVEL_ERR_EXCEPTION_BASE,
};

// Register 200. The library reads anything but 0 and 1 as Unknown, which cannot be written.
enum class WorkMode : int { Unknown = -1, Mode0 = 0, Mode1 = 1 };
// Register 202.
enum class MotorDirection : int { Normal = 0, Reversed = 1 };
// Register 206.
enum class RemoteFunction : int { Off = 0, On = 1 };
// Register 406: the remote key held.
enum class RemoteKey : int { None = 0, Key1 = 1, Key2 = 2, Key3 = 3, Key4 = 4 };
// Register 404, a set of bits (left 1, right 2, automatic run 4); other values pass through.
enum class RunState : int {
    Stopped = 0,
    MovingLeft = 1,
    MovingRight = 2,
    AutoPausing = 4,
    AutoMovingLeft = 5,
    AutoMovingRight = 6,
};
// How a read ends: on silence after the last byte (the classic rule) or once a whole frame is in.
enum class ReplyMode : int { Silence = TROVEL_REPLY_SILENCE, Frame = TROVEL_REPLY_FRAME };

inline trovel::Cause CauseOf(int code) noexcept
{
    return code >= TROVEL_ERR_EXCEPTION_BASE ? Cause::ExceptionReply : static_cast<trovel::Cause>(code);
}

// The library's short English text of a cause code; never null.
inline const char* ErrorText(int code) noexcept { return TrovelErrorText(code); }

inline bool IsMoving(trovel::RunState state) noexcept { return (static_cast<int>(state) & 3) != 0; }

// ---- Errors and results --------------------------------------------------------------------

namespace detail {

inline std::string Describe(int code, const char* call, int address)
{
    std::string text = address >= 0 ? "controller " + std::to_string(address) + ": " : std::string();
    text += TrovelErrorText(code);
    if (call != nullptr && *call != '\0')
        text += std::string(" (") + call + ")";
    return text;
}

} // namespace detail

#if TROVEL_HPP_EXCEPTIONS
// A failed call: the library's cause, the C call and the controller (-1 for none).
class Error : public std::runtime_error {
public:
    Error(int code, const char* call, int address, const std::string& context = {})
        : std::runtime_error(context.empty() ? detail::Describe(code, call, address)
                                             : context + ": " + detail::Describe(code, call, -1)),
          code_(code), call_(call), address_(address)
    {
    }

    int Code() const noexcept { return code_; }
    trovel::Cause Cause() const noexcept { return CauseOf(code_); }
    // The Modbus exception code of an exception reply (2: illegal data address), else 0.
    int ExceptionCode() const noexcept
    {
        return code_ > TROVEL_ERR_EXCEPTION_BASE ? code_ - TROVEL_ERR_EXCEPTION_BASE : 0;
    }
    const char* Text() const noexcept { return TrovelErrorText(code_); }
    const char* Call() const noexcept { return call_; }
    int Address() const noexcept { return address_; }

private:
    int code_;
    const char* call_;
    int address_;
};
#endif

namespace detail {

[[noreturn]] inline void Fail(int code, const char* call, int address)
{
#if TROVEL_HPP_EXCEPTIONS
    throw Error(code, call, address);
#else
    (void)code, (void)call, (void)address;
    std::abort(); // Value() of a failed result: check Ok() first when building without exceptions
#endif
}

struct FailureTag {};

// What every result knows of a failure: its cause, the C call and the controller.
class Outcome {
public:
    Outcome() noexcept = default;
    Outcome(FailureTag, int code, const char* call, int address) noexcept
        : code_(code == TROVEL_OK ? TROVEL_ERR_INTERNAL : code), call_(call), address_(address)
    {
    }

    bool Ok() const noexcept { return code_ == TROVEL_OK; }
    explicit operator bool() const noexcept { return Ok(); }
    int Code() const noexcept { return code_; }
    trovel::Cause Cause() const noexcept { return CauseOf(code_); }
    const char* Text() const noexcept { return TrovelErrorText(code_); }
    const char* Call() const noexcept { return call_; }

    // Throws the Error of a failed result (aborts when built without exceptions).
    void Check() const
    {
        if (!Ok())
            Fail(code_, call_, address_);
    }

private:
    int code_ = TROVEL_OK;
    const char* call_ = "";
    int address_ = -1;
};
} // namespace detail

// What the Try... forms return: a value, or the cause of the failure.
template <class T>
class [[nodiscard]] Result : public detail::Outcome {
public:
    Result(T value) : value_(std::move(value)) {} // NOLINT: a value is a successful result
    using Outcome::Outcome;

    // The value; on a failed result throws the Error (aborts when built without exceptions).
    const T& Value() const&
    {
        Check();
        return *value_;
    }
    T&& Value() &&
    {
        Check();
        return std::move(*value_);
    }
    T ValueOr(T fallback) const& { return Ok() ? *value_ : std::move(fallback); }

private:
    std::optional<T> value_;
};

template <>
class [[nodiscard]] Result<void> : public detail::Outcome {
public:
    using Outcome::Outcome;
};

// ---- Trace ---------------------------------------------------------------------------------

struct Bytes {
    const unsigned char* data = nullptr;
    std::size_t size = 0;
    const unsigned char* begin() const noexcept { return data; }
    const unsigned char* end() const noexcept { return data + size; }
};

// One exchange (each retry is one), valid during the trace call only.
struct TraceRecord {
    int address;
    Bytes request;
    Bytes reply;
    std::chrono::microseconds elapsed;
    int outcome; // 0 for success, else the cause code
    bool Ok() const noexcept { return outcome == TROVEL_OK; }
};

// Called from the thread that made the call, after the line's lock is released, so it may
// call the library, also on the same line. Exceptions it throws are dropped.
using TraceFunction = std::function<void(const TraceRecord&)>;

using LineStats = TrovelLineStats;

namespace detail {

// Lives on the heap so a moved Line keeps the address the library was given.
class TraceSlot {
public:
    void Set(TraceFunction function)
    {
        auto shared = function ? std::make_shared<const TraceFunction>(std::move(function)) : nullptr;
        std::lock_guard<std::mutex> lock(mutex_);
        function_ = std::move(shared);
    }

    static void TROVEL_CALL Forward(void* user, TrovelLine*, int address, const unsigned char* request,
                                    int requestLength, const unsigned char* reply, int replyLength,
                                    int elapsedMicroseconds, int outcome)
    {
        auto* slot = static_cast<TraceSlot*>(user);
        std::shared_ptr<const TraceFunction> function;
        {
            std::lock_guard<std::mutex> lock(slot->mutex_);
            function = slot->function_;
        }
        if (!function)
            return;
        const TraceRecord record{address,
                                 {request, requestLength > 0 ? static_cast<std::size_t>(requestLength) : 0u},
                                 {reply, replyLength > 0 ? static_cast<std::size_t>(replyLength) : 0u},
                                 std::chrono::microseconds(elapsedMicroseconds),
                                 outcome};
#if TROVEL_HPP_EXCEPTIONS
        try {
            (*function)(record);
        } catch (...) {
            // Nothing may unwind through the library's C frames.
        }
#else
        (*function)(record);
#endif
    }

private:
    std::mutex mutex_;
    std::shared_ptr<const TraceFunction> function_;
};

} // namespace detail

// ---- Controller ----------------------------------------------------------------------------

// One controller (device address 1..16) on a line. A light value: copy it freely; it is valid
// while its line is open.
class Controller {
public:
    using Progress = std::function<void(float position, trovel::RunState state)>;

    Controller(TrovelLine* line, int address) noexcept : line_(line), address_(address) {}

    int Address() const noexcept { return address_; }
    TrovelLine* Handle() const noexcept { return line_; }

    // -- non-throwing forms --

    Result<float> TryMotorSpeed() const { return Read<float>(TrovelGetMotorSpeed, "GetMotorSpeed"); }
    Result<float> TryMotorAcc() const { return Read<float>(TrovelGetMotorAcc, "GetMotorAcc"); }
    Result<float> TryPulseCount() const { return Read<float>(TrovelGetPulseCount, "GetPulseCount"); }
    Result<float> TryBeginPoint() const { return Read<float>(TrovelGetBeginPoint, "GetBeginPoint"); }
    Result<float> TryEndPoint() const { return Read<float>(TrovelGetEndPoint, "GetEndPoint"); }
    Result<float> TryAutoBeginPoint() const { return Read<float>(TrovelGetAutoBeginPoint, "GetAutoBeginPoint"); }
    Result<float> TryAutoEndPoint() const { return Read<float>(TrovelGetAutoEndPoint, "GetAutoEndPoint"); }
    Result<float> TryResolution() const { return Read<float>(TrovelGetResolution, "GetResolution"); }
    Result<float> TryDiameter() const { return Read<float>(TrovelGetDiameter, "GetDiameter"); }
    Result<float> TryDelayTime() const { return Read<float>(TrovelGetDelayTime, "GetDelayTime"); }
    Result<float> TryCurrentPoint() const { return Read<float>(TrovelGetCurrentPoint, "GetCurrentPoint"); }

    // Speed, acceleration, pulse count, resolution, diameter and delay time refuse values below 0.
    Result<void> TrySetMotorSpeed(float v) const { return Call(TrovelSetMotorSpeed, "SetMotorSpeed", v); }
    Result<void> TrySetMotorAcc(float v) const { return Call(TrovelSetMotorAcc, "SetMotorAcc", v); }
    Result<void> TrySetPulseCount(float v) const { return Call(TrovelSetPulseCount, "SetPulseCount", v); }
    Result<void> TrySetBeginPoint(float v) const { return Call(TrovelSetBeginPoint, "SetBeginPoint", v); }
    Result<void> TrySetEndPoint(float v) const { return Call(TrovelSetEndPoint, "SetEndPoint", v); }
    Result<void> TrySetAutoBeginPoint(float v) const { return Call(TrovelSetAutoBeginPoint, "SetAutoBeginPoint", v); }
    Result<void> TrySetAutoEndPoint(float v) const { return Call(TrovelSetAutoEndPoint, "SetAutoEndPoint", v); }
    Result<void> TrySetResolution(float v) const { return Call(TrovelSetResolution, "SetResolution", v); }
    Result<void> TrySetDiameter(float v) const { return Call(TrovelSetDiameter, "SetDiameter", v); }
    Result<void> TrySetDelayTime(float v) const { return Call(TrovelSetDelayTime, "SetDelayTime", v); }
    // The controller counts its position from v from now on; the screen does not move.
    Result<void> TrySetCurrentPoint(float v) const { return Call(TrovelFixedCurrentPoint, "FixedCurrentPoint", v); }

    Result<trovel::WorkMode> TryWorkMode() const { return Read<trovel::WorkMode>(TrovelGetWorkMode, "GetWorkMode"); }
    Result<trovel::MotorDirection> TryMotorDirection() const
    {
        return Read<trovel::MotorDirection>(TrovelGetMotorVeer, "GetMotorVeer");
    }
    Result<trovel::RemoteFunction> TryRemoteFunction() const
    {
        return Read<trovel::RemoteFunction>(TrovelGetRemoteFunction, "GetRemoteFunction");
    }
    Result<void> TrySetWorkMode(trovel::WorkMode m) const
    {
        return Call(TrovelSetWorkMode, "SetWorkMode", static_cast<int>(m));
    }
    Result<void> TrySetMotorDirection(trovel::MotorDirection d) const
    {
        return Call(TrovelSetMotorVeer, "SetMotorVeer", static_cast<int>(d));
    }
    Result<void> TrySetRemoteFunction(trovel::RemoteFunction f) const
    {
        return Call(TrovelSetRemoteFunction, "SetRemoteFunction", static_cast<int>(f));
    }

    Result<trovel::RunState> TryRunState() const { return Read<trovel::RunState>(TrovelGetRunState, "GetRunState"); }
    Result<RemoteKey> TryRemoteKeyState() const
    {
        return Read<RemoteKey>(TrovelGetRemoteKeyState, "GetRemoteKeyState");
    }

    Result<void> TryMoveLeft() const { return Call(TrovelSetMoveLeft, "SetMoveLeft"); }
    Result<void> TryMoveRight() const { return Call(TrovelSetMoveRight, "SetMoveRight"); }
    Result<void> TryMoveAuto() const { return Call(TrovelSetMoveAuto, "SetMoveAuto"); }
    Result<void> TryStop() const { return Call(TrovelSetMoveStop, "SetMoveStop"); }
    // Stop, then every switch output off: two exchanges.
    Result<void> TryInit() const { return Call(TrovelSetInit, "SetInit"); }

    // Output 1 first.
    Result<std::array<bool, 6>> TrySwitchState() const
    {
        auto text = ReadText<7>(TrovelGetSwichState, "GetSwichState");
        if (!text)
            return FailedAs<std::array<bool, 6>>(text);
        std::array<bool, 6> on{};
        for (std::size_t i = 0; i < on.size(); ++i)
            on[i] = text.Value()[i] == '1';
        return on;
    }
    // index 1..6. Reads the outputs, then writes all six.
    Result<void> TrySetSwitchState(int index, bool on) const
    {
        return Call(TrovelSetSwichState, "SetSwichState", index, on ? 1 : 0);
    }
    Result<void> TrySetSwitchAllOn() const { return Call(TrovelSetSwichAllOn, "SetSwichAllOn"); }
    Result<void> TrySetSwitchAllOff() const { return Call(TrovelSetSwichAllOff, "SetSwichAllOff"); }

    // Bit 0 left limit, 1 right limit, 2 left extremity, 3 right extremity, 4-7 auxiliary;
    // to_string() gives the C text, bit 7 first.
    Result<std::bitset<8>> TryIoInputState() const
    {
        auto text = ReadText<9>(TrovelGetIoInputState, "GetIoInputState");
        if (!text)
            return FailedAs<std::bitset<8>>(text);
        std::bitset<8> bits;
        for (std::size_t i = 0; i < bits.size(); ++i)
            bits[7 - i] = text.Value()[i] == '1';
        return bits;
    }
    Result<bool> TryLeftLimit() const { return Read<bool>(TrovelGetLeftLimit, "GetLeftLimit"); }
    Result<bool> TryRightLimit() const { return Read<bool>(TrovelGetRightLimit, "GetRightLimit"); }
    Result<bool> TryLeftExtremity() const { return Read<bool>(TrovelGetLeftExtremity, "GetLeftExtremity"); }
    Result<bool> TryRightExtremity() const { return Read<bool>(TrovelGetRightExtremity, "GetRightExtremity"); }

    Result<std::string> TrySerial() const { return ReadText<28>(TrovelGetSerial, "GetSerial"); }
    Result<std::string> TryBiosDate() const { return ReadText<14>(TrovelGetBiosDate, "GetBiosDate"); }
    Result<std::string> TryFactoryDate() const { return ReadText<14>(TrovelGetFactroyDate, "GetFactroyDate"); }
    // "YYYY-MM-DD"; the C call edits the text it is given, so it gets a copy.
    Result<void> TrySetFactoryDate(std::string date) const
    {
        return Call(TrovelSetFactroyDate, "SetFactroyDate", date.data());
    }

    // Returns the controller under its new address (1..16).
    Result<trovel::Controller> TrySetAddress(int newAddress) const
    {
        auto done = Call(TrovelSetAddress, "SetAddress", newAddress);
        if (!done)
            return FailedAs<trovel::Controller>(done);
        return trovel::Controller(line_, newAddress);
    }
    // The present position becomes the begin point.
    Result<void> TryResetBeginPoint() const { return Call(TrovelResetBeginPoint, "ResetBeginPoint"); }
    // Factory motion parameters and modes. Address 0 broadcasts it: all execute, none answers.
    Result<void> TryRestoreDefaults() const { return Call(TrovelSetDefault, "SetDefault"); }

    // Polls run state and position until the run state is Stopped: true then, false when the
    // screen still moves after timeout (it is not stopped: call Stop). onProgress sees every
    // poll, the last one included. A failed poll ends the wait with its cause.
    Result<bool> TryWaitUntilStopped(std::chrono::milliseconds timeout, const Progress& onProgress = {},
                                     std::chrono::milliseconds pollInterval = std::chrono::milliseconds(200)) const
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            const std::chrono::steady_clock::duration left = deadline - std::chrono::steady_clock::now();
            std::this_thread::sleep_for(std::clamp<std::chrono::steady_clock::duration>(left, {}, pollInterval));
            const auto state = TryRunState();
            if (!state)
                return FailedAs<bool>(state);
            const auto position = TryCurrentPoint();
            if (!position)
                return FailedAs<bool>(position);
            if (onProgress)
                onProgress(position.Value(), state.Value());
            if (state.Value() == trovel::RunState::Stopped)
                return true;
            if (std::chrono::steady_clock::now() >= deadline)
                return false;
        }
    }

#if TROVEL_HPP_EXCEPTIONS
    // -- throwing forms: the value, or trovel::Error --

    float MotorSpeed() const { return TryMotorSpeed().Value(); }
    float MotorAcc() const { return TryMotorAcc().Value(); }
    float PulseCount() const { return TryPulseCount().Value(); }
    float BeginPoint() const { return TryBeginPoint().Value(); }
    float EndPoint() const { return TryEndPoint().Value(); }
    float AutoBeginPoint() const { return TryAutoBeginPoint().Value(); }
    float AutoEndPoint() const { return TryAutoEndPoint().Value(); }
    float Resolution() const { return TryResolution().Value(); }
    float Diameter() const { return TryDiameter().Value(); }
    float DelayTime() const { return TryDelayTime().Value(); }
    float CurrentPoint() const { return TryCurrentPoint().Value(); }

    void SetMotorSpeed(float v) const { TrySetMotorSpeed(v).Check(); }
    void SetMotorAcc(float v) const { TrySetMotorAcc(v).Check(); }
    void SetPulseCount(float v) const { TrySetPulseCount(v).Check(); }
    void SetBeginPoint(float v) const { TrySetBeginPoint(v).Check(); }
    void SetEndPoint(float v) const { TrySetEndPoint(v).Check(); }
    void SetAutoBeginPoint(float v) const { TrySetAutoBeginPoint(v).Check(); }
    void SetAutoEndPoint(float v) const { TrySetAutoEndPoint(v).Check(); }
    void SetResolution(float v) const { TrySetResolution(v).Check(); }
    void SetDiameter(float v) const { TrySetDiameter(v).Check(); }
    void SetDelayTime(float v) const { TrySetDelayTime(v).Check(); }
    void SetCurrentPoint(float v) const { TrySetCurrentPoint(v).Check(); }

    trovel::WorkMode WorkMode() const { return TryWorkMode().Value(); }
    trovel::MotorDirection MotorDirection() const { return TryMotorDirection().Value(); }
    trovel::RemoteFunction RemoteFunction() const { return TryRemoteFunction().Value(); }
    void SetWorkMode(trovel::WorkMode m) const { TrySetWorkMode(m).Check(); }
    void SetMotorDirection(trovel::MotorDirection d) const { TrySetMotorDirection(d).Check(); }
    void SetRemoteFunction(trovel::RemoteFunction f) const { TrySetRemoteFunction(f).Check(); }

    trovel::RunState RunState() const { return TryRunState().Value(); }
    RemoteKey RemoteKeyState() const { return TryRemoteKeyState().Value(); }

    void MoveLeft() const { TryMoveLeft().Check(); }
    void MoveRight() const { TryMoveRight().Check(); }
    void MoveAuto() const { TryMoveAuto().Check(); }
    void Stop() const { TryStop().Check(); }
    void Init() const { TryInit().Check(); }

    std::array<bool, 6> SwitchState() const { return TrySwitchState().Value(); }
    void SetSwitchState(int index, bool on) const { TrySetSwitchState(index, on).Check(); }
    void SetSwitchAllOn() const { TrySetSwitchAllOn().Check(); }
    void SetSwitchAllOff() const { TrySetSwitchAllOff().Check(); }

    std::bitset<8> IoInputState() const { return TryIoInputState().Value(); }
    bool LeftLimit() const { return TryLeftLimit().Value(); }
    bool RightLimit() const { return TryRightLimit().Value(); }
    bool LeftExtremity() const { return TryLeftExtremity().Value(); }
    bool RightExtremity() const { return TryRightExtremity().Value(); }

    std::string Serial() const { return TrySerial().Value(); }
    std::string BiosDate() const { return TryBiosDate().Value(); }
    std::string FactoryDate() const { return TryFactoryDate().Value(); }
    void SetFactoryDate(std::string date) const { TrySetFactoryDate(std::move(date)).Check(); }

    trovel::Controller SetAddress(int newAddress) const { return TrySetAddress(newAddress).Value(); }
    void ResetBeginPoint() const { TryResetBeginPoint().Check(); }
    void RestoreDefaults() const { TryRestoreDefaults().Check(); }

    bool WaitUntilStopped(std::chrono::milliseconds timeout, const Progress& onProgress = {},
                          std::chrono::milliseconds pollInterval = std::chrono::milliseconds(200)) const
    {
        return TryWaitUntilStopped(timeout, onProgress, pollInterval).Value();
    }
#endif

private:
    template <class T, class U>
    Result<T> FailedAs(const Result<U>& failed) const
    {
        return Result<T>(detail::FailureTag{}, failed.Code(), failed.Call(), address_);
    }

    template <class T>
    Result<T> Failed(int code, const char* call) const
    {
        return Result<T>(detail::FailureTag{}, code, call, address_);
    }

    // Reads through the C call's output pointer, written only on success.
    template <class T, class Out>
    Result<T> Read(int(TROVEL_CALL* function)(TrovelLine*, int, Out*), const char* call) const
    {
        if (line_ == nullptr) // a null handle would mean the default line to the library
            return Failed<T>(TROVEL_ERR_BAD_LINE, call);
        Out out{};
        if (function(line_, address_, &out) == 0)
            return Failed<T>(TrovelLastError(), call);
        if constexpr (std::is_same_v<T, bool>)
            return out != 0;
        else
            return static_cast<T>(out);
    }

    template <std::size_t Size>
    Result<std::string> ReadText(int(TROVEL_CALL* function)(TrovelLine*, int, char**), const char* call) const
    {
        if (line_ == nullptr)
            return Failed<std::string>(TROVEL_ERR_BAD_LINE, call);
        char buffer[Size] = {};
        char* text = buffer;
        if (function(line_, address_, &text) == 0)
            return Failed<std::string>(TrovelLastError(), call);
        return std::string(buffer);
    }

    template <class... Params, class... Args>
    Result<void> Call(int(TROVEL_CALL* function)(TrovelLine*, int, Params...), const char* call, Args... args) const
    {
        if (line_ == nullptr)
            return Failed<void>(TROVEL_ERR_BAD_LINE, call);
        if (function(line_, address_, args...) == 0)
            return Failed<void>(TrovelLastError(), call);
        return {};
    }

    TrovelLine* line_;
    int address_;
};

// ---- Line ----------------------------------------------------------------------------------

// A serial port or network gateway with up to 16 controllers. Opened lines are closed by the
// destructor; Line::Default() wraps the line of the classic C calls and never closes it.
class Line {
public:
    // No line: every call on it fails with Cause::BadLine. What a moved-from Line is, too.
    Line() noexcept = default;

#if TROVEL_HPP_EXCEPTIONS
    // "/dev/ttyUSB0", "COM3", "rtu+tcp://HOST:PORT", "modbus+tcp://HOST[:PORT]"; throws on failure.
    explicit Line(const std::string& device)
    {
        auto opened = Open(device);
        if (!opened)
            throw Error(opened.Code(), "TrovelOpenLine", -1, "cannot open " + device);
        *this = std::move(opened).Value();
    }
    explicit Line(const char* device) : Line(std::string(device != nullptr ? device : "")) {}
#endif

    static Result<Line> Open(const std::string& device)
    {
        TrovelLine* handle = TrovelOpenLine(device.c_str());
        if (handle == nullptr)
            return Result<Line>(detail::FailureTag{}, TrovelLastError(), "TrovelOpenLine", -1);
        return Line(handle, true);
    }

    // The default line: the one OpenCom opens and the classic calls use.
    static Line Default() noexcept { return Line(TrovelDefaultLine(), false); }

    Line(Line&& other) noexcept
        : handle_(std::exchange(other.handle_, nullptr)), owned_(std::exchange(other.owned_, false)),
          trace_(std::move(other.trace_))
    {
    }

    Line& operator=(Line&& other) noexcept
    {
        if (this != &other) {
            Close();
            handle_ = std::exchange(other.handle_, nullptr);
            owned_ = std::exchange(other.owned_, false);
            trace_ = std::move(other.trace_);
        }
        return *this;
    }

    Line(const Line&) = delete;
    Line& operator=(const Line&) = delete;

    ~Line() { Close(); }

    // Closes a line this object opened; on the default line, only takes back its trace.
    void Close() noexcept
    {
        if (handle_ == nullptr)
            return;
        if (owned_)
            TrovelCloseLine(handle_);
        else if (trace_)
            TrovelSetTrace(handle_, nullptr, nullptr); // the default line's trace outlives us
        handle_ = nullptr;
        owned_ = false;
        trace_.reset();
    }

    bool IsOpen() const noexcept { return handle_ != nullptr && (owned_ || IsComOpen() == 1); }
    TrovelLine* Handle() const noexcept { return handle_; }

    trovel::Controller Controller(int address) const noexcept { return trovel::Controller(handle_, address); }

    // A reply must be complete `total` after the request (10 ms..10 s) and ends `gap` after its
    // last byte (2 ms..total; by default 100 ms or total if that is less).
    Result<void> TrySetTimeouts(std::chrono::milliseconds total, std::optional<std::chrono::milliseconds> gap = {})
    {
        const auto g = gap ? *gap : std::min(total, std::chrono::milliseconds(100));
        // A span past int's range must not wrap into a valid one: -1 is refused like any
        // value out of range.
        const auto ms = [](std::chrono::milliseconds span) {
            return span.count() < 0 || span.count() > std::numeric_limits<int>::max() ? -1 : static_cast<int>(span.count());
        };
        return Setting(TrovelSetTimeouts(handle_, ms(total), ms(g)), "TrovelSetTimeouts");
    }
    // Repeats an exchange that failed on the line up to count times (0..5).
    Result<void> TrySetRetries(int count) { return Setting(TrovelSetRetries(handle_, count), "TrovelSetRetries"); }
    Result<void> TrySetLocalEcho(bool on)
    {
        return Setting(TrovelSetLocalEcho(handle_, on ? 1 : 0), "TrovelSetLocalEcho");
    }
    Result<void> TrySetReplyMode(ReplyMode mode)
    {
        return Setting(TrovelSetReplyMode(handle_, static_cast<int>(mode)), "TrovelSetReplyMode");
    }
    // RS-485 direction by RTS (TrovelSetRs485), for a transceiver on a plain UART:
    // TROVEL_RS485_RTS_HIGH for most. A USB adapter answers Cause::Rs485Unsupported and the
    // line works as before.
    Result<void> TrySetRs485(int mode, int delayBeforeMs = 0, int delayAfterMs = 0)
    {
        if (handle_ == nullptr)
            return Setting(0, "TrovelSetRs485");
        if (TrovelSetRs485(handle_, mode, delayBeforeMs, delayAfterMs) != 0)
            return {};
        return Result<void>(detail::FailureTag{}, TrovelLastError(), "TrovelSetRs485", -1);
    }
    // An empty function turns the trace off.
    Result<void> TrySetTrace(TraceFunction function)
    {
        if (handle_ == nullptr)
            return Setting(0, "TrovelSetTrace");
        if (!trace_)
            trace_ = std::make_unique<detail::TraceSlot>();
        const bool on = static_cast<bool>(function);
        trace_->Set(std::move(function));
        return Setting(TrovelSetTrace(handle_, on ? &detail::TraceSlot::Forward : nullptr, trace_.get()),
                       "TrovelSetTrace");
    }

    Result<LineStats> TryStats() const
    {
        LineStats stats{};
        stats.size = static_cast<unsigned int>(sizeof stats);
        if (handle_ == nullptr || TrovelGetLineStats(handle_, &stats) == 0)
            return Result<LineStats>(detail::FailureTag{}, TROVEL_ERR_BAD_LINE, "TrovelGetLineStats", -1);
        return stats;
    }

#if TROVEL_HPP_EXCEPTIONS
    void SetTimeouts(std::chrono::milliseconds total, std::optional<std::chrono::milliseconds> gap = {})
    {
        TrySetTimeouts(total, gap).Check();
    }
    void SetRetries(int count) { TrySetRetries(count).Check(); }
    void SetLocalEcho(bool on) { TrySetLocalEcho(on).Check(); }
    void SetReplyMode(ReplyMode mode) { TrySetReplyMode(mode).Check(); }
    void SetRs485(int mode, int delayBeforeMs = 0, int delayAfterMs = 0)
    {
        TrySetRs485(mode, delayBeforeMs, delayAfterMs).Check();
    }
    void SetTrace(TraceFunction function) { TrySetTrace(std::move(function)).Check(); }
    LineStats Stats() const { return TryStats().Value(); }
#endif

private:
    Line(TrovelLine* handle, bool owned) noexcept : handle_(handle), owned_(owned) {}

    // Settings calls leave the thread's cause alone; 0 means a closed line or a value out of range.
    Result<void> Setting(int done, const char* call) const
    {
        if (done != 0)
            return {};
        return Result<void>(detail::FailureTag{}, handle_ == nullptr ? TROVEL_ERR_BAD_LINE : TROVEL_ERR_ARGUMENT, call,
                            -1);
    }

    TrovelLine* handle_ = nullptr; // never passed on when null: the library reads null as the default line
    bool owned_ = false;
    std::unique_ptr<detail::TraceSlot> trace_;
};

// ---- Library -------------------------------------------------------------------------------

// The version of the library actually loaded; TROVELSDK_VERSION_STRING is this header's.
inline std::string Version() { return TrovelVersion(); }

// The serial ports present: "COM3"; "/dev/ttyUSB0" and /dev/serial/by-id names.
inline std::vector<std::string> ListPorts()
{
    std::vector<char> buffer(4096);
    for (;;) {
        const int count = TrovelListPorts(buffer.data(), static_cast<int>(buffer.size()));
        std::vector<std::string> names;
        std::string name;
        for (const char* c = buffer.data(); *c != '\0'; ++c) {
            if (*c == '\n') {
                names.push_back(std::move(name));
                name.clear();
            } else {
                name += *c;
            }
        }
        if (!name.empty())
            names.push_back(std::move(name));
        if (static_cast<int>(names.size()) >= count)
            return names;
        buffer.resize(buffer.size() * 4);
    }
}

// One serial port with what the system tells about it (TrovelListPortsInfo): name is what
// Line opens; empty text and -1 where the system does not tell.
struct PortInfo {
    std::string name, description, manufacturer, serialNumber, location;
    int vendorId = -1, productId = -1; // USB VID and PID
    int latencyTimerMs = -1;           // how long the adapter holds received bytes
    int inUse = -1;                    // 1 held by another program, 0 not seen in use
};

inline std::vector<PortInfo> ListPortsInfo()
{
    for (int count = TrovelListPortsInfo(nullptr, 0); count > 0;) {
        std::vector<TrovelPortInfo> raw(static_cast<std::size_t>(count), TrovelPortInfo{});
        raw[0].size = sizeof(TrovelPortInfo);
        const int now = TrovelListPortsInfo(raw.data(), count);
        if (now > count) { // a port came meanwhile
            count = now;
            continue;
        }
        std::vector<PortInfo> ports;
        for (int i = 0; i < now; ++i) {
            const TrovelPortInfo& p = raw[static_cast<std::size_t>(i)];
            ports.push_back({p.name, p.description, p.manufacturer, p.serialNumber, p.location, p.vendorId, p.productId,
                             p.latencyTimerMs, p.inUse});
        }
        return ports;
    }
    return {};
}

} // namespace trovel

#endif // TROVEL_TROVEL_HPP
