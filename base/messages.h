#pragma once
// Every text the loader shows its user, in one place.
//
// Kept verbatim on purpose, oddities included ("the the", "49 files",
// "Could get", "LOADER*"): users, support notes and installers match on
// these exact bytes. Do not tidy them.
//
// A text ending in a blank or ", " is followed by the path or number
// concerned; one holding "%s" goes through FormatText.

namespace ldr::msg {

// The caption of every error box.
inline constexpr char kErrorCaption[] =
    "There was an error when trying to load the installation program";

// Start-up.
inline constexpr char kNoBitmap[] =
    "LOADER: Could not create a bitmap by the LoadBitmap API function";
inline constexpr char kNoWindowClass[] = "Could not register the main window";
inline constexpr char kNoMainWindow[] = "Could not create the main window";
inline constexpr char kNoProgressBar[] = "LOADER: Could not create the progress bar";
inline constexpr char kOwnFileMissing[] = "LOADER: Could not find the executable, ";
// Added with the second security review: a path cut short could name
// another file, so none is used.
inline constexpr char kOwnPathTooLong[] =
    "LOADER: Could not read the full path of the loader program. Move it to a folder with a "
    "shorter path and run it again";
// "The file " + path + kNotReadableTail
inline constexpr char kFilePrefix[] = "The file ";
inline constexpr char kNotReadableTail[] = " could not be opened for reading";

// Painting the main window.
inline constexpr char kNoPaintDc[] = "LOADER: Could get device context of main window";
inline constexpr char kNoMemoryDc[] = "Cannot create CDC";
inline constexpr char kNoSelectBitmap[] = "LOADER: Cannot select bitmap into device context";
inline constexpr char kNoDrawBitmap[] = "LOADER* Could not draw bitmap";

// Finding and opening the archive.
inline constexpr char kContainerMissing[] = "LOADER: Could not open the file, ";
inline constexpr char kSetup1Missing[] =
    "LOADER: Setup.1 must be in the same directory as the the loader program. Directory is ";
inline constexpr char kNoTempFolder[] =
    "LOADER: Could not find the temporary directory on this computer";

// Reading the entry table. They name SETUP.1 also when the archive is
// appended to the loader.
inline constexpr char kNoFileCount[] =
    "LOADER: Could not read the number of files in the archive from SETUP.1";
inline constexpr char kTooManyFiles[] =
    "LOADER: Sorry... You can only have 49 files in the PresetupFiles property of the "
    "TInstall. If you want to have more you can modify the MaxFiles constant in the "
    "CorvaneLoadProgram project in the Corvane directory";
inline constexpr char kNoPartitionFlag[] =
    "LOADER: Could not read the multi-partition flag in the archive file from SETUP.1";
inline constexpr char kNoFileHeader[] =
    "LOADER: Cannot read a file header in the archive file from SETUP.1";
inline constexpr char kNoFiles[] =
    "There are no files in the archive in SETUP.1. There should at least be your "
    "installation project executable";

// Extraction.
inline constexpr char kCannotRead[] = "LOADER: Could not read the archive file ";
inline constexpr char kCannotCreate[] = "LOADER: Could not create the following file, ";
inline constexpr char kDiskFull[] =
    "LOADER: Could not write to the file %s. This probably means that your disk is full";

// Hand-off.
inline constexpr char kNoInstaller[] =
    "LOADER: Cannot find the installation executable file in the temporary directory: %s";
inline constexpr char kRunFailed[] =
    "LOADER: Could not run the installation executable file. The WinExec return was ";

// Hand-off, added with the security review: none of these existed before.
inline constexpr char kCommandLineTooLong[] =
    "LOADER: Could not run the installation executable file. Its command line would be %s "
    "characters long, and this computer starts programs with at most %s";
inline constexpr char kProgramPathTooLong[] =
    "LOADER: Could not run the installation executable file %s. Its path is %s characters "
    "long, and this computer starts programs from paths of at most %s";
inline constexpr char kBatchUnsafeText[] =
    "LOADER: Could not run the installation executable file %s. It is a batch file, and a batch "
    "file cannot be handed a %, ! or \" safely, as in: %s";
inline constexpr char kInstallerReplaced[] =
    "LOADER: The installation executable file was replaced before it could be run: %s";

// The working folder on a system where other users share the temporary
// folder (POSIX), added with the security review.
inline constexpr char kUnsafeTempFolder[] =
    "LOADER: Other users can change the temporary directory %s. Set TMPDIR to a directory that "
    "only you can write to";
inline constexpr char kNoWorkingFolder[] =
    "LOADER: Could not create a private directory in the temporary directory %s";

// ---------------------------------------------------------------------------
// Added with the deployment record: texts of kits that carry it only. A kit
// without the record never shows one of these.

inline constexpr char kBadSwitch[] =
    "LOADER: The command line holds %s, which is not one of this program's switches. Nothing "
    "was started. Run it with /? to see the switches";
inline constexpr char kKitCutShort[] =
    "LOADER: The installation kit %s is incomplete or damaged: it should be %s bytes long and is "
    "%s bytes. Download it again";
inline constexpr char kSetup1CutShort[] =
    "LOADER: The file %s is incomplete or damaged: it should be %s bytes long and is %s bytes. "
    "Download the installation kit again";
inline constexpr char kSetup1Changed[] =
    "LOADER: The file %s is not the one this installation kit was built with. Download the "
    "installation kit again";
inline constexpr char kNoFreeSpace[] =
    "LOADER: There is not enough free space to unpack the installation program in %s: it needs "
    "%s MB and %s MB are free";
inline constexpr char kNoLog[] = "LOADER: Could not write the log file ";
inline constexpr char kExtractNotEmpty[] =
    "LOADER: The folder %s to unpack the installation kit into is not empty";
inline constexpr char kExtractNoFolder[] = "LOADER: Could not create the folder ";
inline constexpr char kExtractNotPrivate[] =
    "LOADER: Other users can change the folder %s to unpack the installation kit into. Choose a "
    "folder that only you can write to";
inline constexpr char kUnsafePayloadName[] =
    "LOADER: The installation kit holds a file name that cannot be unpacked safely: %s";
inline constexpr char kTooManyArguments[] =
    "LOADER: Too many arguments after --, or one too long, for the installation program";
inline constexpr char kEntryDamaged[] =
    "LOADER: The installation kit %s is damaged: its entry %s (at byte %s) does not unpack "
    "whole. Download the installation kit again";
inline constexpr char kNoWait[] = "LOADER: Could not wait for the installation program to end";
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
inline constexpr char kTextTooLong[] =
    "LOADER: A message text would be longer than 4096 characters";
inline constexpr char kOutOfMemory[] =
    "LOADER: There is not enough memory to load the installation program";
inline constexpr char kUnexpected[] =
    "LOADER: An unexpected failure stopped the installation program";
inline constexpr char kInternalError[] = "LOADER: Internal error in the loader program";

}  // namespace ldr::msg
