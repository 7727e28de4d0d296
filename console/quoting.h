// Names in the messages of both commands, in double quotes, with the bytes
// that could drive a terminal or forge a line written as escapes.
#pragma once

#include <string>
#include <string_view>

namespace varnel {

// `text` in double quotes, as every message of varnel-check names files and
// options. Control bytes, DEL, the C1 controls of UTF-8 and bytes that are no
// part of UTF-8 are written as C escapes (\n, \t, \033), as are the backslash
// (\\) and the double quote (\"), so that no name can move the cursor, start
// a terminal sequence or pass for another line, and every name can be read
// back. Other text, UTF-8 letters of any script included, is written as it
// is.
[[nodiscard]] std::string quoted(std::string_view text);

// The same without the quotes, for a name that stands alone in a hint.
[[nodiscard]] std::string escaped(std::string_view text);

// `text` with only the control bytes 0x00 to 0x1F and DEL written as the
// escapes above: what can start a terminal sequence or begin another line.
// Every other byte, a backslash, a double quote or one that is no UTF-8,
// stays as it is, so that an ordinary name is printed exactly as given: the
// names in varnel's messages, which scripts read.
[[nodiscard]] std::string controls_escaped(std::string_view text);

}  // namespace varnel
