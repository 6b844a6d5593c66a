// The project's version for --version, in a file of its own that the build
// writes (version.cpp.in): a new commit recompiles that file alone.
#pragma once

namespace cli {

const char *version();

}  // namespace cli
