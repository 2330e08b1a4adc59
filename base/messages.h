#pragma once
// Every text the loader shows its user, in one place.
//
// Kept verbatim on purpose, oddities included ("the the", "49 files",
// "Could get", "LOADER*"): users, support notes and installers match on
// these exact bytes. Do not tidy them.
//
// A text ending in a blank or ", " is followed by the path or number
// concerned; one holding "%s" goes through FormatText.

#include "base/failure.h"

namespace ldr::msg {

// The caption of every error box.
inline constexpr char kErrorCaption[] =
    "There was an error when trying to load the installation program";

// Start-up.
inline constexpr Message kNoBitmap{
    "LOADER: Could not create a bitmap by the LoadBitmap API function", FailureKind::kOther};
inline constexpr Message kNoWindowClass{"Could not register the main window", FailureKind::kOther};
inline constexpr Message kNoMainWindow{"Could not create the main window", FailureKind::kOther};
inline constexpr Message kNoProgressBar{"LOADER: Could not create the progress bar",
                                        FailureKind::kOther};
inline constexpr Message kOwnFileMissing{"LOADER: Could not find the executable, ",
                                         FailureKind::kKitDamaged};
// Added with the second security review: a path cut short could name
// another file, so none is used.
inline constexpr Message kOwnPathTooLong{
    "LOADER: Could not read the full path of the loader program. Move it to a folder with a "
    "shorter path and run it again",
    FailureKind::kKitDamaged};
// "The file " + path + kNotReadableTail
inline constexpr Message kFilePrefix{"The file ", FailureKind::kKitDamaged};
inline constexpr char kNotReadableTail[] = " could not be opened for reading";

// Painting the main window.
inline constexpr Message kNoPaintDc{"LOADER: Could get device context of main window",
                                    FailureKind::kOther};
inline constexpr Message kNoMemoryDc{"Cannot create CDC", FailureKind::kOther};
inline constexpr Message kNoSelectBitmap{"LOADER: Cannot select bitmap into device context",
                                         FailureKind::kOther};
inline constexpr Message kNoDrawBitmap{"LOADER* Could not draw bitmap", FailureKind::kOther};

// Finding and opening the archive.
inline constexpr Message kContainerMissing{"LOADER: Could not open the file, ",
                                           FailureKind::kKitDamaged};
inline constexpr Message kSetup1Missing{
    "LOADER: Setup.1 must be in the same directory as the the loader program. Directory is ",
    FailureKind::kKitDamaged};
inline constexpr Message kNoTempFolder{
    "LOADER: Could not find the temporary directory on this computer", FailureKind::kTempFolder};

// Reading the entry table. They name SETUP.1 also when the archive is
// appended to the loader.
inline constexpr Message kNoFileCount{
    "LOADER: Could not read the number of files in the archive from SETUP.1",
    FailureKind::kKitDamaged};
inline constexpr Message kTooManyFiles{
    "LOADER: Sorry... You can only have 49 files in the PresetupFiles property of the "
    "TInstall. If you want to have more you can modify the MaxFiles constant in the "
    "CorvaneLoadProgram project in the Corvane directory",
    FailureKind::kKitDamaged};
inline constexpr Message kNoPartitionFlag{
    "LOADER: Could not read the multi-partition flag in the archive file from SETUP.1",
    FailureKind::kKitDamaged};
inline constexpr Message kNoFileHeader{
    "LOADER: Cannot read a file header in the archive file from SETUP.1", FailureKind::kKitDamaged};
inline constexpr Message kNoFiles{
    "There are no files in the archive in SETUP.1. There should at least be your "
    "installation project executable",
    FailureKind::kKitDamaged};

// Extraction.
inline constexpr Message kCannotRead{"LOADER: Could not read the archive file ",
                                     FailureKind::kUnpacking};
inline constexpr Message kCannotCreate{"LOADER: Could not create the following file, ",
                                       FailureKind::kUnpacking};
inline constexpr Message kDiskFull{
    "LOADER: Could not write to the file %s. This probably means that your disk is full",
    FailureKind::kUnpacking};

// Hand-off.
inline constexpr Message kNoInstaller{
    "LOADER: Cannot find the installation executable file in the temporary directory: %s",
    FailureKind::kStart};
inline constexpr Message kRunFailed{
    "LOADER: Could not run the installation executable file. The WinExec return was ",
    FailureKind::kStart};

// Hand-off, added with the security review: none of these existed before.
inline constexpr Message kCommandLineTooLong{
    "LOADER: Could not run the installation executable file. Its command line would be %s "
    "characters long, and this computer starts programs with at most %s",
    FailureKind::kStart};
inline constexpr Message kProgramPathTooLong{
    "LOADER: Could not run the installation executable file %s. Its path is %s characters "
    "long, and this computer starts programs from paths of at most %s",
    FailureKind::kStart};
inline constexpr Message kBatchUnsafeText{
    "LOADER: Could not run the installation executable file %s. It is a batch file, and a batch "
    "file cannot be handed a %, ! or \" safely, as in: %s",
    FailureKind::kStart};
inline constexpr Message kInstallerReplaced{
    "LOADER: The installation executable file was replaced before it could be run: %s",
    FailureKind::kStart};

// The working folder on a system where other users share the temporary
// folder (POSIX), added with the security review.
inline constexpr Message kUnsafeTempFolder{
    "LOADER: Other users can change the temporary directory %s. Set TMPDIR to a directory that "
    "only you can write to",
    FailureKind::kTempFolder};
inline constexpr Message kNoWorkingFolder{
    "LOADER: Could not create a private directory in the temporary directory %s",
    FailureKind::kTempFolder};

// ---------------------------------------------------------------------------
// Added with the deployment record: texts of kits that carry it only. A kit
// without the record never shows one of these.

inline constexpr Message kBadSwitch{
    "LOADER: The command line holds %s, which is not one of this program's switches. Nothing "
    "was started. Run it with /? to see the switches",
    FailureKind::kCommandLine};
inline constexpr Message kKitCutShort{
    "LOADER: The installation kit %s is incomplete or damaged: it should be %s bytes long and is "
    "%s bytes. Download it again",
    FailureKind::kKitDamaged};
inline constexpr Message kSetup1CutShort{
    "LOADER: The file %s is incomplete or damaged: it should be %s bytes long and is %s bytes. "
    "Download the installation kit again",
    FailureKind::kKitDamaged};
inline constexpr Message kSetup1Changed{
    "LOADER: The file %s is not the one this installation kit was built with. Download the "
    "installation kit again",
    FailureKind::kKitDamaged};
inline constexpr Message kNoFreeSpace{
    "LOADER: There is not enough free space to unpack the installation program in %s: it needs "
    "%s MB and %s MB are free",
    FailureKind::kNoSpace};
inline constexpr Message kNoLog{"LOADER: Could not write the log file ", FailureKind::kLog};
inline constexpr Message kExtractNotEmpty{
    "LOADER: The folder %s to unpack the installation kit into is not empty",
    FailureKind::kExtractFolder};
inline constexpr Message kExtractNoFolder{"LOADER: Could not create the folder ",
                                          FailureKind::kExtractFolder};
inline constexpr Message kExtractNotPrivate{
    "LOADER: Other users can change the folder %s to unpack the installation kit into. Choose a "
    "folder that only you can write to",
    FailureKind::kExtractFolder};
inline constexpr Message kUnsafePayloadName{
    "LOADER: The installation kit holds a file name that cannot be unpacked safely: %s",
    FailureKind::kUnpacking};
inline constexpr Message kTooManyArguments{
    "LOADER: Too many arguments after --, or one too long, for the installation program",
    FailureKind::kCommandLine};
inline constexpr Message kEntryDamaged{
    "LOADER: The installation kit %s is damaged: its entry %s (at byte %s) does not unpack "
    "whole. Download the installation kit again",
    FailureKind::kUnpacking};
inline constexpr Message kNoWait{"LOADER: Could not wait for the installation program to end",
                                 FailureKind::kWait};
// The loader's own exit codes in the help text: 2400 to 2409 on Windows,
// 240 to 249 where an exit status holds 8 bits (loader/deployment.h).
#ifdef _WIN32
#define LDR_OWN_EXIT(digit) "240" #digit
#else
#define LDR_OWN_EXIT(digit) "24" #digit
#endif
inline constexpr char kHelp[] =
    "Switches (letters in any case, / or - before each):\n"
    "  /S\t\tsilent: no window and no message; waits like /WAIT\n"
    "\t\t(also /QUIET /Q /QN /SILENT /VERYSILENT)\n"
    "  /WAIT\t\twait for the installation program; exit with its exit code; then remove what "
    "was unpacked\n"
    "  /NOWAIT\twith /S: do not wait\n"
    "  /KEEP\t\twhen waiting: keep what was unpacked\n"
    "  /LOG=FILE\tappend a log of the run to FILE\n"
    "  /EXTRACT=DIR\tonly unpack the kit into DIR (new or empty), start nothing\n"
    "  /TEMP=DIR\tunpack under DIR instead of the temporary folder\n"
    "  /NORESTART /SUPPRESSMSGBOXES\ttaken, nothing to do\n"
    "  --\t\tgive every argument after it to the installation program\n"
    "  /?\t\tthis text (also /HELP /H)\n"
    "Exit codes: 0 done; with /WAIT the installation program's own code. The loader's own "
    "failures: " LDR_OWN_EXIT(0) " command line, " LDR_OWN_EXIT(1) " log, " LDR_OWN_EXIT(2)
    " kit incomplete or damaged, " LDR_OWN_EXIT(3) " not enough free space, " LDR_OWN_EXIT(4)
    " unpacking, " LDR_OWN_EXIT(5) " starting the installation program, " LDR_OWN_EXIT(6)
    " /EXTRACT folder, " LDR_OWN_EXIT(7) " temporary folder, " LDR_OWN_EXIT(8) " waiting, "
    LDR_OWN_EXIT(9) " other";

#undef LDR_OWN_EXIT

// Failures that are not the loader's own reports.
inline constexpr Message kTextTooLong{"LOADER: A message text would be longer than 4096 characters",
                                      FailureKind::kOther};
inline constexpr Message kOutOfMemory{
    "LOADER: There is not enough memory to load the installation program", FailureKind::kOther};
inline constexpr Message kUnexpected{
    "LOADER: An unexpected failure stopped the installation program", FailureKind::kOther};
inline constexpr Message kInternalError{"LOADER: Internal error in the loader program",
                                        FailureKind::kOther};

}  // namespace ldr::msg
