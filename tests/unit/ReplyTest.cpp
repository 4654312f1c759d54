// Reply acceptance: which received bytes answer which request.

#include <gtest/gtest.h>

#include "modbus/Reply.h"
#include "support/Hex.h"

namespace {

using namespace trovel::modbus;
using trovel::test::Bytes;
using trovel::test::Concat;
using trovel::test::Hex;
using trovel::test::WithCrc;

const Bytes kReadOne = Hex("01 03 00 C8 00 01 05 F4");
const Bytes kReadPair = Hex("01 03 00 64 00 02 85 D4");
const Bytes kWriteOne = Hex("01 06 00 C8 00 01 C9 F4");
const Bytes kWritePair = Hex("01 10 00 64 00 02 04 00 00 3F C0 E5 D4");
const Bytes kNewAddress = Hex("01 06 00 DC 00 02 C9 F1");
const Bytes kOneReply = Hex("01 03 02 00 01 79 84");

struct Case {
    const char* what;
    const Bytes& request;
    Bytes received;
    bool endedOnSilence;
    Judgement expected;
    std::uint8_t otherAddress = 0;
};

TEST(ReplyAcceptance, EachReplyIsJudgedAgainstItsOwnRequest)
{
    const Case cases[] = {
        {"the answer", kReadOne, kOneReply, true, Judgement::Accepted},
        {"nothing", kReadOne, {}, true, Judgement::NoReply},
        {"a truncated answer", kReadOne, Hex("01 03 02 00"), true, Judgement::Short},
        {"last CRC byte corrupted", kReadOne, Hex("01 03 02 00 01 79 85"), true, Judgement::BadCrc},
        {"first CRC byte corrupted", kReadOne, Hex("01 03 02 00 01 78 84"), true, Judgement::BadCrc},
        {"a data byte corrupted", kReadOne, Hex("01 03 02 00 03 79 84"), true, Judgement::BadCrc},
        {"another controller's reply", kReadOne, WithCrc(Hex("02 03 02 00 01")), true, Judgement::Mismatch},
        {"another function", kReadOne, WithCrc(Hex("01 04 02 00 01")), true, Judgement::Mismatch},
        {"a reply of two registers to a read of one", kReadOne, WithCrc(Hex("01 03 04 00 01 00 02")), true, Judgement::Mismatch},
        {"a reply of one register to a read of two", kReadPair, kOneReply, true, Judgement::Mismatch},
        {"an exception reply", kReadOne, WithCrc(Hex("01 83 02")), true, Judgement::Exception},
        {"another controller's exception", kReadOne, WithCrc(Hex("02 83 02")), true, Judgement::Mismatch},
        {"three bytes of noise behind", kReadOne, Concat(kOneReply, Hex("00 00 00")), true, Judgement::Accepted},
        {"noise cut by the total time-out", kReadOne, Concat(kOneReply, Hex("00")), false, Judgement::TwoFrames},
        {"four bytes behind", kReadOne, Concat(kOneReply, Hex("00 00 00 00")), true, Judgement::TwoFrames},
        {"a stale reply, then the answer", kReadOne, Concat(WithCrc(Hex("01 03 02 00 07")), kOneReply), true, Judgement::TwoFrames},
        {"the answer, then a stale reply", kReadOne, Concat(kOneReply, WithCrc(Hex("01 03 02 00 07"))), true, Judgement::TwoFrames},
        {"a write's echo", kWriteOne, kWriteOne, true, Judgement::Accepted},
        {"an echo of another value", kWriteOne, WithCrc(Hex("01 06 00 C8 00 02")), true, Judgement::Mismatch},
        {"an echo of another register", kWriteOne, WithCrc(Hex("01 06 00 CA 00 01")), true, Judgement::Mismatch},
        {"a read reply to a write", kWriteOne, WithCrc(Hex("01 03 04 00 01 00 02")), true, Judgement::Mismatch},
        {"a write-multiple reply", kWritePair, Hex("01 10 00 64 00 02 00 17"), true, Judgement::Accepted},
        {"a write-multiple reply of another pair", kWritePair, WithCrc(Hex("01 10 00 66 00 02")), true, Judgement::Mismatch},
        {"a write-multiple reply of another count", kWritePair, WithCrc(Hex("01 10 00 64 00 01")), true, Judgement::Mismatch},
        {"a new address answers", kNewAddress, WithCrc(Hex("02 06 00 DC 00 02")), true, Judgement::Accepted, 2},
        {"the old address answers", kNewAddress, kNewAddress, true, Judgement::Accepted, 2},
        {"a third address answers", kNewAddress, WithCrc(Hex("03 06 00 DC 00 02")), true, Judgement::Mismatch, 2},
        {"a broadcast never gets its echo", Hex("00 06 00 0E 00 01 28 18"), Hex("01 06 00 0E 00 01 29 C9"), true,
         Judgement::Mismatch},
    };
    for (const auto& c : cases) {
        const Verdict verdict = JudgeReply(ReplyRule(c.request, c.otherAddress), c.received, c.endedOnSilence);
        EXPECT_EQ(verdict.judgement, c.expected) << c.what;
    }
    EXPECT_EQ(JudgeReply(ReplyRule(kReadOne), WithCrc(Hex("01 83 02")), true).exceptionCode, 2);
}

TEST(ReplyAcceptance, AnAnswerIsCompleteOnlyWhenItsLastByteHasCome)
{
    const ReplyRule rule(kReadOne);
    EXPECT_EQ(AnswerArrived(rule, kOneReply), 7u);
    EXPECT_EQ(AnswerArrived(rule, Concat(kOneReply, Hex("00"))), 7u);
    EXPECT_EQ(AnswerArrived(rule, WithCrc(Hex("01 83 02"))), 5u);
    EXPECT_FALSE(AnswerArrived(rule, Hex("01 03 02 00 01 79")));
    EXPECT_FALSE(AnswerArrived(rule, WithCrc(Hex("02 03 02 00 01")))) << "another controller's reply";
    EXPECT_FALSE(AnswerArrived(rule, Hex("01 03 02 00 01 79 85"))) << "a corrupted CRC";
}

} // namespace
