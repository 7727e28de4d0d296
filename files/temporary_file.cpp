// rand_s, the C runtime's door to the system's random numbers, is declared
// only on request.
#if defined(_WIN32)
#define _CRT_RAND_S  // NOLINT(bugprone-reserved-identifier)
#endif

#include "files/temporary_file.h"

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <string>

#include "files/durable_io.h"

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/random.h>
#endif
#endif

namespace varnel {

namespace fs = std::filesystem;

namespace {

// Names tried for a temporary file before giving up: others may be taken,
// by files that other programs or users made.
constexpr std::uint32_t kTemporaryNames = 100;
// The short name stands in where the destination's name is too long to take
// a suffix.
constexpr char kShortName[] = "varnel";

// A number no other process can foresee, so that nobody can take the names
// this one will try.
std::uint32_t random_number() {
  std::uint32_t value = 0;
#if defined(_WIN32)
  unsigned int drawn = 0;
  if (::rand_s(&drawn) == 0) {
    return drawn;
  }
#elif defined(__linux__)
  if (::getrandom(&value, sizeof value, GRND_NONBLOCK) ==
      static_cast<ssize_t>(sizeof value)) {
    return value;
  }
#endif
  // Where the system has none to give: the clock, this process, and a count.
  static std::uint32_t drawn_before = 0;
  const auto now = static_cast<std::uint64_t>(
      std::chrono::steady_clock::now().time_since_epoch().count());
  value = static_cast<std::uint32_t>(now ^ (now >> 32U)) ^
          (process_number() * 0x9E3779B9U) ^ (++drawn_before * 0x85EBCA6BU);
  return value;
}

// Tries `make` on temporary names from `base` in `folder` until one is not
// taken: true, with the name in `named`. Any other failure may come of the
// length of the name: the short name is tried before giving up, which
// reports the first failure.
bool with_free_name(
    const fs::path& folder, fs::path base,
    const std::function<bool(const fs::path&, std::error_code&)>& make,
    fs::path& named, std::error_code& error) {
  std::error_code first_error;
  for (std::uint32_t attempt = 0; attempt < kTemporaryNames;) {
    ++attempt;
    const fs::path name = temporary_name(folder, base);
    std::error_code failed;
    if (make(name, failed)) {
      named = name;
      return true;
    }
    if (failed == std::errc::file_exists) {
      continue;  // taken: another name
    }
    if (!first_error) {
      first_error = failed;
    }
    if (base == kShortName) {
      break;
    }
    base = kShortName;
    attempt = 0;  // as many names of the short name
  }
  error =
      first_error ? first_error : std::make_error_code(std::errc::file_exists);
  return false;
}

}  // namespace

fs::path temporary_name(const fs::path& folder, const fs::path& base) {
  std::array<char, 16> suffix{};
  (void)std::snprintf(suffix.data(), suffix.size(), ".partial-%06x",
                      static_cast<unsigned>(random_number() & 0xFFFFFFU));
  fs::path name = base;
  name += suffix.data();
  return folder / name;
}

#if defined(_WIN32)

namespace {

// The last error, in the words the C runtime's open gives it, as the
// messages gave it when the file was made through the C runtime.
std::error_code last_error() {
  switch (const DWORD code = ::GetLastError()) {
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return std::make_error_code(std::errc::file_exists);
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_INVALID_DRIVE:
    case ERROR_FILENAME_EXCED_RANGE:
      return std::make_error_code(std::errc::no_such_file_or_directory);
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT:
      return std::make_error_code(std::errc::permission_denied);
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return std::make_error_code(std::errc::no_space_on_device);
    case ERROR_TOO_MANY_OPEN_FILES:
      return std::make_error_code(std::errc::too_many_files_open);
    default:
      return {static_cast<int>(code), std::system_category()};
  }
}

HANDLE handle_of(std::FILE* file) {
  const int fd = ::_fileno(file);
  return fd < 0 ? INVALID_HANDLE_VALUE
                : reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
}

// Marks the open file `handle` to be removed when it closes, or takes the
// mark back.
bool remove_on_close(HANDLE handle, bool remove) {
  FILE_DISPOSITION_INFO disposition{};
  disposition.DeleteFile = remove ? TRUE : FALSE;
  return ::SetFileInformationByHandle(handle, FileDispositionInfo, &disposition,
                                      sizeof disposition) != 0;
}

// A new file at `path`, removed by the system when it closes unless kept:
// so a program ended outright leaves nothing. Where the system will not
// mark it, it is removed by name on every way out but the end of the
// program.
std::FILE* create_removed_on_close(const fs::path& path,
                                   std::error_code& error) {
  const HANDLE handle = ::CreateFileW(
      path.c_str(), GENERIC_WRITE | DELETE | READ_CONTROL | WRITE_DAC,
      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_NEW,
      FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    error = last_error();
    return nullptr;
  }
  // A reserved name such as NUL.partial-1a2b3c opens a device, not a new file.
  if (::GetFileType(handle) != FILE_TYPE_DISK) {
    (void)::CloseHandle(handle);  // nothing was written to it
    error = std::make_error_code(std::errc::file_exists);
    return nullptr;
  }
  (void)remove_on_close(handle, true);
  const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(handle),
                                   _O_WRONLY | _O_BINARY);
  if (fd < 0) {
    error = std::make_error_code(std::errc::too_many_files_open);
    (void)::CloseHandle(handle);
    (void)::_wremove(path.c_str());  // made here, and empty
    return nullptr;
  }
  std::FILE* file = ::_fdopen(fd, "wb");
  if (file == nullptr) {
    error = {errno, std::generic_category()};
    (void)::_close(fd);
    (void)::_wremove(path.c_str());
  }
  return file;
}

}  // namespace

