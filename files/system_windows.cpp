// rand_s, the C runtime's door to the system's random numbers, is declared
// only on request.
#define _CRT_RAND_S  // NOLINT(bugprone-reserved-identifier)

#include <fcntl.h>
#include <io.h>
#include <windows.h>
// After windows.h, which it needs.
#include <aclapi.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "files/argument_path.h"
#include "files/destination.h"
#include "files/system.h"

namespace varnel {

namespace fs = std::filesystem;

namespace {

constexpr DWORD kShareAll =
    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// The last error, in the words the C runtime gives it where it has some, as
// the messages gave it when files were opened through the C runtime.
std::error_code last_error(DWORD code = ::GetLastError()) {
  switch (code) {
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

HANDLE handle_of(const Descriptor& file) {
  return reinterpret_cast<HANDLE>(file.get().number);
}

// A handle, owned: INVALID_HANDLE_VALUE is none, as -1 is.
Descriptor owned(HANDLE handle) {
  return Descriptor{SystemFile{reinterpret_cast<std::intptr_t>(handle)}};
}

// Opens `path` with `access`, shared every way, as it is.
Descriptor open_existing(const fs::path& path, DWORD access) {
  return owned(::CreateFileW(path.c_str(), access, kShareAll, nullptr,
                             OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                             nullptr));
}

bool is_device_namespace(const fs::path& path) {
  return path.native().starts_with(LR"(\\.\)");
}

// The path by which the system knows the open file `handle`, links and
// drive mappings followed: \\?\C:\folder\name.
std::optional<fs::path> final_path_of(HANDLE handle) {
  constexpr DWORD kFlags = FILE_NAME_NORMALIZED | VOLUME_NAME_DOS;
  const DWORD needed = ::GetFinalPathNameByHandleW(handle, nullptr, 0, kFlags);
  if (needed == 0) {
    return std::nullopt;
  }
  std::wstring path(needed, L'\0');
  const DWORD length =
      ::GetFinalPathNameByHandleW(handle, path.data(), needed, kFlags);
  if (length == 0 || length >= needed) {
    return std::nullopt;
  }
  path.resize(length);
  return fs::path(path);
}

// Whether the system that answers Windows' calls is Unix (Wine). Its files
// have Unix permission bits, from which it makes the ACL a program reads,
// and into which it turns an ACL a program gives, wider ones: the owner's
// access goes to the group too, and the folder's to others. And a Unix
// link that leads nowhere is nothing to it, which a rename that must not
// replace anything replaces.
bool answered_by_unix() {
  static const bool wine = ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"),
                                            "wine_get_version") != nullptr;
  return wine;
}

// Gives the open file `handle` the file attributes `attributes`; its times
// of zero are left as they are.
bool set_attributes(HANDLE handle, DWORD attributes) {
  FILE_BASIC_INFO information{};
  information.FileAttributes = attributes;
  return ::SetFileInformationByHandle(handle, FileBasicInfo, &information,
                                      sizeof information) != 0;
}

// Marks the open file `handle` to be removed when it closes, or takes the
// mark back.
bool remove_on_close(HANDLE handle, bool remove) {
  FILE_DISPOSITION_INFO disposition{};
  disposition.DeleteFile = remove ? TRUE : FALSE;
  return ::SetFileInformationByHandle(handle, FileDispositionInfo, &disposition,
                                      sizeof disposition) != 0;
}

// Gives the file `handle` the DACL of the security descriptor `security`,
// inherited entries coming from its folder as they did to the old file, or
// not where the old file's DACL was protected from them.
bool give_security(HANDLE handle, const std::vector<std::uint8_t>& security,
                   std::error_code& error) {
  auto* descriptor = const_cast<std::uint8_t*>(security.data());
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL dacl = nullptr;
  if (::GetSecurityDescriptorControl(descriptor, &control, &revision) == 0 ||
      ::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) ==
          0) {
    error = last_error();
    return false;
  }
  // No DACL at all grants everyone everything, which is what a file system
  // without ACLs (FAT on a memory card) says of every file: the new file's
  // own DACL then grants no more.
  if (present == FALSE || dacl == nullptr) {
    return true;
  }
  const SECURITY_INFORMATION what =
      DACL_SECURITY_INFORMATION | ((control & SE_DACL_PROTECTED) != 0
                                       ? PROTECTED_DACL_SECURITY_INFORMATION
                                       : UNPROTECTED_DACL_SECURITY_INFORMATION);
  const DWORD result = ::SetSecurityInfo(handle, SE_FILE_OBJECT, what, nullptr,
                                         nullptr, dacl, nullptr);
  if (result == ERROR_NOT_SUPPORTED || result == ERROR_INVALID_FUNCTION) {
    return true;  // a file system without ACLs: the new file has none either
  }
  if (result != ERROR_SUCCESS) {
    error = last_error(result);
    return false;
  }
  return true;
}

DestinationFound unusable(DestinationFound found, std::error_code error) {
  found.kind = Destination::unusable;
  found.error = error;
  return found;
}

}  // namespace

void CloseSystemFile::operator()(SystemFile file) const {
  (void)::CloseHandle(reinterpret_cast<HANDLE>(file.number));
}

namespace {

std::optional<FileIdentity> identity_of_handle(HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION information{};
  if (handle == INVALID_HANDLE_VALUE ||
      ::GetFileType(handle) != FILE_TYPE_DISK ||
      ::GetFileInformationByHandle(handle, &information) == 0) {
    return std::nullopt;  // a device, a pipe: no file on a volume
  }
  // Two drive letters of one folder (subst, a mapped drive, a UNC path) give
  // other names and other drive numbers, never another volume or index.
  return FileIdentity{0, information.dwVolumeSerialNumber,
                      std::uint64_t{information.nFileIndexHigh} << 32U |
                          information.nFileIndexLow};
}

}  // namespace

std::optional<FileIdentity> identity_of(const Descriptor& file) {
  return identity_of_handle(handle_of(file));
}

std::optional<FileIdentity> identity_of_path(const fs::path& path) {
  // Opening a name of the device namespace to ask could take it: a pipe's
  // only instance, say. Opened for no access, shared every way: nothing is
  // taken from others.
  if (path.empty() || is_device_namespace(path)) {
    return std::nullopt;
  }
  return identity_of(open_existing(path, 0));
}

std::optional<FileIdentity> standard_input_identity() {
  return identity_of_handle(reinterpret_cast<HANDLE>(::_get_osfhandle(0)));
}

std::optional<FileIdentity> file_behind_path(const fs::path& /*path*/) {
  // No disk is written as a destination here (open_for_writing), and an
  // attached virtual disk's file is held by the system alone.
  return std::nullopt;
}

std::optional<FileIdentity> file_behind_standard_input() {
  return std::nullopt;
}

bool read_access(const Descriptor& file, FileAccess& access,
                 std::error_code& error) {
  BY_HANDLE_FILE_INFORMATION information{};
  if (::GetFileInformationByHandle(handle_of(file), &information) == 0) {
    error = last_error();
    return false;
  }
  access.known = true;
  access.windows_attributes = information.dwFileAttributes;
  PSECURITY_DESCRIPTOR security = nullptr;
  const DWORD result = ::GetSecurityInfo(handle_of(file), SE_FILE_OBJECT,
                                         DACL_SECURITY_INFORMATION, nullptr,
                                         nullptr, nullptr, nullptr, &security);
  if (result == ERROR_NOT_SUPPORTED || result == ERROR_INVALID_FUNCTION) {
    return true;  // a file system without ACLs: none to keep
  }
  if (result != ERROR_SUCCESS) {
    error = last_error(result);
    return false;
  }
  const auto* bytes = static_cast<const std::uint8_t*>(security);
  access.windows_security.assign(
      bytes, bytes + ::GetSecurityDescriptorLength(security));
  (void)::LocalFree(security);
  return true;
}

bool give_access(const Descriptor& file, const FileAccess& access,
                 std::error_code& error) {
  // The old file's ACL, or nothing replaced: the new file would otherwise
  // have its folder's, which may grant more. Where the ACL is made from Unix
  // permission bits (Wine), one given would widen them: the new file keeps
  // its owner's read and write alone (create_named), no more than the old
  // file gave.
  if (!answered_by_unix() && !access.windows_security.empty() &&
      !give_security(handle_of(file), access.windows_security, error)) {
    return false;
  }
  const DWORD kept = access.windows_attributes &
                     (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
  if (kept == 0) {
    return true;  // a new file has the archive attribute already
  }
  if (!set_attributes(handle_of(file), kept | FILE_ATTRIBUTE_ARCHIVE)) {
    error = last_error();
    return false;
  }
  return true;
}

bool may_write(const Descriptor& file, const Place& /*place*/,
               std::error_code& error) {
  // The read-only attribute is what refuses writing on Windows; asked of the
  // file, so that it holds for an administrator under any emulation too.
  BY_HANDLE_FILE_INFORMATION information{};
  if (::GetFileInformationByHandle(handle_of(file), &information) == 0) {
    error = last_error();
    return false;
  }
  if ((information.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
    error = std::make_error_code(std::errc::permission_denied);
    return false;
  }
  return true;
}

std::optional<std::size_t> read_at(const Descriptor& file, std::uint64_t offset,
                                   std::span<std::uint8_t> into,
                                   std::error_code& error) {
  std::size_t got = 0;
  while (got < into.size()) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset + got);
    at.OffsetHigh = static_cast<DWORD>((offset + got) >> 32U);
    DWORD read = 0;
    if (::ReadFile(handle_of(file), into.data() + got,
                   static_cast<DWORD>(into.size() - got), &read, &at) == 0) {
      if (::GetLastError() == ERROR_HANDLE_EOF) {
        break;
      }
      error = last_error();
      return std::nullopt;
    }
    if (read == 0) {
      break;
    }
    got += read;
  }
  return got;
}

Descriptor copy_of(const Descriptor& file, std::error_code& error) {
  HANDLE copy = INVALID_HANDLE_VALUE;
  if (::DuplicateHandle(::GetCurrentProcess(), handle_of(file),
                        ::GetCurrentProcess(), &copy, 0, FALSE,
                        DUPLICATE_SAME_ACCESS) == 0) {
    error = last_error();
    return nullptr;
  }
  return owned(copy);
}

Stream stream_on(const Descriptor& file, std::error_code& error) {
  Descriptor copy = copy_of(file, error);
  if (!copy) {
    return nullptr;
  }
  const int fd = ::_open_osfhandle(copy.get().number, _O_WRONLY | _O_BINARY);
  if (fd < 0) {
    error = std::make_error_code(std::errc::too_many_files_open);
    return nullptr;
  }
  (void)copy.release();  // the descriptor's now
  Stream stream{::_fdopen(fd, "wb")};
  if (!stream) {
    error = errno_error();
    (void)::_close(fd);
  }
  return stream;
}

bool appends(const Descriptor& /*file*/) { return false; }

std::optional<std::uint64_t> position_of(const Descriptor& file) {
  LARGE_INTEGER at{};
  if (::SetFilePointerEx(handle_of(file), LARGE_INTEGER{}, &at, FILE_CURRENT) ==
      0) {
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(at.QuadPart);
}

bool cut_here(const Descriptor& file, std::error_code& error) {
  if (::SetEndOfFile(handle_of(file)) == 0) {
    error = last_error();
    return false;
  }
  return true;
}

bool drop_privileges(const Descriptor& /*file*/, std::error_code& /*error*/) {
  return true;
}

bool sync_file(const Descriptor& file, std::error_code& error) {
  if (::FlushFileBuffers(handle_of(file)) == 0) {
    error = last_error();
    return false;
  }
  return true;
}

bool sync_folder(const Place& /*place*/, std::error_code& /*error*/) {
  return true;
}

bool write_back(std::FILE* /*file*/, std::uint64_t /*offset*/,
                std::uint64_t /*length*/, std::error_code& /*error*/) {
  return true;
}

bool names_can_go(const Place& /*place*/) { return true; }

Descriptor create_unnamed(const Place& /*place*/, unsigned /*mode*/,
                          std::error_code& error) {
  // Every temporary file has a name from the start here; the system removes
  // it when it closes, until it is kept.
  error = std::make_error_code(std::errc::operation_not_supported);
  return nullptr;
}

Descriptor create_named(const Place& /*place*/, const fs::path& name,
                        unsigned mode, std::error_code& error) {
  // Where files have Unix permission bits (Wine), a file that replaces
  // another (Windows reads no bits, so `mode` has none) is made with an ACL
  // that grants nothing, which is no bits at all, and then given the
  // attributes of a file that is not read-only, which give its owner read
  // and write alone (less the umask): no more than the old file gave, which
  // this user may write.
  SECURITY_DESCRIPTOR none{};
  ACL empty{};
  SECURITY_ATTRIBUTES private_file{sizeof private_file, &none, FALSE};
  const bool no_bits =
      mode == 0 && answered_by_unix() &&
      ::InitializeSecurityDescriptor(&none, SECURITY_DESCRIPTOR_REVISION) !=
          0 &&
      ::InitializeAcl(&empty, sizeof empty, ACL_REVISION) != 0 &&
      ::SetSecurityDescriptorDacl(&none, TRUE, &empty, FALSE) != 0;
  Descriptor file = owned(::CreateFileW(
      name.c_str(), GENERIC_WRITE | DELETE | READ_CONTROL | WRITE_DAC,
      FILE_SHARE_READ | FILE_SHARE_WRITE, no_bits ? &private_file : nullptr,
      CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    error = last_error();
    return nullptr;
  }
  // A reserved name such as NUL.partial-1a2b3c opens a device, not a new file.
  if (::GetFileType(handle_of(file)) != FILE_TYPE_DISK) {
    error = std::make_error_code(std::errc::file_exists);
    return nullptr;
  }
  // Before it is marked: a file with no bits may not be removed there.
  if (no_bits && !set_attributes(handle_of(file), FILE_ATTRIBUTE_ARCHIVE)) {
    error = last_error();
    return nullptr;
  }
  // So that a program ended outright leaves nothing. Where the system will
  // not mark it, it is removed by name on every way out but the end of the
  // program.
  (void)remove_on_close(handle_of(file), true);
  return file;
}

bool link_unnamed(const Descriptor& /*file*/, const Place& /*place*/,
                  const fs::path& /*name*/, std::error_code& error) {
  error = std::make_error_code(std::errc::operation_not_supported);
  return false;
}

bool keep_temporary(const Descriptor& file, std::error_code& error) {
  // The mark is taken back whether or not it was set (Wine sets it but does
  // not report it pending); a file the system would not mark may not take
  // that either, and then only a mark still pending is a failure.
  if (remove_on_close(handle_of(file), false)) {
    return true;
  }
  error = last_error();
  FILE_STANDARD_INFO standard{};
  return ::GetFileInformationByHandleEx(handle_of(file), FileStandardInfo,
                                        &standard, sizeof standard) != 0 &&
         standard.DeletePending == FALSE;
}

bool rename_new(const Place& place, const fs::path& from,
                std::error_code& error) {
  // Where Unix answers (Wine), a rename that must replace nothing replaces a
  // link that leads nowhere, which it takes for nothing: the new file takes
  // the name as a second link instead, which nothing already there lets
  // through, and then loses its temporary name.
  if (answered_by_unix()) {
    if (::CreateHardLinkW(place.name.c_str(), from.c_str(), nullptr) != 0) {
      (void)::DeleteFileW(from.c_str());  // the output is whole at its name
      return true;
    }
    error = last_error();
    if (error == std::errc::file_exists) {
      return false;
    }
    // A file system without hard links (FAT) has no links of Unix either.
  }
  // Without MOVEFILE_REPLACE_EXISTING: a file that took the name meanwhile
  // stays.
  if (::MoveFileExW(from.c_str(), place.name.c_str(), MOVEFILE_WRITE_THROUGH) ==
      0) {
    error = last_error();
    return false;
  }
  return true;
}

bool replace_old(const Place& place, const fs::path& from,
                 const FileIdentity& old, bool& /*from_is_new*/,
                 std::error_code& error) {
  // Windows cannot exchange two names: the name must still hold the file
  // checked just before it is renamed over, which leaves the instant between
  // the two. One rename, so that no moment passes without the old file or the
  // new one at the name (ReplaceFileW first moves the old file aside).
  if (identity_of_path(place.name) != old) {
    error = std::make_error_code(std::errc::file_exists);
    return false;
  }
  if (::MoveFileExW(from.c_str(), place.name.c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) == 0) {
    error = last_error();
    return false;
  }
  return true;
}

void remove_name(const Descriptor& /*folder*/, const fs::path& name) {
  (void)::DeleteFileW(name.c_str());
}

fs::path path_for_system(const fs::path& path) {
  const std::wstring& name = path.native();
  if (name.empty() || name.starts_with(LR"(\\?\)") ||
      is_device_namespace(path)) {
    return path;
  }
  // The full path, with "." and ".." resolved and the trailing dots and
  // blanks of a name dropped, as Windows does to a name it is given: the
  // prefix turns all of that off.
  const DWORD size = ::GetFullPathNameW(name.c_str(), 0, nullptr, nullptr);
  if (size == 0) {
    return path;
  }
  std::wstring full(size, L'\0');
  const DWORD length =
      ::GetFullPathNameW(name.c_str(), size, full.data(), nullptr);
  if (length == 0 || length >= size) {
    return path;
  }
  full.resize(length);
  if (full.starts_with(LR"(\\)")) {
    return LR"(\\?\UNC\)" + full.substr(2);  // \\server\share\...
  }
  return LR"(\\?\)" + full;
}

void ignore_file_size_signal() {}

std::optional<std::uint32_t> system_random_number() {
  unsigned int drawn = 0;
  if (::rand_s(&drawn) != 0) {
    return std::nullopt;
  }
  return drawn;
}

std::uint32_t process_number() { return ::GetCurrentProcessId(); }

DestinationFound find_destination(const char* name) {
  DestinationFound found;
  const fs::path path = path_from_argument(name);
  if (path.empty()) {
    return unusable(std::move(found),
                    std::make_error_code(std::errc::no_such_file_or_directory));
  }
  found.place.name = path;
  // Names in the device namespace (\\.\pipe\..., \\.\COM1) are devices, and
  // opening one to ask could take it: a pipe's only instance, say.
  if (is_device_namespace(path)) {
    found.kind = Destination::other;
    return found;
  }
  // Opened for no access, which no file refuses: the system follows the
  // links and says what and where the file is.
  const Descriptor look = open_existing(path, 0);
  if (!look) {
    const DWORD code = ::GetLastError();
    if (code != ERROR_FILE_NOT_FOUND && code != ERROR_PATH_NOT_FOUND) {
      return unusable(std::move(found), last_error(code));
    }
    // A link that leads nowhere: where it would lead is not asked, and no
    // file is put in its place.
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      return unusable(std::move(found), last_error(code));
    }
    found.kind = Destination::nothing;
    found.place.name = path_for_system(path);
    return found;
  }
  // Windows' reserved names (NUL, CON) are "not found", or no name at all,
  // to the file system, and still open as devices: only asking tells.
  if (::GetFileType(handle_of(look)) != FILE_TYPE_DISK) {
    found.kind = Destination::other;
    return found;
  }
  BY_HANDLE_FILE_INFORMATION information{};
  if (::GetFileInformationByHandle(handle_of(look), &information) == 0) {
    return unusable(std::move(found), last_error());
  }
  if ((information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    found.kind = Destination::directory;
    return found;
  }
  found.identity = *identity_of(look);
  found.size = std::uint64_t{information.nFileSizeHigh} << 32U |
               information.nFileSizeLow;
  // Where the system found the file, links followed: where the name given
  // leads. Where it cannot say (Wine, for a path longer than MAX_PATH), the
  // name given.
  found.place.name =
      path_for_system(final_path_of(handle_of(look)).value_or(path));
  // Read to be judged, and only if it is still the file found: never opened
  // for writing just to look.
  found.held = open_existing(found.place.name, GENERIC_READ | READ_CONTROL);
  if (!found.held) {
    return unusable(std::move(found), last_error());
  }
  if (identity_of(found.held) != found.identity) {
    return unusable(
        std::move(found),
        std::make_error_code(std::errc::resource_unavailable_try_again));
  }
  found.kind = Destination::regular_file;
  return found;
}

Descriptor open_for_writing(const DestinationFound& found,
                            std::error_code& error) {
  // A device or a pipe, by its name: Windows has no other way to it. Only
  // what is still no file on a disk is written.
  Descriptor file = owned(::CreateFileW(found.place.name.c_str(), GENERIC_WRITE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE,
                                        nullptr, OPEN_EXISTING, 0, nullptr));
  if (!file) {
    error = last_error();
    return nullptr;
  }
  if (::GetFileType(handle_of(file)) == FILE_TYPE_DISK) {
    error = std::make_error_code(std::errc::resource_unavailable_try_again);
    return nullptr;
  }
  return file;
}

// Large pages here need a privilege that users do not have.
void advise_large_pages(void* /*start*/, std::size_t /*size*/) {}

}  // namespace varnel
