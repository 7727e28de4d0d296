// Names as varnel-check prints them: in double quotes, with every byte that a
// terminal would act on or that would make the line mean something else
// written as an escape.
#pragma once

#include <string>
#include <string_view>

namespace varnel {

// `text` in double quotes, as every message names files and options. Control
// bytes, DEL, the C1 controls of UTF-8 and bytes that are no part of UTF-8
// are written as C escapes (\n, \t, \033), as are the backslash (\\) and the
// double quote (\"), so that no name can move the cursor, start a terminal
// sequence or pass for another line, and every name can be read back. Other
// text, UTF-8 letters of any script included, is written as it is.
[[nodiscard]] std::string quoted(std::string_view text);

// The same without the quotes, for a name that stands alone in a hint.
[[nodiscard]] std::string escaped(std::string_view text);

}  // namespace varnel
