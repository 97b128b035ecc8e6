// The one connection to the module: a thin object around a communications
// handle. It neither logs nor buffers; the traffic primitives build on it.
#ifndef VANTOR_SERIAL_SERIAL_PORT_H
#define VANTOR_SERIAL_SERIAL_PORT_H

#include <cstddef>

#include "platform/platform.h"

enum OpenResult {
  OpenOk = 0,
  MaskFailed = 1,
  TimeoutsFailed = 2,
  StateFailed = 4,
  CreateFailed = 8,
  NoName = 16,
};

constexpr std::size_t kDevicePathSize = 40;

struct SerialPort {
  char devicePath[kDevicePathSize] = {};
  int baud = 0;
  int parityMode = 0;
  pf::HANDLE handle = pf::INVALID_HANDLE_VALUE;
  // Set when the open handle refused a transfer or a status query, which
  // happens when the USB-serial adapter is unplugged. It stays set until
  // the next open: a dead handle never comes back.
  bool broken = false;

  SerialPort() = default;
  SerialPort(const SerialPort&) = delete;
  SerialPort& operator=(const SerialPort&) = delete;

  // Opens by port name (COM3) or device path (\\.\COM3) at 8 data bits, one
  // stop bit and the given parity, every flow control off, no time-outs.
  int open(const char* name, int baudRate, int parity);
  void close();
  void write(const void* bytes, std::size_t count);
  void writeByte(unsigned char byte);
  // Waits until all count bytes have arrived; the number read. A port that
  // has failed reads nothing.
  int read(void* buffer, std::size_t count);
  // The byte read as a signed 8-bit value widened to int; 0 from a port
  // that has failed.
  int readByte();
  // 0 from a port that has failed, so that no wait keeps taking bytes that
  // are not there.
  int bytesWaiting();
  // Holds the line in the break state for 375 ms.
  void sendBreak();
  bool isOpen() const { return handle != pf::INVALID_HANDLE_VALUE; }
  bool failed() const { return broken; }
  // Takes over the open handle and settings of another port object, which
  // is left closed.
  void adopt(SerialPort& other);
};

// The device control block that open() configures.
pf::DCB buildDcb(int baudRate, int parity);

#endif
