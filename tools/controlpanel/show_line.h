// The line a script's show prints for one control, shared by the host's
// Control Panel and the Windows driver of the same scripts
// (tests/win32/dlgdrive.cpp), so that their transcripts can be compared
// line for line:
//   <id> <kind> "<text>" <state>
// A static without an id (0xFFFF in the template) shows -1; quotes and
// backslashes in the text are escaped, a line break shows as \n.  state is
// "checked=0|1" for check boxes and radio buttons, "pos= min= max= page="
// for scroll bars, nothing for the others.
#pragma once

#include <string>

namespace cpl {

inline std::string show_line(int id, const char *kind, const std::string &utf8_text,
                             const std::string &state)
{
    std::string line = std::to_string(id == 0xFFFF ? -1 : id) + " " + kind + " \"";
    for (char ch : utf8_text) {
        if (ch == '"' || ch == '\\')
            line += '\\';
        if (ch == '\n')
            line += "\\n";
        else
            line += ch;
    }
    line += '"';
    if (!state.empty())
        line += " " + state;
    return line;
}

inline std::string show_checked(bool checked) { return checked ? "checked=1" : "checked=0"; }

inline std::string show_scroll(int pos, int min, int max, unsigned page)
{
    return "pos=" + std::to_string(pos) + " min=" + std::to_string(min) + " max=" +
           std::to_string(max) + " page=" + std::to_string(page);
}

}  // namespace cpl
