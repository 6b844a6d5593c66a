// A phone-book entry as registry values a person can read: one value per
// field of the RASENTRY record that is not zero ("DeviceName"="Serial on
// USB", "Options"=dword:00000218, "IpAddress"="10.0.0.2").  A text field
// that holds more than one zero-terminated string is kept as binary, so the
// record always reads back byte for byte.
#pragma once

#ifndef CEPLAT_INTERNAL
#error "a private header of the platform stand-in: use its public headers (platform/host/include)"
#endif

#include "include/ce_host.h"
#include "board/registry_file.h"

#include <vector>

namespace host {

std::vector<board::reg::Value> entry_values(const RASENTRY &entry);

// The record the values describe (dwSize set, absent fields zero); false
// when a value has the wrong type or size for its field.
bool entry_from_values(const std::vector<board::reg::Value> &values, RASENTRY *entry);

}  // namespace host
