// Text on a Windows console: wide characters, whatever its code page.
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <string>

#include "console/console_output.h"
#include "console/terminal.h"

namespace varnel {
namespace {

// The text as the console takes it: UTF-16, "\n" as "\r\n". Bytes that are no
// UTF-8 show as U+FFFD.
std::wstring console_text(std::string_view utf8) {
  std::wstring text;
  std::size_t start = 0;
  while (start < utf8.size()) {
    const std::size_t newline = utf8.find('\n', start);
    const std::size_t end =
        newline == std::string_view::npos ? utf8.size() : newline;
    if (end > start) {
      const auto length = static_cast<int>(end - start);
      const int size = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data() + start,
                                             length, nullptr, 0);
      const std::size_t at = text.size();
      text.resize(at + static_cast<std::size_t>(std::max(size, 0)));
      if (size <= 0 ||
          ::MultiByteToWideChar(CP_UTF8, 0, utf8.data() + start, length,
                                text.data() + at, size) != size) {
        return {};
      }
    }
    if (newline == std::string_view::npos) {
      break;
    }
    text += L"\r\n";
    start = newline + 1;
  }
  return text;
}

bool write_console(std::FILE* stream, std::string_view utf8) {
  if (std::fflush(stream) != 0) {
    return false;
  }
  const std::wstring text = console_text(utf8);
  if (text.empty() != utf8.empty()) {
    return false;
  }
  HANDLE console =
      reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(stream)));
  // In pieces, as older consoles take no more than some 32 KiB at once.
  constexpr std::size_t kPiece = 8192;
  for (std::size_t at = 0; at < text.size();) {
    const auto length = static_cast<DWORD>(std::min(kPiece, text.size() - at));
    DWORD written = 0;
    if (::WriteConsoleW(console, text.data() + at, length, &written, nullptr) ==
            0 ||
        written == 0) {
      return false;
    }
    at += written;
  }
  return true;
}

}  // namespace

bool write_text(std::FILE* stream, std::string_view utf8) {
  if (is_terminal(stream)) {
    return write_console(stream, utf8);
  }
  return std::fwrite(utf8.data(), 1, utf8.size(), stream) == utf8.size();
}

}  // namespace varnel
