#include "line/Receive.h"

namespace trovel::line {

Received ReceiveReply(device::Device& device, std::span<std::uint8_t, kReplyBufferSize> into,
                      const ReceiveRule& rule) noexcept
{
    const auto total = util::Deadline::After(rule.total);
    auto until = total;
    Received got;
    while (got.count < into.size()) {
        const device::Io io = device.ReadSome(into.subspan(got.count), until);
        if (io.gone) {
            got.gone = true;
            break;
        }
        if (io.count == 0) {
            got.endedOnSilence = got.count > 0 && until.When() < total.When();
            break;
        }
        got.count += io.count;
        got.lastByteAt = util::MonoClock::now();
        // Only an answer with nothing behind it ends on the short silence; anything after
        // it is waited out with the gap, so that a second frame is seen whole.
        bool answered = false;
        if (rule.answer != nullptr && got.count > rule.echo) {
            const auto answer = modbus::AnswerArrived(*rule.answer, std::span(into).subspan(rule.echo, got.count - rule.echo));
            answered = answer && rule.echo + *answer == got.count;
        }
        until = util::Deadline::After(answered ? rule.afterAnswer : rule.gap).EarlierOf(total);
    }
    return got;
}

} // namespace trovel::line
