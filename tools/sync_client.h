// The desktop synchronisation client's side of the board: whether the
// connection to the desktop computer would come up, and over which device.
// It reads HKEY_CURRENT_USER\ControlPanel\Comm "Cnct" and the phone-book
// entry it names through the platform's own calls, as the client does on
// the board, and looks for the entry's device among the board's.
#pragma once

#include <string>

struct SyncVerdict {
    bool connected;
    // One line: connected through "`USB" on "Serial on USB", or
    // not connected: and exactly why.
    std::string line;
};

SyncVerdict sync_verdict();
