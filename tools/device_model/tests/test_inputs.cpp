#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>

#include "devmodel/inputs.h"
#include "devmodel/rom_records.h"
#include "devmodel/uucode.h"

namespace devmodel {
namespace {

TEST(Uuencode, KnownTextAndFraming) {
  EXPECT_EQ(uuencode(asBytes("Cat"), "c.txt"), "begin 644 c.txt\n#0V%T\n`\nend\n");
  EXPECT_EQ(uuencode({}, "empty"), "begin 644 empty\n`\nend\n");
}

TEST(Uuencode, RoundTripsAroundLineAndGroupBoundaries) {
  for (size_t n : {1u, 2u, 3u, 44u, 45u, 46u, 90u, 1000u}) {
    Bytes data = randomBytes(n, static_cast<uint32_t>(n));
    std::string text = uuencode(data, "x");
    auto back = uudecode(text);
    ASSERT_TRUE(back) << n;
    EXPECT_EQ(*back, data) << n;
    // Windows tools write CR LF.
    std::string crlf;
    for (char c : text) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    EXPECT_EQ(uudecode(crlf), data) << n;
  }
}

TEST(Uuencode, DecodingToleratesStrippedBlanksAndRejectsJunk) {
  // "  " encodes zero bits; some encoders drop trailing blanks.
  EXPECT_EQ(uudecodeLine("\"    "), (Bytes{0, 0}));
  EXPECT_EQ(uudecodeLine("\""), (Bytes{0, 0}));
  EXPECT_FALSE(uudecodeLine("Mz"));
  EXPECT_FALSE(uudecodeLine(""));
  std::string err;
  EXPECT_FALSE(uudecode("begin 644 x\n#0V%T\n", &err));
  EXPECT_EQ(err, "no end line");
}

TEST(RomRecords, ParseChecksLengthAgainstControlByte) {
  auto r = parseRecord("0021b000c4e7400402");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->address, 0x0021B000u);
  EXPECT_EQ(r->count(), 4u);
  EXPECT_FALSE(r->readBack());
  EXPECT_EQ(r->data, (Bytes{0xE7, 0x40, 0x04, 0x02}));
  EXPECT_EQ(r->text, kPartialEchoRecord);

  auto rb = parseRecord("0871000022");
  ASSERT_TRUE(rb);
  EXPECT_TRUE(rb->readBack());
  EXPECT_TRUE(rb->data.empty());

  EXPECT_FALSE(parseRecord("0021B000C4E74004"));    // short
  EXPECT_FALSE(parseRecord("0021B000C4E740040200"));  // long
  EXPECT_FALSE(parseRecord("0021B00GC4E7400402"));  // not hex
}

TEST(RomRecords, GeneratedLoaderHasEverythingTheUtilityMeets) {
  std::string text = makeRomLoaderText(20, 3);
  EXPECT_EQ(text[0], '#');
  RomLoaderFile file = parseRomLoaderText(text);
  EXPECT_TRUE(file.errors.empty());
  ASSERT_EQ(file.records.size(), 22u);
  EXPECT_EQ(file.records[20].text, kPartialEchoRecord);
  EXPECT_EQ(file.records[21].text, kEndRecord);
  int readBacks = 0;
  for (int i = 0; i < 20; ++i) {
    const auto& r = file.records[static_cast<size_t>(i)];
    EXPECT_FALSE(r.readBack());
    EXPECT_GT(r.count(), 0u);
    if (r.text.find("0871") != std::string::npos) ++readBacks;
    EXPECT_EQ(r.text.find(kEndRecord), std::string::npos);
  }
  EXPECT_GE(readBacks, 5);
  EXPECT_EQ(text, makeRomLoaderText(20, 3));  // reproducible
  EXPECT_NE(text, makeRomLoaderText(20, 4));
}

TEST(Inputs, WritesTheFourFilesConsistently) {
  char dir[] = "/tmp/devmodel_inputs.XXXXXX";
  ASSERT_TRUE(mkdtemp(dir));
  InputSizes sizes;
  sizes.records = 5;
  sizes.bootLoader = 100;
  sizes.kernel = 200;
  sizes.ramdisk = 300;
  InputSet set = makeInputs(sizes, 9);
  std::string error;
  ASSERT_TRUE(writeInputs(dir, set, &error)) << error;
  std::string d = dir;
  EXPECT_EQ(readFile(d + "/blob-bootloader.txt"), set.romLoaderText);
  EXPECT_EQ(uudecode(*readFile(d + "/blob.uue")), set.bootLoader);
  EXPECT_EQ(readFile(d + "/zImage")->size(), 200u);
  EXPECT_EQ(asBytes(*readFile(d + "/cramfs.img")), set.ramdisk);
  std::error_code ec;
  std::filesystem::remove_all(d, ec);
}

}  // namespace
}  // namespace devmodel
