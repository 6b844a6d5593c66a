// Breaks the layering on purpose: a tool may use only the stand-in's
// public headers.
#include "platform/host/host.h"

int main() { return 0; }
