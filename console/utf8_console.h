// The console both commands print on.
#pragma once

namespace varnel {

// Where the process has a console of its own (Windows), sets its output code
// page to UTF-8 for the length of the run, so that file names in any script
// show as given; the console's own code page is restored when the program
// exits. Elsewhere the terminal takes the bytes as they are: nothing to do.
void use_utf8_console();

}  // namespace varnel
