#ifndef VANTOR_PLATFORM_SIM_CODEPAGE_H
#define VANTOR_PLATFORM_SIM_CODEPAGE_H

namespace sim {

// The byte of an OEM code page (850 or 437) for a character, or -1 when the
// code page has none.
int oemByte(int codePage, wchar_t c);

}  // namespace sim

#endif
