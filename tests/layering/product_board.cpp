// Breaks the layering on purpose: product code may not see the board.
// Not even by its path: the header itself refuses product code.
#include "../../board/include/board/board.h"

int main() { return board::plugged() ? 0 : 1; }
