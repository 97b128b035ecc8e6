// The names the explanation gives: the steps' ids (fixed, other tools read
// them), and for each ending and each state of the module the row of the
// operator's guide that speaks of it, by the exact text of its first cell.
#include "explain.h"

namespace replay {

const char kStateTable[] = "Punto in cui si \u00e8 fermata";

namespace {

const char kEndsTable[] = "Come finisce";
const char kWaitsTable[] = "Attesa";

}  // namespace

const char* stepId(Step step) {
  static const char* const kIds[] = {
      "start", "discovery", "rom-loader", "blob-prompt", "boot-loader-download",
      "boot-loader-flash", "power-cycle", "kernel-usb-disk", "kernel-copy",
      "kernel-removal", "kernel-flash", "ramdisk-usb-disk", "ramdisk-copy",
      "ramdisk-removal", "ramdisk-flash", "end"};
  return kIds[static_cast<int>(step)];
}

const char* outcomeId(Outcome outcome) {
  static const char* const kIds[] = {"complete", "failed", "cut", "unreadable"};
  return kIds[static_cast<int>(outcome)];
}

const char* imageId(int image) {
  static const char* const kIds[] = {"blob", "kernel", "ramdisk"};
  return image >= 0 && image < 3 ? kIds[image] : "";
}

const std::vector<EndingInfo>& endingRows() {
  static const std::vector<EndingInfo> rows = {
      {Ending::FileNotOpened, kEndsTable,
       "\u00abNon posso aprire il file blob-bootloader.txt\u00bb (o un altro dei quattro file)",
       "an input file could not be opened"},
      {Ending::ConfigurationNotRead, kEndsTable,
       "\u00abNon posso aprire il file vantor_config.ini\u00bb",
       "the configuration file could not be read"},
      {Ending::NoSerialPort, kEndsTable, "\u00abNessuna porta seriale trovata!\u00bb",
       "no serial port"},
      {Ending::NoConnection, kEndsTable,
       "\u00abNon \u00e8 possibile impostare la connessione.\u00bb", "no answer from the module"},
      {Ending::VerifyError, kEndsTable, "\u00abErrore di verifica!\u00bb",
       "ROM loader read-back wrong"},
      {Ending::RecordFailed, kEndsTable,
       "Fine senza messaggio durante \u00abCaricamento linea 120 - Trasferimento completato: "
       "45%\u00bb",
       "ROM loader record not accepted"},
      {Ending::RomLoaderUnusable, kEndsTable,
       "Fine senza messaggio: ROM loader vuoto o senza record finale",
       "ROM loader file empty or without end record"},
      {Ending::BlobNotReached, kEndsTable,
       "Fine senza messaggio subito dopo \u00abBootloader caricato\u00bb",
       "blob not reached at 115200"},
      {Ending::BootLoaderRefused, kEndsTable,
       "Fine senza messaggio durante il trasferimento del boot loader",
       "boot loader download refused"},
      {Ending::NoPromptAfterRestart, kEndsTable,
       "Fine senza messaggio dopo il riavvio senza jumper", "no prompt after the restart"},
      {Ending::AdapterGone, kEndsTable,
       "Fine senza messaggio, nel log `Serial port failed: the adapter is gone.`",
       "serial adapter gone"},
      {Ending::CopyFailed, kEndsTable, "\u00abnon posso copiare il file\u00bb",
       "image copy failed"},
      {Ending::ImageNotOnDisk, kEndsTable, "\u00abErrore: file non trovato\u00bb",
       "image not on the module's disk"},
      {Ending::UsbDiskNotConnected, kEndsTable,
       "\u00abScollega e ricollega il cavo USB!\u00bb ripetuto, poi la fine",
       "USB disk never connected"},
      {Ending::CutWaitingForEcho, kWaitsTable,
       "\u00abCaricamento linea 120 - Trasferimento completato: 45%\u00bb fermo",
       "cut waiting for a ROM loader echo"},
      {Ending::CutWaitingForRestart, kWaitsTable,
       "\u00abSPEGNI il robot, RIMUOVI il jumper e riaccendi il robot!\u00bb con il simbolo "
       "che gira",
       "cut waiting for the restart"},
      {Ending::CutWaitingForDrive, kWaitsTable,
       "Dopo \u00abCollega il cavo USB!\u00bb o \u00abScollega e ricollega il cavo USB!\u00bb, "
       "prima di \u00abTrovato disco E\u00bb",
       "cut waiting for the drive letter"},
      {Ending::CutInRemoval, kWaitsTable, "Rimozione del disco senza \u00abDisco E rimosso\u00bb",
       "cut in the disk removal"},
      {Ending::CutAfterRemoval, kWaitsTable,
       "Dopo \u00abDisco E rimosso\u00bb, prima di `Flashing kernel` o `Flashing ramdisk`",
       "cut waiting for blob after the removal"},
      {Ending::CutInFlash, kWaitsTable,
       "`Flashing blob`, `Flashing kernel` o `Flashing ramdisk` con il simbolo che gira",
       "cut inside a flash"},
      {Ending::CutElsewhere, kWaitsTable, "Finestra chiusa o PC spento in un altro punto",
       "cut elsewhere (window closed, PC stopped)"},
  };
  return rows;
}

const EndingInfo* endingInfo(Ending ending) {
  for (const EndingInfo& info : endingRows())
    if (info.ending == ending) return &info;
  return nullptr;
}

const char* stateRow(int flashedCount, int interrupted) {
  if (interrupted == Blob) return "Durante `Flashing blob`";
  if (interrupted == Kernel) return "Durante `Flashing kernel`";
  if (interrupted == Ramdisk) return "Durante `Flashing ramdisk`";
  switch (flashedCount) {
    case 0:
      return "Prima della scrittura del boot loader: avvio, ricerca, ROM loader, "
             "\u00abBootloader caricato\u00bb, \u00abTrasferimento blob in corso\u00bb";
    case 1:
      return "Dopo il \u00abFatto\u00bb del boot loader, prima di `Flashing kernel`: riavvio, "
             "disco USB, copia e rimozione del kernel";
    case 2:
      return "Dopo il \u00abFatto\u00bb del kernel, prima di `Flashing ramdisk`";
    default:
      return "Dopo il \u00abFatto\u00bb del ramdisk";
  }
}

}  // namespace replay
