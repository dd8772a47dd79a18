// The fixed texts of the updater's user interface, in one place for the window and the console.
#pragma once

namespace app {

// The version comes from the project's CMakeLists.txt, the one place it is set.
#if !defined(BRAE_VERSION) || !defined(BRAE_VERSION_LETTER)
#error "BRAE_VERSION and BRAE_VERSION_LETTER are defined by the build"
#endif
// The project's (and the package's) version.
inline constexpr char kProjectVersion[] = BRAE_VERSION;
// What the window and the log show.
inline constexpr char kVersionText[] = BRAE_VERSION BRAE_VERSION_LETTER;
inline constexpr char kWindowTitle[] = "Series Brae firmware update   ver" BRAE_VERSION BRAE_VERSION_LETTER;
// Caption of the start-up messages about a missing embedded payload.
inline constexpr char kStartMessageCaption[] = "Update Message--" BRAE_VERSION BRAE_VERSION_LETTER;

// Where a user is sent when a problem persists.
inline constexpr char kServiceEmail[] = "service@veltrona.example";

inline constexpr char kSearchingStatus[] = "Searching serial ports... Please wait";
inline constexpr char kSuccessStatus[] = "Update Successful. Click on Exit to quit the program.";

inline constexpr char kNoLoaderText[] =
    "No LoadS19 file inside.\r\n\r\n"
    "---Use /l b.s19 to copy s19 file only and generate UpdateLoad.exe.\r\n"
    "      Then use UpdateLoad.exe either by /i b.bin to update directly\r\n"
    "       or by /u Name b.bin to copy bin file and generate UpdateLoadName.exe.\r\n\r\n"
    "---Use /u Name b.bin /l b.s19 to copy both s19 and bin file and generate UpdateName.exe.\r\n"
    "      Then UpdateName.exe can be used to update directly.\r\n\r\n"
    "---Use /i b.bin b.s19 to update directly to indicator.";

inline constexpr char kNoFirmwareText[] =
    "No firmware file inside.\r\n\r\n"
    "---Use /u Name b.bin to copy bin file if s19 file has already include in program.\r\n"
    "       Then that generated file can be used to update directly.\r\n\r\n"
    "---Use /u newname b.bin /l b.s19 to copy both s19 and bin file.\r\n"
    "       Then that generated file can be used to update directly.\r\n\r\n"
    "---Use /i b.bin b.s19 to update directly";

// A run that ends while the indicator is in its boot loader says so, and how to finish.
inline constexpr char kBootLoaderNote[] =
    "The indicator is in its boot loader (its firmware erased or only partly written): it waits there. Run "
    "the same command again, or with /b, to finish the update.";
// The same in the page, which has no command line.
inline constexpr char kBootLoaderNotePage[] =
    "The indicator is in its boot loader (its firmware erased or only partly written): it waits there. Click "
    "Update again to finish the update.";

// The error log file: its name, and the environment that places its directory.
inline constexpr char kLogFileName[] = "VeltronaUpdateBraeError.TXT";
inline constexpr char kLogDirVariable[] = "BRAE_LOG_DIR";
inline constexpr char kLogSubdirectory[] = "brae-update";

}  // namespace app
