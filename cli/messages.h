// Every text varnel prints. Scripts read these to tell outcomes apart, so they
// never change. Each ends with an empty line.
#pragma once

namespace varnel {

inline constexpr char kBanner[] =
    "Quenlo to Halvory Converter 0.9a by Orvek\n\n";
inline constexpr char kUsage[] =
    "Usage:   varnel <start_addr> <src_file> <dst_file>\n\n"
    "Example: varnel 270000 NHM5_513_u27.fls NHM5_513_u.hy\n\n";
inline constexpr char kInvalidStartAddress[] =
    "Error: Invalid starting address.\n\n";
inline constexpr char kUnsupportedSize[] =
    "Source files of size that is not a multiple of 8192 bytes\n"
    "are not supported in this version.\n\n";

// These take one file name, printed as given on the command line but for its
// control bytes (0x00 to 0x1F and DEL), which are written as escapes (\n,
// \033): a name can then neither forge a line of these messages nor drive
// the terminal.
inline constexpr char kCannotOpenSource[] =
    "Cannot open source file \"%s\".\n\n";
inline constexpr char kCannotCreateDestination[] =
    "Cannot create destination file \"%s\".\n\n";
inline constexpr char kDestinationIsSource[] =
    "Cannot create destination file \"%s\": it is the source file.\n\n";
inline constexpr char kReadFailed[] = "Error reading source file \"%s\".\n\n";
inline constexpr char kWriteFailed[] =
    "Error writing destination file \"%s\".\n\n";
inline constexpr char kOutputWritten[] = "Output written to \"%s\".\n\n";

}  // namespace varnel
