#include "tools/replay/field_inputs.h"

#include <sstream>

#include "tools/device_model/sim/module_link.h"

namespace replay {

std::string withLongLines(const std::string& romLoader) {
  const std::string longLines[] = {
      "#" + std::string(78, '-'),                         // exactly one piece
      "#" + std::string(79, '-'),                         // one character more
      "# " + std::string(117, 'c') + ".",                 // 120
      "#" + std::string(157, '-'),                        // two whole pieces
      "#" + std::string(158, '-'),                        // and one character
      "#" + std::string(199, '-'),                        // three pieces
      // What follows a whole piece is never a record of its own, whatever
      // it starts with.
      "#" + std::string(78, '-') + "0871800000 is not the end record here",
      "#" + std::string(78, '-') + "A0000000011111",
      "",
      "# a comment with traffic marks: PC -> module, module <- PC",
  };
  std::istringstream in(romLoader);
  std::string line, out;
  bool first = true;
  while (std::getline(in, line)) {
    out += line + "\r\n";
    if (first)
      for (const std::string& extra : longLines) out += extra + "\r\n";
    // A record with a comment after it that runs past a piece: the
    // program sends the record, and logs the rest past the piece.
    if (!first && line.size() < 70 && line.compare(0, 8, "A0000000") == 0)
      out.replace(out.size() - 2, 2,
                  "   ; " + std::string(79 - line.size() - 5, 'c') +
                      "ABCDEF and so on\r\n");
    first = false;
  }
  return out;
}

devmodel::InputSet fieldLogInputs(const std::string& name) {
  devmodel::InputSet inputs;
  if (name.compare(0, 5, "wine_") == 0) {
    // tests/wine/e2e.py: vantor_make_inputs --records 24 --blob-size 6000
    // --kernel-size 40000 --ramdisk-size 60000, seed 1.
    devmodel::InputSizes sizes;
    sizes.records = 24;
    sizes.bootLoader = 6000;
    sizes.kernel = 40000;
    sizes.ramdisk = 60000;
    inputs = devmodel::makeInputs(sizes, 1);
  } else {
    inputs = smallInputs();
  }
  if (name.find("long_rom_loader_lines") != std::string::npos)
    inputs.romLoaderText = withLongLines(inputs.romLoaderText);
  if (name.find("empty_rom_loader") != std::string::npos) inputs.romLoaderText.clear();
  if (name.find("rom_loader_without_end") != std::string::npos) {
    std::size_t end = inputs.romLoaderText.find("0871800000");
    if (end != std::string::npos) inputs.romLoaderText.resize(end);
  }
  if (name.find("empty_kernel") != std::string::npos) inputs.kernel.clear();
  return inputs;
}

}  // namespace replay
