// The GTKWave save file of a capture (gtkw.h).
#include "gtkw.h"

#include "board/board.h"

namespace gtkw {

namespace {

// GTKWave's trace flags, in hexadecimal after '@': right-justified (0x20)
// and binary (0x08) for a one-bit wire, decimal (0x04) for a register.
const char kBits[] = "@28\n";
const char kDecimal[] = "@24\n";

}  // namespace

std::string save_name(const std::string &capture)
{
    const std::string vcd = ".vcd";
    if (capture.size() > vcd.size() && capture.compare(capture.size() - vcd.size(), vcd.size(), vcd) == 0)
        return capture.substr(0, capture.size() - vcd.size()) + ".gtkw";
    return capture + ".gtkw";
}

bool quotable(const std::string &name)
{
    for (unsigned char c : name)
        if (c == '"' || c == '\\' || c < 0x20 || c == 0x7f)
            return false;
    return true;
}

std::string text(const Save &s)
{
    std::string t = "[*]\n[*] " + s.version + ": the PWM channels, then the pins in use\n[*]\n";
    t += "[dumpfile] \"" + s.dumpfile + "\"\n";
    t += "[savefile] \"" + s.savefile + "\"\n";
    t += "[timestart] 0\n[treeopen] board.\n";
    // The registers as the capture declares them: cr 6 bits, dcr and pcr 10.
    for (int c = 0; c < board::kChannels; ++c) {
        std::string ch = "board.pwm" + std::to_string(c);
        t += kBits + ch + "_running\n";
        if (!s.logic_only)
            t += kDecimal + ch + "_cr[5:0]\n" + ch + "_dcr[9:0]\n" + ch + "_pcr[9:0]\n" + kBits;
        t += ch + "_out\n" + ch + "_too_fast\n";
    }
    for (const std::string &w : s.pin_wires)
        t += "board." + w + "\n";
    t += "board.power\nboard.present\n";
    return t;
}

}  // namespace gtkw
