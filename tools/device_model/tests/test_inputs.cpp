#include <gtest/gtest.h>

#include "devmodel/inputs.h"
#include "devmodel/uucode.h"

namespace devmodel {
namespace {

TEST(Uuencode, RoundTripsAroundLineAndGroupBoundaries) {
  // Standard text, so that files made by other tools decode the same way.
  EXPECT_EQ(uuencode(asBytes("Cat"), "c.txt"), "begin 644 c.txt\n#0V%T\n`\nend\n");
  for (size_t n : {0u, 1u, 2u, 3u, 44u, 45u, 46u, 90u, 1000u}) {
    Bytes data = randomBytes(n, static_cast<uint32_t>(n));
    std::string text = uuencode(data, "x");
    EXPECT_EQ(uudecode(text), data) << n;
    // Windows tools write CR LF.
    std::string crlf;
    for (char c : text) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    EXPECT_EQ(uudecode(crlf), data) << n;
  }
  // Some encoders drop trailing blanks, which encode zero bits.
  EXPECT_EQ(uudecodeLine("\""), (Bytes{0, 0}));
  EXPECT_FALSE(uudecodeLine("Mz"));
}

}  // namespace
}  // namespace devmodel
