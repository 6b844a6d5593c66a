// The request path: a driver request answered from the mapped state with
// atomic operations only, no lock and no system call, and the hold tests
// put on requests.
#include "internal.h"

#include "common/ce_errors.h"

#include <cstring>
#include <unistd.h>

namespace board {
namespace internal {
namespace {

// Whether the board holds requests now: a hold lasts kHoldSeconds at most,
// and one further off was not set by hold_requests.
constexpr uint32_t kHoldSeconds = 60;
bool held_now(State *s)
{
    uint32_t until = load(s->hold);
    if (until == 0)
        return false;
    uint64_t now = monotonic_now() / 1000000000u + 1;
    if (now < until && until - now <= kHoldSeconds)
        return true;
    // Lapsed: the requests that follow need not look further.
    __atomic_compare_exchange_n(&s->hold, &until, 0u, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE);
    return false;
}

// A request waits here while the board holds requests (or until the file
// is retired by a reset).
void wait_while_held(State *s)
{
    __atomic_fetch_add(&s->held, 1u, __ATOMIC_ACQ_REL);
    while (held_now(s) && load(s->magic) == kMagic)
        usleep(1000);
    __atomic_fetch_sub(&s->held, 1u, __ATOMIC_ACQ_REL);
}

// Whether some reader of events wants the requests that change nothing
// (a wish that ends by itself unless renewed: a reader killed leaves none).
bool requests_wanted(State *s)
{
    uint64_t until = load(s->requests_until);
    if (until == 0)
        return false;
    uint64_t now = monotonic_now();
    // No reader wishes for longer than kWishLasts: a time further off was
    // not written by one, and ends now.
    if (now < until && until - now <= kWishLasts)
        return true;
    __atomic_compare_exchange_n(&s->requests_until, &until, uint64_t(0), false, __ATOMIC_ACQ_REL,
                                __ATOMIC_ACQUIRE);
    return false;
}

// Drives a pin for a set request.
void drive(State *s, int pin, int8_t level)
{
    PinLine &p = s->pins[pin];
    int8_t was = load(p.driven);
    if (was != level)
        was = __atomic_exchange_n(&p.driven, level, __ATOMIC_ACQ_REL);
    if (!load(p.touched))
        store(p.touched, uint8_t(1));
    // The level changes only when no level is applied from outside.
    int8_t external = load(p.external);
    if (was != level && external < 0) {
        write_event(s, EventKind::Pin, Cause::Request, pin, level, was);
    } else if (requests_wanted(s)) {
        uint32_t stays = external >= 0 ? external : level;  // the pin's level, unchanged
        write_event(s, EventKind::Write, Cause::Request, pin, stays, stays);
    }
}

// Changes a PWM channel's word as change() says, and writes the event.
template <class Change> void change_pwm(State *s, uint32_t channel, Change change)
{
    uint32_t &p = s->pwm[channel];
    uint32_t was = load(p), now;
    do {
        now = change(was);
    } while (!__atomic_compare_exchange_n(&p, &was, now, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE));
    if (now != was || requests_wanted(s))
        write_event(s, EventKind::Pwm, Cause::Request, static_cast<int>(channel), now, was);
}

int32_t word(const void *in, int i)
{
    int32_t w;
    std::memcpy(&w, static_cast<const char *>(in) + 4 * i, 4);
    return w;
}

Result fail(uint32_t error) { return Result{false, error, 0, false}; }

// This thread's shard of the request counter.
Counter &my_counter(State *s) { return s->requests[thread_slot() % kCounterShards]; }

Result answer(State *s, uint32_t code, const void *in, uint32_t in_size, void *out,
              uint32_t out_size)
{
    if (load(s->hold))
        wait_while_held(s);
    __atomic_fetch_add(&my_counter(s).n, 1, __ATOMIC_RELAXED);
    if (load(s->fault_armed) && __atomic_exchange_n(&s->fault_armed, 0u, __ATOMIC_ACQ_REL)) {
        write_event(s, EventKind::FaultRaised, Cause::Request, -1, 1, 0);
        return Result{false, 0, 0, true};
    }
    switch (code) {
    case kSetPin:
    case kGetPin: {
        if (!in || in_size != 8)
            return fail(ce_error::kInvalidParameter);
        int32_t pin = word(in, 0);
        if (pin < 0 || pin >= kPins)
            return fail(ce_error::kInvalidParameter);
        if (code == kSetPin) {
            drive(s, pin, static_cast<int8_t>(word(in, 1) != 0));
            return Result{true, 0, 0, false};
        }
        if (!out || out_size < 8)
            return fail(ce_error::kInsufficientBuffer);
        int8_t external = load(s->pins[pin].external);
        int32_t level = external >= 0 ? external : load(s->pins[pin].driven);
        // A byte changed by another program since the open is not handed on.
        if (external < -1 || (level != 0 && level != 1))
            throw refusal(Check::Damaged, dir());
        if (requests_wanted(s))
            write_event(s, EventKind::Read, Cause::Request, pin, level, level);
        // Word 2 of the record carries the level back; word 1 is the pin.
        std::memcpy(static_cast<char *>(out), &pin, 4);
        std::memcpy(static_cast<char *>(out) + 4, &level, 4);
        return Result{true, 0, 8, false};
    }
    case kPwmStart:
    case kPwmStop:
    case kPwmSet: {
        if (!in || in_size != 20)
            return fail(ce_error::kInvalidParameter);
        uint32_t channel = static_cast<uint32_t>(word(in, 0));
        if (channel >= kChannels)
            return fail(ce_error::kInvalidParameter);
        if (code == kPwmStart) {
            change_pwm(s, channel, [](uint32_t w) { return w | kPwmRunning; });
        } else if (code == kPwmStop) {
            change_pwm(s, channel, [](uint32_t w) { return w & ~kPwmRunning; });
        } else {
            uint32_t cr = word(in, 2), dcr = word(in, 3), pcr = word(in, 4);
            if (cr > kMaxCr || dcr > kMaxRate || pcr > kMaxRate)
                return fail(ce_error::kInvalidParameter);
            // The registers change together; whether it runs is kept.
            change_pwm(s, channel,
                       [&](uint32_t w) { return (w & kPwmRunning) | pwm_pack(cr, dcr, pcr); });
        }
        return Result{true, 0, 0, false};
    }
    default:
        return fail(ce_error::kNotSupported);
    }
}

}  // namespace
}  // namespace internal

using namespace internal;

bool open_device()
{
    // Read from the board validated, unless a reset retired it meanwhile.
    for (int attempt = 0;; ++attempt) {
        State *s = validated(false);
        uint32_t plugged = load(s->plugged);
        if (load(s->magic) == kMagic || attempt > 20) {
            if (plugged)
                count_opened(s);
            return plugged != 0;
        }
    }
}

Result device_request(uint32_t code, const void *in, uint32_t in_size, void *out, uint32_t out_size)
{
    // The handle's open validated the board; a request only notices a
    // file retired (or cut short) meanwhile, by its magic word, and is
    // then answered by the board now in its place.
    for (int attempt = 0;; ++attempt) {
        State *s = current();
        Result r = answer(s, code, in, in_size, out, out_size);
        if (r.fault || load(s->magic) == kMagic || attempt > 0)
            return r;
    }
}

Result request(uint32_t code, const void *in, uint32_t in_size, void *out, uint32_t out_size)
{
    validated(true);
    return device_request(code, in, in_size, out, out_size);
}

void hold_requests(bool on)
{
    store(validated(true)->hold, on ? static_cast<uint32_t>(monotonic_now() / 1000000000u + kHoldSeconds + 1) : 0u);
}

unsigned requests_held() { return load(validated(true)->held); }

}  // namespace board
