// The running program's own file, as the kernel names it: where a tool
// finds what the build put beside it.
#pragma once

#ifdef CE_PRODUCT_CODE
#error "product code has no host helpers: it calls the platform (platform/platform.h)"
#endif

#include <string>

namespace self_path {

// The program's file, a full path; "" when it cannot be told.
std::string program_file();

// The folder it is in: "." when that cannot be told, "/" for the root.
std::string program_folder();

}  // namespace self_path
