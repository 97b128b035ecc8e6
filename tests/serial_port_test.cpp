// The serial port object on the simulated machine: line settings, open
// results, and a closed port's quiet answers.
#include "serial/serial_port.h"
#include "tests/support/sim_fixture.h"

namespace {

class SerialPortTest : public SimTest {};

TEST_F(SerialPortTest, OpenSetsTheLineWithoutFlowControlOrTimeOuts) {
  sim::SimPort& com = machine().addPort("COM3");
  SerialPort port;
  ASSERT_EQ(OpenOk, port.open("COM3", 9600, 0));
  EXPECT_STREQ("\\\\.\\COM3", port.devicePath);
  EXPECT_TRUE(com.isOpen);
  EXPECT_EQ(0u, com.lastMask);
  EXPECT_EQ(0u, com.lastTimeouts.ReadIntervalTimeout +
                    com.lastTimeouts.ReadTotalTimeoutConstant +
                    com.lastTimeouts.ReadTotalTimeoutMultiplier +
                    com.lastTimeouts.WriteTotalTimeoutConstant +
                    com.lastTimeouts.WriteTotalTimeoutMultiplier);
  const pf::DCB& dcb = com.lastDcb;
  EXPECT_EQ(9600u, dcb.BaudRate);
  EXPECT_EQ(8u, dcb.ByteSize);
  EXPECT_EQ(pf::ONESTOPBIT, dcb.StopBits);
  // No handshake line is raised and no flow control is on.
  EXPECT_EQ(0u, dcb.fOutxCtsFlow + dcb.fOutxDsrFlow + dcb.fDtrControl +
                    dcb.fDsrSensitivity + dcb.fOutX + dcb.fInX + dcb.fRtsControl +
                    dcb.fAbortOnError);

  // A device path is used as it is, and reopening closes the old handle.
  ASSERT_EQ(OpenOk, port.open("\\\\.\\COM3", 115200, 2));
  EXPECT_EQ(2, com.opens);
  EXPECT_EQ(pf::EVENPARITY, com.lastDcb.Parity);
  EXPECT_EQ(1u, com.lastDcb.fParity);
  EXPECT_EQ(pf::ODDPARITY, buildDcb(9600, 1).Parity);
  EXPECT_EQ(1u, buildDcb(9600, 1).fParity);
  EXPECT_EQ(pf::NOPARITY, buildDcb(9600, 7).Parity);
}

TEST_F(SerialPortTest, EachFailingStepHasItsResultAndLeavesThePortClosed) {
  sim::SimPort& com = machine().addPort("COM4");
  SerialPort port;
  EXPECT_EQ(CreateFailed, port.open("COM9", 9600, 0));

  com.createFails = true;
  EXPECT_EQ(CreateFailed, port.open("COM4", 19200, 1));
  EXPECT_EQ(0, port.baud);  // only a handle makes the settings stick
  com.createFails = false;

  com.maskFails = true;
  EXPECT_EQ(MaskFailed, port.open("COM4", 19200, 1));
  EXPECT_EQ(19200, port.baud);
  EXPECT_FALSE(com.isOpen);
  com.timeoutsFails = true;
  EXPECT_EQ(TimeoutsFailed, port.open("COM4", 19200, 0));  // the last failure
  com.stateFails = true;
  EXPECT_EQ(StateFailed, port.open("COM4", 19200, 0));
  com.maskFails = com.timeoutsFails = false;
  EXPECT_EQ(StateFailed, port.open("COM4", 19200, 0));
  EXPECT_FALSE(com.isOpen);
  // All three steps are tried even after the first one failed.
  EXPECT_EQ(4, machine().calls(sim::Call::SetCommState));

  com.stateFails = false;
  ASSERT_EQ(OpenOk, port.open("COM4", 9600, 0));
  EXPECT_EQ(NoName, port.open(nullptr, 9600, 0));
  EXPECT_FALSE(com.isOpen);
  EXPECT_STREQ("\\\\.\\COM4", port.devicePath);
}

TEST_F(SerialPortTest, ANameThatDoesNotFitIsRefusedNotCut) {
  std::string name35(35, 'C');
  std::string name36(36, 'C');
  machine().addPort(name35);
  machine().addPort(name36.substr(0, 35));
  SerialPort port;
  EXPECT_EQ(OpenOk, port.open(name35.c_str(), 9600, 0));
  EXPECT_EQ(CreateFailed, port.open(name36.c_str(), 9600, 0));
  std::string path40 = "\\\\.\\" + name36;
  EXPECT_EQ(CreateFailed, port.open(path40.c_str(), 9600, 0));
  EXPECT_EQ(1, machine().calls(sim::Call::CreateFileA));
}

TEST_F(SerialPortTest, AClosedPortDoesNothingAndAnswersZero) {
  machine().addPort("COM1");
  SerialPort port;
  char buffer[4] = {'k', 'k', 'k', 'k'};
  port.write("abc", 3);
  port.writeByte('x');
  EXPECT_EQ(0, port.read(buffer, 4));
  EXPECT_EQ('k', buffer[0]);
  EXPECT_EQ(0, port.readByte());
  EXPECT_EQ(0, port.bytesWaiting());
  port.sendBreak();
  port.close();
  EXPECT_EQ(0, machine().nowUs());
  EXPECT_EQ(0, machine().calls(sim::Call::WriteFile) +
                   machine().calls(sim::Call::ReadFile) +
                   machine().calls(sim::Call::SetCommBreak));
}

TEST_F(SerialPortTest, AReadWaitsForEveryByteItAsksFor) {
  sim::SimPort& com = machine().addPort("COM2");
  SerialPort port;
  ASSERT_EQ(OpenOk, port.open("COM2", 115200, 0));
  com.deliver("ab", 0);
  com.deliver("cde", 40000);
  EXPECT_EQ(2, port.bytesWaiting());
  char buffer[6] = {};
  EXPECT_EQ(5, port.read(buffer, 5));
  EXPECT_STREQ("abcde", buffer);
  EXPECT_EQ(40000, machine().nowUs());
  com.deliver("\xff", machine().nowUs());
  EXPECT_EQ(-1, port.readByte());  // bytes above 0x7F come out negative
}

TEST_F(SerialPortTest, AnUnpluggedAdapterIsRememberedUntilTheNextOpen) {
  sim::SimPort& com = machine().addPort("COM2");
  SerialPort port;
  ASSERT_EQ(OpenOk, port.open("COM2", 115200, 0));
  com.deliver("ab", 0);
  EXPECT_EQ('a', port.readByte());
  EXPECT_FALSE(port.failed());
  com.gone = true;
  EXPECT_EQ(0, port.bytesWaiting());
  EXPECT_TRUE(port.failed());
  // The dead handle is not asked again, and a blocking read returns.
  int reads = machine().calls(sim::Call::ReadFile);
  char buffer[4] = {};
  EXPECT_EQ(0, port.read(buffer, 4));
  EXPECT_EQ(0, port.readByte());
  port.write("x", 1);
  EXPECT_EQ(reads, machine().calls(sim::Call::ReadFile));
  EXPECT_EQ(0, machine().calls(sim::Call::WriteFile));

  // A failed write counts as well; reopening starts afresh.
  com.gone = false;
  ASSERT_EQ(OpenOk, port.open("COM2", 115200, 0));
  EXPECT_FALSE(port.failed());
  machine().failNth(sim::Call::WriteFile, 1);
  port.writeByte('y');
  EXPECT_TRUE(port.failed());
  // Nor is a byte taken from a failed read.
  ASSERT_EQ(OpenOk, port.open("COM2", 115200, 0));
  machine().failNth(sim::Call::ReadFile, 1);
  EXPECT_EQ(0, port.readByte());
}

}  // namespace
