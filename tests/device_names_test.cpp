// From a drive letter to a device id, and from a device id to the name the
// operator knows: registry data that is odd, long or not what it claims.
#include <cstring>
#include <string>

#include "disk/device_ejector.h"
#include "disk/device_names.h"
#include "disk/mounted_device.h"
#include "tests/support/sim_fixture.h"

namespace {

const char kMounted[] = "SYSTEM\\MountedDevices";

class DeviceNamesTest : public SimTest {
 protected:
  void mount(const std::string& valueName, const std::string& data,
             pf::DWORD type = pf::REG_BINARY) {
    machine().setValue(kMounted, valueName, type, data);
  }
  // The id that drive F: yields for a record, or "<none>".
  std::string idOfF(const std::string& data, pf::DWORD type = pf::REG_BINARY) {
    mount("\\DosDevices\\F:", data, type);
    char id[kDeviceIdSize];
    std::memset(id, 'x', sizeof id);
    if (!mountedDeviceId("F:", id, sizeof id))
      return id[0] == '\0' ? "<none>" : "<none, buffer left dirty>";
    return id;
  }
  std::string name(const std::string& deviceId, std::size_t capacity = 512) {
    std::string buffer(capacity + 8, 'x');
    int found = deviceDisplayName(deviceId.c_str(), &buffer[0],
                                                 capacity);
    if (buffer[capacity] != 'x') return "<overrun>";
    return found ? buffer.c_str() : "<none>";
  }
};

TEST_F(DeviceNamesTest, TheInterfaceNameOfAVolumeGivesItsInstanceId) {
  EXPECT_EQ("STORAGE\\RemovableMedia\\7&1a2b3c&0&RM",
            idOfF(sim::utf16le("\\??\\STORAGE#RemovableMedia#7&1a2b3c&0&RM#"
                               "{53f5630d-b6bf-11d0-94f2-00a0c91efb8b}")));
  // Only "#{" ends the id; a lone '{' does too; a '#' at the very end is a
  // separator like any other.
  EXPECT_EQ("A\\B\\C", idOfF(sim::utf16le("\\??\\A#B#C#{x}#D")));
  EXPECT_EQ("A\\B", idOfF(sim::utf16le("\\??\\A#B{C#D")));
  EXPECT_EQ("AB\\", idOfF(sim::utf16le("\\??\\AB#")));
  // A brace straight after the prefix: a drive with an empty id.
  EXPECT_EQ("", idOfF(sim::utf16le("\\??\\{53f5630d-b6bf-11d0-94f2}")));
  // The high byte of each unit is not part of the character; an odd last
  // byte is no unit.
  std::string wide = sim::utf16le("\\??\\AB");
  wide[9] = '\x01';
  EXPECT_EQ("AB", idOfF(wide + "C"));
}

TEST_F(DeviceNamesTest, AnIdLongerThanTheBufferIsCutAndTerminated) {
  mount("\\DosDevices\\F:", sim::utf16le("\\??\\ABCDEFGHIJ#KLM#{guid}"));
  char id[16];
  std::memset(id, 'x', sizeof id);
  ASSERT_EQ(1, mountedDeviceId("F:", id, 8));
  EXPECT_STREQ("ABCDEFG", id);
  EXPECT_EQ('x', id[8]);

  std::memset(id, 'x', sizeof id);
  ASSERT_EQ(1, mountedDeviceId("F:", id, 1));
  EXPECT_EQ('\0', id[0]);
  EXPECT_EQ('x', id[1]);
}

TEST_F(DeviceNamesTest, RecordsThatAreNoInterfaceNameGiveNoId) {
  char id[8];
  EXPECT_EQ(0, mountedDeviceId("F:", id, sizeof id));  // no MountedDevices key at all
  EXPECT_EQ("<none>", idOfF(""));  // the key exists, the drive has no value
  // A fixed disk: signature and partition offset.
  EXPECT_EQ("<none>", idOfF(std::string("\x12\x34\x56\x78\x00\x7e\x00\x00"
                                        "\x00\x00\x00\x00", 12)));
  EXPECT_EQ("<none>", idOfF(sim::utf16le("\\??")));
  EXPECT_EQ("<none>", idOfF(sim::utf16le("\\\\?\\A#B")));
  EXPECT_EQ("<none>", idOfF(sim::utf16le("\\??\\A#B") + std::string(1, '\0'),
                            pf::REG_SZ));
  // 1024 bytes are read, one unit more is refused.
  std::string filled = sim::utf16le("\\??\\" + std::string(508, 'A'));
  ASSERT_EQ(1024u, filled.size());
  EXPECT_EQ(std::string(508, 'A'), idOfF(filled));
  EXPECT_EQ("<none>", idOfF(filled + sim::utf16le("A")));
}

TEST_F(DeviceNamesTest, AnOverlongDriveNameIsCutToTheValueNameLimit) {
  std::string drive(400, 'Q');
  // "\DosDevices\" is 12 characters; 255 in all.
  mount("\\DosDevices\\" + std::string(243, 'Q'), sim::utf16le("\\??\\X#{g}"));
  char id[8];
  EXPECT_EQ(1, mountedDeviceId(drive.c_str(), id, sizeof id));
  EXPECT_STREQ("X", id);
}

TEST_F(DeviceNamesTest, WantedNamesMatchCaseInsensitivelyWithATrailingStar) {
  struct Case {
    const char* wanted;
    const char* candidate;
    int match;
  } cases[] = {
      {"USBSTOR*", "usbstor\\disk&ven_x\\1", 1},
      {"USBSTOR*", "USBSTO", 0},
      {"ABC*", "ABC", 1},
      {"ABC", "ABCD", 0},
      {"ABCD", "ABC", 0},
      {"abc", "ABC", 1},
      {"A*C", "AXYZ", 1},  // the star takes the rest, whatever follows it
      {"", "", 1},
      {"", "A", 0},
      {"*", "", 1},
      {"AB", "AC", 0},
  };
  for (const Case& c : cases)
    EXPECT_EQ(c.match, matchDeviceName(c.wanted, c.candidate))
        << c.wanted << " / " << c.candidate;
}

TEST_F(DeviceNamesTest, TheFriendlyNameComesFirstThenTheDescription) {
  sim::setDeviceNames(machine(), "USB\\A\\1", "Stick", "Mass storage");
  sim::setDeviceNames(machine(), "USB\\B\\1", "", "Mass storage");
  machine().addKey("SYSTEM\\CurrentControlSet\\Enum\\USB\\C\\1");
  EXPECT_EQ("Stick", name("USB\\A\\1"));
  EXPECT_EQ("Mass storage", name("usb\\b\\1"));
  EXPECT_EQ("<none>", name("USB\\C\\1"));
  EXPECT_EQ("<none>", name("USB\\D\\1"));
  EXPECT_EQ("<none>", name(""));
  // A friendly name of the wrong type is not passed over for the
  // description.
  machine().setValue("SYSTEM\\CurrentControlSet\\Enum\\USB\\A\\1",
                     "FriendlyName", pf::REG_BINARY, "Stick");
  EXPECT_EQ("<none>", name("USB\\A\\1"));
}

TEST_F(DeviceNamesTest, ALongOrUnterminatedNameStaysInsideTheBuffer) {
  const std::string key = "SYSTEM\\CurrentControlSet\\Enum\\USB\\A\\1";
  machine().setValue(key, "FriendlyName", pf::REG_SZ,
                     std::string(1000, 'n') + '\0');
  EXPECT_EQ(std::string(511, 'n'), name("USB\\A\\1"));
  EXPECT_EQ("nnn", name("USB\\A\\1", 4));

  // Exactly the 1024 bytes offered, without a terminator.
  machine().setValue(key, "FriendlyName", pf::REG_SZ, std::string(1024, 'm'));
  EXPECT_EQ(std::string(1024, 'm'), name("USB\\A\\1", 2000));
  machine().setValue(key, "FriendlyName", pf::REG_SZ, "abc");
  EXPECT_EQ("abc", name("USB\\A\\1"));

  // Too long to be read at all: the description is asked for instead.
  machine().setValue(key, "FriendlyName", pf::REG_SZ, std::string(1025, 'l'));
  machine().setValue(key, "DeviceDesc", pf::REG_SZ, std::string("Disk\0x", 6));
  EXPECT_EQ("Disk", name("USB\\A\\1"));

  // A key path beyond 1023 characters is cut, so it names no key.
  EXPECT_EQ("<none>", name(std::string(2000, 'k')));
}

}  // namespace
