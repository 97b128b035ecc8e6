#include "serial/serial_port.h"

#include <cstdio>
#include <cstring>

namespace {
const pf::DWORD kBreakMs = 375;
}

pf::DCB buildDcb(int baudRate, int parity) {
  pf::DCB dcb;
  std::memset(&dcb, 0, sizeof dcb);
  dcb.DCBlength = sizeof dcb;
  dcb.BaudRate = static_cast<pf::DWORD>(baudRate);
  dcb.fBinary = 1;
  bool parityOn = parity == 1 || parity == 2;
  dcb.fParity = parityOn ? 1 : 0;
  dcb.fDtrControl = pf::DTR_CONTROL_DISABLE;
  dcb.fRtsControl = pf::RTS_CONTROL_DISABLE;
  // Every flow control is off, so the limits and characters of XON/XOFF
  // below take no effect; they are filled in all the same.
  dcb.XonLim = 2;
  dcb.XoffLim = 4;
  dcb.ByteSize = 8;
  dcb.Parity = parity == 1   ? pf::ODDPARITY
               : parity == 2 ? pf::EVENPARITY
                             : pf::NOPARITY;
  dcb.StopBits = pf::ONESTOPBIT;
  dcb.XonChar = 0x13;
  dcb.XoffChar = 0x19;
  return dcb;
}

int SerialPort::open(const char* name, int baudRate, int parity) {
  close();
  broken = false;
  if (name == nullptr) return NoName;
  // A path that does not fit is refused rather than cut: a cut path could
  // name another device.
  char path[kDevicePathSize];
  int length = name[0] == '\\'
                   ? std::snprintf(path, sizeof path, "%s", name)
                   : std::snprintf(path, sizeof path, "\\\\.\\%s", name);
  if (length < 0 || static_cast<std::size_t>(length) >= sizeof path)
    return CreateFailed;
  std::memcpy(devicePath, path, sizeof devicePath);
  handle = pf::CreateFileA(devicePath, pf::GENERIC_READ | pf::GENERIC_WRITE, 0,
                           nullptr, pf::OPEN_EXISTING, 0, nullptr);
  if (handle == pf::INVALID_HANDLE_VALUE) return CreateFailed;
  baud = baudRate;
  parityMode = parity;

  pf::DCB dcb = buildDcb(baudRate, parity);
  int pending = OpenOk;
  if (!pf::SetCommMask(handle, 0)) pending = MaskFailed;
  pf::COMMTIMEOUTS timeouts = {0, 0, 0, 0, 0};
  if (!pf::SetCommTimeouts(handle, &timeouts)) pending = TimeoutsFailed;
  if (!pf::SetCommState(handle, &dcb)) pending = StateFailed;
  if (pending != OpenOk) close();
  return pending;
}

void SerialPort::close() {
  if (handle != pf::INVALID_HANDLE_VALUE) pf::CloseHandle(handle);
  handle = pf::INVALID_HANDLE_VALUE;
}

void SerialPort::write(const void* bytes, std::size_t count) {
  if (!isOpen() || broken) return;
  pf::DWORD written = 0;
  if (!pf::WriteFile(handle, bytes, static_cast<pf::DWORD>(count), &written,
                     nullptr))
    broken = true;
}

void SerialPort::writeByte(unsigned char byte) { write(&byte, 1); }

int SerialPort::read(void* buffer, std::size_t count) {
  if (!isOpen() || broken) return 0;
  pf::DWORD got = 0;
  if (!pf::ReadFile(handle, buffer, static_cast<pf::DWORD>(count), &got,
                    nullptr))
    broken = true;
  // A failed read may have stored part of what it promised.
  return got <= count ? static_cast<int>(got) : 0;
}

int SerialPort::readByte() {
  if (!isOpen() || broken) return 0;
  signed char byte = 0;
  pf::DWORD got = 0;
  if (!pf::ReadFile(handle, &byte, 1, &got, nullptr)) broken = true;
  return got == 1 ? byte : 0;
}

int SerialPort::bytesWaiting() {
  if (!isOpen() || broken) return 0;
  pf::DWORD errors = 0;
  pf::COMSTAT status;
  std::memset(&status, 0, sizeof status);
  if (!pf::ClearCommError(handle, &errors, &status)) {
    broken = true;
    return 0;
  }
  return static_cast<int>(status.cbInQue);
}

void SerialPort::sendBreak() {
  if (!isOpen()) return;
  pf::SetCommBreak(handle);
  pf::Sleep(kBreakMs);
  pf::ClearCommBreak(handle);
}

void SerialPort::adopt(SerialPort& other) {
  close();
  std::memcpy(devicePath, other.devicePath, sizeof devicePath);
  baud = other.baud;
  parityMode = other.parityMode;
  handle = other.handle;
  broken = other.broken;
  other.handle = pf::INVALID_HANDLE_VALUE;
  other.broken = false;
}
