// The running program's own file, as the kernel names it, and the folder of
// the project's libraries: where a tool finds the applets and the device's
// programs, in the build folder and installed alike.
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

// The folder this library (cecommon) was loaded from, links resolved: the
// project's libraries, the applets and device/ lie there, beside the tools
// in a build folder and in a folder of their own under lib/ once installed.
// The program's folder when it cannot be told.
std::string library_folder();

}  // namespace self_path
