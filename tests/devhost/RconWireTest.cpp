#include <gtest/gtest.h>

#include "RconWire.h"

namespace devhost::rcon {
namespace {

class RconWire : public ::testing::Test {
 protected:
  static std::string Bytes(std::initializer_list<int> values) {
    std::string out;
    for (int value : values) out.push_back(static_cast<char>(value));
    return out;
  }
};

TEST_F(RconWire, EncodesLittleEndianWithBothTerminators) {
  EXPECT_EQ(Encode(-1, 2, "ok"),
            Bytes({12, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 2, 0, 0, 0, 'o', 'k', 0, 0}));
}

TEST_F(RconWire, DecodesWholePacketsAndWaitsForTheRest) {
  std::string buffer = Encode(7, 2, "Veltrane.Reload") + Encode(8, 2, "");
  const std::string second_half = buffer.substr(buffer.size() - 5);
  buffer.resize(buffer.size() - 5);
  const std::optional<Packet> first = Decode(buffer);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->id, 7);
  EXPECT_EQ(first->type, 2);
  EXPECT_EQ(first->body, "Veltrane.Reload");
  EXPECT_EQ(first->size, 25);
  EXPECT_FALSE(Decode(buffer));
  buffer += second_half;
  const std::optional<Packet> second = Decode(buffer);
  ASSERT_TRUE(second);
  EXPECT_EQ(second->id, 8);
  EXPECT_EQ(second->body, "");
  EXPECT_TRUE(buffer.empty());
}

TEST_F(RconWire, RefusesSizesOutsideTheProtocol) {
  std::string too_long = Bytes({0x0B, 0x10, 0, 0});  // 4107: one byte of body too many
  EXPECT_THROW(Decode(too_long), std::runtime_error);
  std::string negative = Bytes({0xFF, 0xFF, 0xFF, 0xFF});
  EXPECT_THROW(Decode(negative), std::runtime_error);
  std::string too_short = Bytes({9, 0, 0, 0});
  EXPECT_THROW(Decode(too_short), std::runtime_error);
  std::string largest = Encode(1, 2, std::string(kMaxBody, 'x'));
  EXPECT_TRUE(Decode(largest));
}

TEST_F(RconWire, RefusesAPacketWithoutItsClosingZero) {
  std::string packet = Encode(1, 2, "abc");
  packet.back() = 'x';
  EXPECT_THROW(Decode(packet), std::runtime_error);
}

TEST_F(RconWire, BodyEndsAtItsZero) {
  std::string packet = Bytes({13, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 'a', 0, 'b', 0, 0});
  EXPECT_EQ(Decode(packet)->body, "a");
}

}  // namespace
}  // namespace devhost::rcon