std::FILE* create_temporary(const fs::path& folder, const fs::path& base,
                            unsigned, fs::path& named, std::error_code& error) {
  std::FILE* file = nullptr;
  (void)with_free_name(
      folder, base,
      [&file](const fs::path& name, std::error_code& failed) {
        file = create_removed_on_close(name, failed);
        return file != nullptr;
      },
      named, error);
  return file;
}

bool name_temporary(std::FILE* /*file*/, const fs::path& /*folder*/,
                    const fs::path& /*base*/, fs::path& /*named*/,
                    std::error_code& error) {
  // Every temporary file has its name from the start here.
  error = std::make_error_code(std::errc::operation_not_supported);
  return false;
}

bool give_name(std::FILE* /*file*/, const fs::path& /*path*/,
               std::error_code& error) {
  error = std::make_error_code(std::errc::operation_not_supported);
  return false;
}

bool keep_temporary(std::FILE* file, std::error_code& error) {
  // The mark is taken back whether or not it was set (Wine sets it but does
  // not report it pending); a file the system would not mark may not take
  // that either, and then only a mark still pending is a failure.
  const HANDLE handle = handle_of(file);
  if (handle != INVALID_HANDLE_VALUE && remove_on_close(handle, false)) {
    return true;
  }
  error = last_error();
  FILE_STANDARD_INFO standard{};
  return handle != INVALID_HANDLE_VALUE &&
         ::GetFileInformationByHandleEx(handle, FileStandardInfo, &standard,
                                        sizeof standard) != 0 &&
         standard.DeletePending == FALSE;
}

#else

namespace {

// The path that names the open file `fd` itself, for as long as it is open.
std::string path_of_open_file(int fd) {
  return "/proc/self/fd/" + std::to_string(fd);
}

// A new file in `folder` that has no name: gone, with all written to it,
// once closed unless it is given one. Null where the system cannot make one
// there, or could not name it later.
std::FILE* create_unnamed(const fs::path& folder, unsigned mode,
                          std::error_code& error) {
#if defined(O_TMPFILE)
  const int fd = ::open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC,
                        static_cast<mode_t>(mode));
  if (fd < 0) {
    error = {errno, std::generic_category()};
    return nullptr;
  }
  if (::access(path_of_open_file(fd).c_str(), F_OK) != 0) {
    error = {errno, std::generic_category()};
    (void)::close(fd);  // nothing was written to it, and it has no name
    return nullptr;
  }
  std::FILE* file = ::fdopen(fd, "wb");
  if (file == nullptr) {
    error = {errno, std::generic_category()};
    (void)::close(fd);
  }
  return file;
#else
  (void)folder;
  (void)mode;
  error = std::make_error_code(std::errc::operation_not_supported);
  return nullptr;
#endif
}

}  // namespace

std::FILE* create_temporary(const fs::path& folder, const fs::path& base,
                            unsigned mode, fs::path& named,
                            std::error_code& error) {
  named.clear();
  // Where the file system has no files without names (EOPNOTSUPP, or EISDIR
  // and EINVAL from older systems), or anything else fails, a named one;
  // a folder that refuses one refuses the other as well.
  std::error_code unnamed_failed;
  if (std::FILE* file = create_unnamed(folder, mode, unnamed_failed)) {
    return file;
  }
  std::FILE* file = nullptr;
  (void)with_free_name(
      folder, base,
      [&file, mode](const fs::path& name, std::error_code& failed) {
        file = create_new_file(name, mode, failed);
        return file != nullptr;
      },
      named, error);
  return file;
}

bool give_name(std::FILE* file, const fs::path& path, std::error_code& error) {
  const int fd = ::fileno(file);
  if (fd < 0) {
    error = {errno, std::generic_category()};
    return false;
  }
  if (::linkat(AT_FDCWD, path_of_open_file(fd).c_str(), AT_FDCWD, path.c_str(),
               AT_SYMLINK_FOLLOW) != 0) {
    error = {errno, std::generic_category()};
    return false;
  }
  return true;
}

bool name_temporary(std::FILE* file, const fs::path& folder,
                    const fs::path& base, fs::path& named,
                    std::error_code& error) {
  return with_free_name(
      folder, base,
      [file](const fs::path& name, std::error_code& failed) {
        return give_name(file, name, failed);
      },
      named, error);
}

bool keep_temporary(std::FILE* /*file*/, std::error_code& /*error*/) {
  return true;  // a file without a name, or one named from the start, stays
}

#endif

}  // namespace varnel
