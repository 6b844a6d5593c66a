// The start-up of a windowed program, as the platform's C run-time start-up
// does it: static initialisers have run when main is reached; main calls
// WinMain with the program's instance handle, no previous instance, the
// command line (what follows the program's name) and the ordinary show
// state, and ends the process with WinMain's result.
#include "host.h"

#include <cstdlib>
#include <string>

namespace {
const int kShowNormal = 1;  // SW_SHOWNORMAL
}

int main(int argc, char **argv)
{
    std::string line;
    for (int i = 1; i < argc; ++i) {
        if (i > 1)
            line += ' ';
        line += argv[i];
    }
    std::u16string command_line = host::to_utf16(line);
    HINSTANCE instance = GetModuleHandleW(nullptr);
    int result = WinMain(instance, nullptr, &command_line[0], kShowNormal);
    std::exit(result);
}
