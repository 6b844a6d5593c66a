// Where the fields of the state file lie, taken from the board's own layout
// (board/state.h), for tests that change bytes of the file as another
// program would: a field moved or renamed moves or breaks the test with it.
#pragma once

#include "board/state.h"

#include <sys/types.h>

namespace test_support {

using board::internal::State;

// The offset in the file of what at() picks out of a state.
template <class Pick> off_t state_offset(Pick at)
{
    static State *image = new State;
    return static_cast<off_t>(static_cast<const char *>(at(*image)) - reinterpret_cast<const char *>(image));
}

}  // namespace test_support

// STATE_AT(pins[5].external): the offset of that field in board.state.
#define STATE_AT(field) \
    test_support::state_offset([&](test_support::State &s) -> const void * { return &s.field; })
