// Why a call failed, the frame trace, and the settings and statistics of a line.

#include "TrovelSdk.h"
#include "api/Library.h"

using namespace trovel::api;
using trovel::line::Cause;

namespace {

// The causes are the host's error codes.
static_assert(static_cast<int>(Cause::NotOpen) == TROVEL_ERR_NOT_OPEN && static_cast<int>(Cause::Argument) == TROVEL_ERR_ARGUMENT &&
              static_cast<int>(Cause::BadLine) == TROVEL_ERR_BAD_LINE && static_cast<int>(Cause::NoDevice) == TROVEL_ERR_NO_DEVICE &&
              static_cast<int>(Cause::Busy) == TROVEL_ERR_BUSY && static_cast<int>(Cause::Permission) == TROVEL_ERR_PERMISSION &&
              static_cast<int>(Cause::NotSerial) == TROVEL_ERR_NOT_SERIAL && static_cast<int>(Cause::Connect) == TROVEL_ERR_CONNECT &&
              static_cast<int>(Cause::OpenFailed) == TROVEL_ERR_OPEN_FAILED && static_cast<int>(Cause::NoReply) == TROVEL_ERR_NO_REPLY &&
              static_cast<int>(Cause::ShortReply) == TROVEL_ERR_SHORT_REPLY && static_cast<int>(Cause::Crc) == TROVEL_ERR_CRC &&
              static_cast<int>(Cause::Mismatch) == TROVEL_ERR_MISMATCH && static_cast<int>(Cause::TwoFrames) == TROVEL_ERR_TWO_FRAMES &&
              static_cast<int>(Cause::Echo) == TROVEL_ERR_ECHO && static_cast<int>(Cause::DeviceGone) == TROVEL_ERR_DEVICE_GONE &&
              static_cast<int>(Cause::Internal) == TROVEL_ERR_INTERNAL && static_cast<int>(Cause::BadValue) == TROVEL_ERR_BAD_VALUE &&
              static_cast<int>(Cause::ExceptionBase) == TROVEL_ERR_EXCEPTION_BASE);

// Runs a setting on the line a handle names: 0 for a handle that is not open.
template <class Setting>
int OnLine(TrovelLine* handle, Setting&& setting) noexcept
{
    try {
        const LineRef line = Resolve(handle);
        return line && setting(*line) ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

} // namespace

extern "C" {

int TROVEL_CALL TrovelLastError(void) { return LastCause(); }

const char* TROVEL_CALL TrovelErrorText(int code) { return trovel::line::CauseText(code); }

int TROVEL_CALL TrovelSetTrace(TrovelLine* line, TrovelTraceFn fn, void* user)
{
    return OnLine(line, [&](Line& l) { l.SetTrace(fn, user); return true; });
}

int TROVEL_CALL TrovelSetTimeouts(TrovelLine* line, int totalMs, int gapMs)
{
    return OnLine(line, [&](Line& l) { return l.SetTimeouts(totalMs, gapMs); });
}

int TROVEL_CALL TrovelSetRetries(TrovelLine* line, int count)
{
    return OnLine(line, [&](Line& l) { return l.SetRetries(count); });
}

int TROVEL_CALL TrovelSetLocalEcho(TrovelLine* line, int on)
{
    return OnLine(line, [&](Line& l) { l.SetLocalEcho(on != 0); return true; });
}

int TROVEL_CALL TrovelSetReplyMode(TrovelLine* line, int mode)
{
    return OnLine(line, [&](Line& l) { return l.SetReplyMode(mode); });
}

int TROVEL_CALL TrovelGetLineStats(TrovelLine* line, TrovelLineStats* out)
{
    // The size field and at least one count must fit.
    constexpr unsigned int kSmallest = 2 * sizeof(unsigned int);
    if (out == nullptr || out->size < kSmallest)
        return 0;
    return OnLine(line, [&](Line& l) { l.ReadStats(*out); return true; });
}
}
