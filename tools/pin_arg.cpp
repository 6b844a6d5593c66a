#include "pin_arg.h"

#include "common/text.h"
#include "decimal.h"

namespace tools {

bool PinReader::read(const std::string &s, int *pin, std::string *error)
{
    uint64_t v;
    if (decimal(s, 0, board::kPins - 1, &v)) {
        *pin = static_cast<int>(v);
        return true;
    }
    if (!board::pin_names::name_fault(s)) {
        if (!names_)
            names_ = board::pin_names::load();
        int p = names_->find(s);
        if (p >= 0) {
            *pin = p;
            return true;
        }
    }
    *error = "PIN must be a pin number " + decimal_range(0, board::kPins - 1) + ", not '" + text::excerpt(s) +
             "'" + (board::pin_names::name_fault(s) ? "" : " (no pin has that name)");
    return false;
}

}  // namespace tools
