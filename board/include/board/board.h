// The simulated board: the GPIO/PWM hardware behind "GPI1:", its power and
// its device presence.  Its state lives in a small file in the board folder
// (BOARD_DIR), mapped into every process that uses the board, so every
// process on the same folder sees one board.  Each field is a word read and
// written atomically, without a lock: a process killed mid-request leaves
// every word of the state valid.  Only the first mapping of a board (which
// may have to write its fresh state), a reset (and the registry) take a
// lock.
#pragma once

#ifdef CE_PRODUCT_CODE
#error "product code reaches the board only through the platform (platform/platform.h)"
#endif

#include "board/folder.h"
#include "board/serial_port.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace board {

constexpr int kPins = 64;
constexpr int kChannels = 2;
constexpr int kMaxCr = 63;
constexpr int kMaxRate = 1023;

// Request codes of the driver (device type 0x812C, buffered, any access).
constexpr uint32_t kSetPin = 0x812C0004;
constexpr uint32_t kGetPin = 0x812C0008;
constexpr uint32_t kPwmStart = 0x812C0014;
constexpr uint32_t kPwmStop = 0x812C0018;
constexpr uint32_t kPwmSet = 0x812C001C;

struct Pwm {
    uint32_t running;
    uint32_t cr, dcr, pcr;
};

struct Pin {
    int driven;    // 0 or 1
    int external;  // -1: none applied, else 0 or 1
    bool touched;  // driven by a request or given an external level since reset
    int level() const { return external >= 0 ? external : driven; }
};

struct Status {
    bool plugged;
    bool powered;
    bool fault_armed;
    uint64_t requests;
    Pin pins[kPins];
    Pwm pwm[kChannels];
};

// What an image of the state file holds, judged as every use of the board
// judges its mapped file: the right size, magic and version, and every field
// a value the board writes (Damaged otherwise).  Retired is the image a
// 'board reset' leaves in the file it replaced (its first word 0).
// Earlier is a state an earlier build wrote (its magic and an older
// version, of any size): the board replaces it with a fresh state, keeping
// its registry and files, as a new image starts the hardware afresh.
enum class StateImage { Ok, WrongSize, Retired, OtherVersion, Damaged, Earlier };
StateImage check_state_image(const void *image, size_t size);

// Result of a driver request.  error is the platform error number on failure.
struct Result {
    bool ok;
    uint32_t error;
    uint32_t returned;  // bytes written to the output buffer
    bool fault;         // the board was told to raise a fault on this request
};

// Opening a handle on the driver: validates the board (maps it when this
// process has not, or when the file was replaced or damaged since), tells
// whether the device is there and, when it is, counts the handle as
// handle_opened() does.  Throws Error.
bool open_device();
// One request through a handle open_device() validated, as DeviceIoControl
// hands it over: atomic operations on the mapped state, no system call.
Result device_request(uint32_t code, const void *in, uint32_t in_size, void *out,
                      uint32_t out_size);
// One request with a validation of its own (as if through a handle opened
// for it alone, whether the device is there or not).
Result request(uint32_t code, const void *in, uint32_t in_size, void *out, uint32_t out_size);

bool plugged();
void set_plugged(bool on);
// Power: by_system when the device's own system switches it (a program
// powering the device off), else from outside.
void set_power(bool on, bool by_system = false);
void set_input(int pin, int level);  // level -1 releases the pin; Error if no such pin
void arm_fault();                    // the next request raises a fault
// For tests: while held, every request (of any process) waits inside the
// driver before it answers, until released (or for a minute at most: a
// test killed while it held them does not hang the board for good);
// requests_held() tells how many wait so now.  A reset releases them.
void hold_requests(bool on);
unsigned requests_held();
// For a program that handles SIGBUS itself, installing its handler after
// the board's (which it then replaces): whether the bus error at addr was
// in the board's mapping, a state file cut short by another program.  When
// so, zeros have taken the lost pages' place, as the board's own handler
// does, and the handler returns so that the access goes on.  Safe to call
// in a signal handler.
bool take_bus_fault(const void *addr);

// A fresh default board: state, registry and device files.
void reset();
Status status();

// Driver handles one process holds open on GPI1:.  alive is false once the
// process has ended (the board keeps its count until the slot is needed).
struct OpenHandles {
    int pid;
    uint32_t count;
    bool alive;
};
// Counts a driver handle this process opened or closed.  The board keeps
// the counts of up to kHandleSlots processes; a process that finds no room
// (every slot held by a live process) is not counted.
constexpr int kHandleSlots = 32;
void handle_opened();
void handle_closed();
// For a server of the driver to programs it cannot share the mapping with:
// while one lives, the handles this thread opens and closes and the events
// its requests write count for process pid (pid > 0).
class RequestsFor {
public:
    explicit RequestsFor(int pid);
    ~RequestsFor();
    RequestsFor(const RequestsFor &) = delete;
    RequestsFor &operator=(const RequestsFor &) = delete;

private:
    int was_;
};
// The processes that hold driver handles, in slot order.
std::vector<OpenHandles> open_handles();

// A device the platform's remote access service can dial out on.
struct RasDevice {
    std::string name;  // "Serial on USB"
    std::string type;  // "direct", "modem"
    bool present;
};
// Every RAS device the board knows, present or taken away.
std::vector<RasDevice> ras_devices();
// Takes a device away or brings it back; false when the board knows no
// device of that name (compared without regard to case).
bool set_ras_device(const std::string &name, bool present);

// A small number for the calling thread (from 0), which no other running
// thread of the process holds while fewer than 64 run: threads that write
// shared counters or tables each use their own part of them.  A thread's
// number is given to the next thread once it ends.
unsigned thread_slot();

// Whether BOARD_TRACE names a file (trace() then writes to it).
bool tracing();

// Appends one whole line (a newline is added) to the file BOARD_TRACE names,
// when it names one.
void trace(const std::string &line);

// The name a request code is traced under.
std::string code_name(uint32_t code);
// A request's trace line is the two joined: the request as it went out
// (its code, size and first 16 words, before the driver may answer into
// the record), then the answer ("1", "1 level=L" for a read, "0", "0 fault").
std::string request_sent(uint32_t code, const void *in, uint32_t in_size);
std::string request_answer(uint32_t code, const Result &r, const void *out);

}  // namespace board
