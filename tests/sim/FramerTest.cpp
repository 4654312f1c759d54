// Cutting the byte stream into request frames, on made-up timestamps.

#include <gtest/gtest.h>

#include "sim/Framer.h"
#include "support/PtyPeer.h"

namespace {

using namespace trovel::sim;
using trovel::test::Bytes;
using trovel::test::Hex;
using std::chrono::microseconds;
using std::chrono::milliseconds;

const Bytes kRead = Hex("01 03 00 64 00 02 85 D4");
const Bytes kWriteMultiple = Hex("01 10 00 64 00 02 04 00 00 3F C0 E5 D4");

TEST(SimFramer, SplitsBackToBackFramesByTheLengthTheirFunctionImplies)
{
    RtuFramer framer;
    Bytes stream = kRead;
    stream.insert(stream.end(), kWriteMultiple.begin(), kWriteMultiple.end());
    stream.insert(stream.end(), kRead.begin(), kRead.begin() + 3);
    framer.Feed(stream, milliseconds(10));

    auto f = framer.Next(milliseconds(10));
    ASSERT_TRUE(f);
    EXPECT_EQ(f->bytes, kRead);
    f = framer.Next(milliseconds(10));
    ASSERT_TRUE(f);
    EXPECT_EQ(f->bytes, kWriteMultiple);
    EXPECT_TRUE(f->complete);
    EXPECT_FALSE(framer.Next(milliseconds(10))) << "three bytes are no frame yet";
    EXPECT_EQ(framer.Deadline(), milliseconds(10) + trovel::modbus::kInterFrameSilence);
}

TEST(SimFramer, AssemblesAFrameArrivingByteByByteAtLineSpeed)
{
    RtuFramer framer;
    Duration t = milliseconds(5);
    for (const auto b : kWriteMultiple) {
        EXPECT_FALSE(framer.Next(t));
        framer.Feed(std::span(&b, 1), t);
        t += microseconds(521);
    }
    const auto f = framer.Next(t);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->bytes, kWriteMultiple);
    EXPECT_FALSE(framer.Deadline());
}

TEST(SimFramer, SilenceEndsFragmentsAndFramesOfUnknownLength)
{
    RtuFramer framer;
    framer.Feed(std::span(kRead).first(5), milliseconds(1));
    // The rest arrives after a pause longer than 3.5 characters: a fragment, then a new start.
    framer.Feed(std::span(kRead).subspan(5), milliseconds(3));
    auto f = framer.Next(milliseconds(3));
    ASSERT_TRUE(f);
    EXPECT_FALSE(f->complete);
    EXPECT_EQ(f->bytes.size(), 5u);
    f = framer.Next(milliseconds(3) + trovel::modbus::kInterFrameSilence);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->bytes.size(), 3u); // the tail stands alone; its CRC check will fail

    // A function the framer cannot size ends when the line falls silent.
    RtuFramer unknown;
    const Bytes odd = Hex("01 2B 0E 01 00 11 22");
    unknown.Feed(odd, milliseconds(1));
    EXPECT_FALSE(unknown.Next(milliseconds(1) + microseconds(1000)));
    f = unknown.Next(milliseconds(1) + trovel::modbus::kInterFrameSilence);
    ASSERT_TRUE(f);
    EXPECT_TRUE(f->complete);
    EXPECT_EQ(f->bytes, odd);
}

TEST(SimFramer, ResyncDropsEverythingUntilTheLineFallsSilent)
{
    RtuFramer framer;
    framer.Feed(Hex("01 03 00 64 00 02 00 00"), milliseconds(1));
    ASSERT_TRUE(framer.Next(milliseconds(1)));
    framer.Resync();
    framer.Feed(kRead, milliseconds(2)); // still the same burst: dropped
    EXPECT_FALSE(framer.Next(milliseconds(2)));
    framer.Feed(kRead, milliseconds(10)); // after silence: a frame again
    const auto f = framer.Next(milliseconds(10));
    ASSERT_TRUE(f);
    EXPECT_EQ(f->bytes, kRead);
}

} // namespace
