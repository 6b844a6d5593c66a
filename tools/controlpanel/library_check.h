// A look at an applet library before the loader maps it.  The loader maps
// every loadable segment of the file as its headers describe it; a segment
// that reaches past the end of a damaged (cut short) file is mapped all the
// same, and the first touch of its missing part ends the process with a bus
// error.  So a file is loaded only when its headers, its segments, its
// sections and the dynamic data the loader reads all lie within it.
#pragma once

#include <string>

namespace cpl {

// Why the library at path must not be handed to the loader, or "" when
// nothing stands against it.  Reads the file; never maps or runs it.
std::string library_problem(const std::string &path);

}  // namespace cpl
