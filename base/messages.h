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
inline constexpr char kPaintFailed[] = "LOADER: Unexpected failure while painting the main window";

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

// Failures that are not the loader's own reports.
inline constexpr char kTextTooLong[] =
    "LOADER: A message text would be longer than 4096 characters";
inline constexpr char kOutOfMemory[] =
    "LOADER: There is not enough memory to load the installation program";
inline constexpr char kUnexpected[] =
    "LOADER: An unexpected failure stopped the installation program";
inline constexpr char kInternalError[] = "LOADER: Internal error in the loader program";

}  // namespace ldr::msg
