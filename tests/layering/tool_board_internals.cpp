// Breaks the layering on purpose: a tool may use only the board's public
// headers, never the layout of its state file.
#include "board/state.h"

int main() { return 0; }
