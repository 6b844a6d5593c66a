// A pin on the tools' command lines: its number (decimal, "010" is ten) or
// the name 'board name' gave it.  The names file is read only when an
// argument is no number, so a damaged file stands in the way of names only.
#pragma once

#include "board/pin_names.h"

#include <optional>
#include <string>

namespace tools {

class PinReader {
public:
    // The pin s names; false with *error the line a usage error says.
    // Throws board::Error when the names file is damaged.
    bool read(const std::string &s, int *pin, std::string *error);

private:
    std::optional<board::pin_names::Names> names_;
};

}  // namespace tools
