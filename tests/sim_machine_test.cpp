// The simulated machine that the other tests stand on: if it lies, they all
// do. A wait that can never end, and the Windows semantics the program
// relies on.
#include "tests/support/sim_fixture.h"

namespace {

// Its threads and hung opens are what the discovery tests stand on, and
// are checked there.
using SimMachineTest = SimTest;

TEST_F(SimMachineTest, AWaitThatCanNeverEndStopsTheSimulation) {
  machine().addPort("COM1");
  pf::HANDLE h = pf::CreateFileA("\\\\.\\COM1", 0, 0, nullptr, 0, 0, nullptr);
  char byte;
  pf::DWORD got;
  EXPECT_THROW(pf::ReadFile(h, &byte, 1, &got, nullptr), sim::SimulationStopped);

  machine().horizonUs = 1000000;
  EXPECT_THROW(for (;;) pf::Sleep(5), sim::SimulationStopped);
}

TEST_F(SimMachineTest, TextFilesTranslateLineEndsLikeTheWindowsRuntime) {
  FILE* out = pf::fopen("t.txt", "w");
  std::fputs("one\ntwo\n", out);
  std::fclose(out);
  EXPECT_EQ("one\r\ntwo\r\n", machine().readFile("t.txt"));

  machine().writeFile("in.txt", std::string("a\r\nb\rc\n\x1A" "after", 12));
  FILE* in = pf::fopen("in.txt", "r");
  char line[16];
  ASSERT_NE(nullptr, std::fgets(line, sizeof line, in));
  EXPECT_STREQ("a\n", line);
  ASSERT_NE(nullptr, std::fgets(line, sizeof line, in));
  EXPECT_STREQ("b\rc\n", line);
  EXPECT_EQ(nullptr, std::fgets(line, sizeof line, in));  // Ctrl-Z ends it
  std::rewind(in);
  ASSERT_NE(nullptr, std::fgets(line, sizeof line, in));
  EXPECT_STREQ("a\n", line);
  std::fclose(in);

  FILE* binary = pf::fopen("in.txt", "rb");
  ASSERT_NE(nullptr, std::fgets(line, sizeof line, binary));
  EXPECT_STREQ("a\r\n", line);
  std::fclose(binary);
}

TEST_F(SimMachineTest, ProfileReadsFollowWindows) {
  machine().writeFile("C:\\work\\x.ini",
                      "[Sec]\nname = \"quoted value\"\nnum= 0x1F \nneg=-5\n"
                      "word=abc\nlong=123456789012345678901234567890123\n");
  const char* ini = "C:\\work\\x.ini";
  char buffer[8];
  EXPECT_EQ(7u, pf::GetPrivateProfileStringA("SEC", "NAME", "d", buffer,
                                             sizeof buffer, ini));
  EXPECT_STREQ("quoted ", buffer);
  EXPECT_EQ(1u, pf::GetPrivateProfileStringA("sec", "missing", "d  ", buffer,
                                             sizeof buffer, ini));
  EXPECT_STREQ("d", buffer);
  EXPECT_EQ(31u, pf::GetPrivateProfileIntA("sec", "num", 3, ini));
  EXPECT_EQ(-5, static_cast<int>(pf::GetPrivateProfileIntA("sec", "neg", 3, ini)));
  EXPECT_EQ(0u, pf::GetPrivateProfileIntA("sec", "word", 3, ini));
  EXPECT_EQ(3u, pf::GetPrivateProfileIntA("sec", "none", 3, ini));
  EXPECT_EQ(3u, pf::GetPrivateProfileIntA("sec", "num", 3, "C:\\work\\no.ini"));
}

TEST_F(SimMachineTest, RegistryEnumerationAsksForRoomLikeWindows) {
  machine().setValue("HARDWARE\\DEVICEMAP\\SERIALCOMM", "\\Device\\Serial0",
                     pf::REG_SZ, std::string("COM1\0", 5));
  pf::HKEY key;
  ASSERT_EQ(pf::ERROR_SUCCESS,
            pf::RegOpenKeyExA(pf::HKEY_LOCAL_MACHINE,
                              "hardware\\devicemap\\serialcomm", 0,
                              pf::KEY_READ, &key));
  char name[4];
  pf::BYTE data[2];
  pf::DWORD nameLength = sizeof name, dataLength = sizeof data;
  EXPECT_EQ(pf::ERROR_MORE_DATA,
            pf::RegEnumValueA(key, 0, name, &nameLength, nullptr, nullptr,
                              data, &dataLength));
  char bigName[32];
  nameLength = sizeof bigName;
  EXPECT_EQ(pf::ERROR_MORE_DATA,
            pf::RegEnumValueA(key, 0, bigName, &nameLength, nullptr, nullptr,
                              data, &dataLength));
  EXPECT_EQ(5u, dataLength);
  EXPECT_EQ(pf::ERROR_NO_MORE_ITEMS,
            pf::RegEnumValueA(key, 1, bigName, &nameLength, nullptr, nullptr,
                              data, &dataLength));
  pf::RegCloseKey(key);
}

}  // namespace
