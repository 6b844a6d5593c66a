// The board as a whole (board.h): its status, the switches worked from
// outside the device (plug, power, an input level, a fault, the RAS
// devices) and a reset to a fresh default board.  The rooms beside it keep
// the rest: the state file's layout (state.h), its mapping (mapping.cpp)
// and validation (check.cpp), the request path (requests.cpp), the handle
// table (handles.cpp), the events (events.cpp), thread slots, the trace
// and the serial port's word.
#include "board/board.h"

#include "internal.h"

#include "board/device_files.h"
#include "board/registry_file.h"
#include "board/pin_names.h"
#include "board/serial.h"

#include <cerrno>
#include <cstring>

namespace board {

using namespace internal;

namespace {

// The RAS devices the board can have, all present on a fresh board.
struct KnownRasDevice {
    const char *name;
    const char *type;
};
const KnownRasDevice kRasDevices[] = {
    {"Serial on USB", "direct"},
    {"Serial Cable on COM1:", "direct"},
    {"Hayes Compatible on COM1:", "modem"},
};

// Sets a board-wide switch from outside the device, with its event.
void set_switch(uint32_t internal::State::*field, EventKind kind, bool on, Cause cause = Cause::Outside)
{
    internal::State *s = validated(true);
    if (__atomic_exchange_n(&(s->*field), uint32_t(on), __ATOMIC_ACQ_REL) != uint32_t(on))
        write_event(s, kind, cause, -1, on, !on);
}

}  // namespace

bool plugged() { return load(validated(true)->plugged) != 0; }

void set_plugged(bool on) { set_switch(&internal::State::plugged, EventKind::Device, on); }

void set_power(bool on, bool by_system)
{
    set_switch(&internal::State::powered, EventKind::Power, on, by_system ? Cause::System : Cause::Outside);
}

void set_input(int pin, int level)
{
    if (pin < 0 || pin >= kPins)
        throw Error{"pin " + std::to_string(pin) + " is not on the board (0 to " +
                    std::to_string(kPins - 1) + ")"};
    internal::State *s = validated(true);
    PinLine &p = s->pins[pin];
    int8_t external = static_cast<int8_t>(level < 0 ? -1 : level != 0);
    int8_t was = __atomic_exchange_n(&p.external, external, __ATOMIC_ACQ_REL);
    store(p.touched, uint8_t(1));
    int8_t driven = load(p.driven);
    int before = was >= 0 ? was : driven, now = external >= 0 ? external : driven;
    if (before != now)
        write_event(s, EventKind::Pin, Cause::Outside, pin, now, before);
}

void arm_fault() { set_switch(&internal::State::fault_armed, EventKind::FaultArmed, true); }

void reset()
{
    std::string d = dir();
    if (!file_util::mkdirs(d))
        throw Error{"cannot create board folder " + d + ": " + std::strerror(errno)};
    file_util::Folder folder(d);
    std::string p = state_path(d);
    std::string unretired = replace_state(folder, p, Replace::Always);
    tidy(folder);
    // The next use maps the new file (the old one reads magic 0 anyway).
    forget_mapping();
    reg::reset();
    files::reset();
    serial::reset();
    pin_names::clear(folder);
    // Said once the reset is whole: the programs that used the old board
    // find the new one by its name, later than by the mark.
    if (!unretired.empty())
        throw Error{"the fresh board is in place, but the state file it replaced could not be marked "
                    "retired (" + unretired + "); programs still on the old board move to the fresh one "
                    "when they next look at " + p};
}

Status status()
{
    internal::State *s = validated(true);
    Status st{};
    st.plugged = load(s->plugged);
    st.powered = load(s->powered);
    st.fault_armed = load(s->fault_armed);
    for (const Counter &c : s->requests)
        st.requests += load(c.n);
    for (int i = 0; i < kPins; ++i)
        st.pins[i] = Pin{load(s->pins[i].driven), load(s->pins[i].external),
                         load(s->pins[i].touched) != 0};
    for (int c = 0; c < kChannels; ++c)
        st.pwm[c] = pwm_unpack(load(s->pwm[c]));
    return st;
}

std::vector<RasDevice> ras_devices()
{
    uint32_t absent = load(validated(true)->ras_absent);
    std::vector<RasDevice> out;
    for (size_t i = 0; i < sizeof kRasDevices / sizeof kRasDevices[0]; ++i)
        out.push_back(RasDevice{kRasDevices[i].name, kRasDevices[i].type, !(absent & (1u << i))});
    return out;
}

bool set_ras_device(const std::string &name, bool present)
{
    internal::State *s = validated(true);
    for (size_t i = 0; i < sizeof kRasDevices / sizeof kRasDevices[0]; ++i) {
        if (reg::same_name(name, kRasDevices[i].name)) {
            if (present)
                __atomic_fetch_and(&s->ras_absent, ~(1u << i), __ATOMIC_ACQ_REL);
            else
                __atomic_fetch_or(&s->ras_absent, 1u << i, __ATOMIC_ACQ_REL);
            return true;
        }
    }
    return false;
}

}  // namespace board
