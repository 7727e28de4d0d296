// Descriptors 0, 1 and 2 as the commands need them: taken, whatever the
// program was started with.
#pragma once

namespace varnel {

// Opens the null device on each of standard input, output and error that
// was closed when the program started (`<&-`, `>&-` in a shell), so that no
// file the program opens later takes its number: a report or a message
// written to standard output must never land in an image. Each is opened
// the other way round (input for writing, output and error for reading), so
// that using it still fails, as it would have closed. To be called first
// thing. False when the null device cannot be opened.
[[nodiscard]] bool take_closed_standard_streams();

}  // namespace varnel
