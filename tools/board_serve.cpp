// board serve: the board's GPI1: served on 127.0.0.1 to desktop builds of
// the product (platform/win32/served.cpp), each connection one driver
// handle of the client's process, each request through the board's own
// request path.
#include "served_file.h"

#include "board/board.h"
#include "board/file_util.h"
#include "common/text.h"
#include "platform/served_wire.h"

#include "board_commands.h"
#include "cli.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const char kDescription[] =
    "Serves the board's GPI1: (the board in BOARD_DIR) to desktop Windows builds of\n"
    "the product: their CreateFileW(L\"GPI1:\"), DeviceIoControl and CloseHandle\n"
    "reach this board when BOARD_GPI1 names it.  Its first line on standard output,\n"
    "once it is ready, is that setting (BOARD_GPI1=127.0.0.1:PORT:SECRET); the same\n"
    "line is kept in BOARD_DIR/gpi1.served, readable by its owner only, for as\n"
    "long as it serves.  It serves until SIGINT or SIGTERM.";

const char kFooter[] =
    "Each connection is one driver handle of the client's process, counted in\n"
    "'board status' under the process id the client gives.  Requests are answered\n"
    "as the host's are: the same checks, trace lines when BOARD_TRACE is set, events\n"
    "with cause request, the test hold, an armed fault, an unplugged device.\n"
    "Only 127.0.0.1 is listened on, and a connection that does not give the\n"
    "secret first is closed.  A connection that sends a malformed or oversized\n"
    "frame is closed, with one line on stderr; the others go on.\n"
    "\n"
    "Exit status: 0 after SIGINT or SIGTERM; 1 the board could not be used, or\n"
    "another server serves it already; 2 bad arguments.\n";

// Connections at once; one more is closed at once, with a line.
constexpr int kMostConnections = 128;
// A connection gives its hello within this, or is closed.
constexpr int kHelloSeconds = 5;

std::mutex g_log_lock;
void log_line(const std::string &line)
{
    std::lock_guard<std::mutex> guard(g_log_lock);
    std::fprintf(stderr, "board serve: %s\n", line.c_str());
}

// The connections open now, for the end to shut them.
struct Connections {
    std::mutex lock;
    std::condition_variable none_left;
    std::set<int> fds;
    bool stopping = false;
};
Connections g_connections;
// What a client gives in its hello; made once, before the first connection.
unsigned char g_secret[SERVED_SECRET_BYTES];

// Reads exactly n bytes; false on an end, an error or a timeout.
bool read_all(int fd, void *buf, size_t n)
{
    char *p = static_cast<char *>(buf);
    while (n) {
        ssize_t got = recv(fd, p, n, 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got == 0)
            errno = 0;
        if (got <= 0)
            return false;
        p += got;
        n -= static_cast<size_t>(got);
    }
    return true;
}

bool write_all(int fd, const void *buf, size_t n)
{
    const char *p = static_cast<const char *>(buf);
    while (n) {
        ssize_t put = send(fd, p, n, MSG_NOSIGNAL);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return false;
        p += put;
        n -= static_cast<size_t>(put);
    }
    return true;
}

// Compares without leaving the time it takes to the first difference.
bool same_secret(const unsigned char *a, const unsigned char *b)
{
    unsigned char diff = 0;
    for (int i = 0; i < SERVED_SECRET_BYTES; ++i)
        diff |= a[i] ^ b[i];
    return diff == 0;
}

// One connection: a hello, one handle's requests until its close, and
// again for as long as the client keeps the connection (a handle at a time).
class Session {
public:
    Session(int fd, unsigned long number, const unsigned char *secret)
        : fd_(fd), number_(number), secret_(secret)
    {
    }
    void run();

private:
    // The reason a connection was closed, as its line says.
    void refuse(const std::string &why) { log_line("connection " + std::to_string(number_) + ": " + why + "; closed"); }
    // The first hello of a connection must come within kHelloSeconds.
    bool hello(served_hello *h, bool first);
    // One hello and what it asks for: false when the connection is to end.
    bool one_handle(bool first);
    // The open of the handle; the error that refused it (0: open).
    uint32_t open();
    // Requests until the handle is closed (true) or the connection ends.
    bool serve_requests();
    bool request(const served_request &r);
    void close_handle(bool traced);

    int fd_;
    unsigned long number_;
    const unsigned char *secret_;
};

bool Session::hello(served_hello *h, bool first)
{
    if (!read_all(fd_, h, sizeof *h)) {
        // A connection kept for a next handle may end quietly.
        if (first)
            refuse(errno == EAGAIN || errno == EWOULDBLOCK
                       ? "no hello within " + std::to_string(kHelloSeconds) + " s"
                       : "ended before its hello");
        return false;
    }
    if (h->magic != SERVED_MAGIC || h->version != SERVED_VERSION || h->purpose > SERVED_POWER_OFF) {
        refuse("a malformed hello");
        return false;
    }
    if (!same_secret(h->secret, secret_)) {
        refuse("a wrong secret");
        return false;
    }
    if (h->pid == 0 || h->pid > 0x7FFFFFFFu) {
        refuse("a hello without a process id");
        return false;
    }
    return true;
}

uint32_t Session::open()
{
    try {
        if (!board::open_device())
            return 2;  // ERROR_FILE_NOT_FOUND, as the host's open gives
    } catch (const board::Error &e) {
        log_line(e.message);
        return 31;  // ERROR_GEN_FAILURE
    }
    board::trace("open");
    return 0;
}

void Session::close_handle(bool traced)
{
    try {
        board::handle_closed();
    } catch (const board::Error &e) {
        log_line(e.message);
    }
    if (traced)
        board::trace("close");
}

bool Session::request(const served_request &r)
{
    bool has_in = !(r.flags & SERVED_IN_NULL), has_out = !(r.flags & SERVED_OUT_NULL);
    uint32_t carried = has_in ? std::min<uint32_t>(r.in_size, SERVED_MAX_BYTES) : 0;
    if (r.length > SERVED_MAX_BYTES) {
        refuse("an oversized request (" + std::to_string(r.length) + " bytes)");
        return false;
    }
    if (r.length != carried || (r.flags & ~(SERVED_IN_NULL | SERVED_OUT_NULL))) {
        refuse("a malformed request");
        return false;
    }
    // Room for what the board reads and writes of a record, and more.
    unsigned char in[SERVED_MAX_BYTES] = {}, out[SERVED_MAX_BYTES] = {};
    if (!read_all(fd_, in, r.length))
        return false;
    // A size beyond the buffer is told as the buffer's: the board reads
    // and writes a record of 20 bytes at most, and only at its own size.
    uint32_t in_size = r.in_size;
    uint32_t out_size = std::min<uint32_t>(r.out_size, SERVED_MAX_BYTES);
    bool tracing = board::tracing();
    std::string sent;
    if (tracing)
        sent = board::request_sent(r.code, has_in ? in : nullptr, in_size);
    board::Result res;
    try {
        res = board::device_request(r.code, has_in ? in : nullptr, in_size, has_out ? out : nullptr, out_size);
    } catch (const board::Error &e) {
        log_line(e.message);
        res = board::Result{false, 31, 0, false};
    }
    if (tracing)
        board::trace(sent + board::request_answer(r.code, res, out));
    served_answer a = {res.ok ? 1u : 0u, res.error, has_out ? std::min<uint32_t>(res.returned, out_size) : 0u,
                       res.fault ? 1u : 0u};
    unsigned char reply[sizeof a + SERVED_MAX_BYTES];
    std::memcpy(reply, &a, sizeof a);
    std::memcpy(reply + sizeof a, out, a.returned);
    return write_all(fd_, reply, sizeof a + a.returned);
}

bool Session::serve_requests()
{
    for (;;) {
        served_request r;
        if (!read_all(fd_, &r, sizeof r)) {
            close_handle(false);  // dropped: the handle ends with its connection
            return false;
        }
        if (r.kind == SERVED_CLOSE) {
            close_handle(true);
            return true;
        }
        if (r.kind != SERVED_REQUEST) {
            refuse("a frame of unknown kind " + std::to_string(r.kind));
            close_handle(false);
            return false;
        }
        if (!request(r)) {
            close_handle(false);
            return false;
        }
    }
}

bool Session::one_handle(bool first)
{
    served_hello h;
    if (!hello(&h, first))
        return false;
    if (first) {
        // Kept for the next handle once this one is closed, for as long as
        // the client likes.
        struct timeval none = {0, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &none, sizeof none);
    }
    // Everything from here counts for the client's process.
    board::RequestsFor client(static_cast<int>(h.pid));
    served_opened o = {SERVED_MAGIC, 0};
    if (h.purpose == SERVED_POWER_OFF) {
        // The system's power off: no handle is opened for it.
        try {
            board::set_power(false, true);
            board::trace("poweroff");
        } catch (const board::Error &e) {
            log_line(e.message);
            o.error = 31;
        }
        return write_all(fd_, &o, sizeof o);
    }
    o.error = open();
    if (!write_all(fd_, &o, sizeof o)) {
        if (o.error == 0)
            close_handle(false);
        return false;
    }
    return o.error != 0 || serve_requests();
}

void Session::run()
{
    int on = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    struct timeval limit = {kHelloSeconds, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    for (bool first = true; one_handle(first); first = false) {
    }
}

// The session of a connection accepted, on a thread of its own.
void serve_connection(int fd, unsigned long number, const unsigned char *secret)
{
    {
        Session s(fd, number, secret);
        s.run();
    }
    std::lock_guard<std::mutex> guard(g_connections.lock);
    g_connections.fds.erase(fd);
    close(fd);
    if (g_connections.fds.empty())
        g_connections.none_left.notify_all();
}

// Ends every connection and waits (a while) for their sessions; false
// when some are still at work.
bool end_connections()
{
    std::unique_lock<std::mutex> guard(g_connections.lock);
    g_connections.stopping = true;
    for (int fd : g_connections.fds)
        shutdown(fd, SHUT_RDWR);
    // A request the test hold keeps waiting ends with the hold, not here.
    if (g_connections.none_left.wait_for(guard, std::chrono::seconds(3),
                                         [] { return g_connections.fds.empty(); }))
        return true;
    log_line(std::to_string(g_connections.fds.size()) + " connections still busy at the end");
    return false;
}

int serve()
{
    board::status();  // the board is usable (or says why not) before anything is served
    board::file_util::Folder folder(board::dir());
    served::Claim claim(folder);
    if (!claim.held()) {
        std::fprintf(stderr, "board serve: %s is served already by another 'board serve'%s\n",
                     folder.path().c_str(), claim.other_pid() > 0
                         ? (" (pid " + std::to_string(claim.other_pid()) + ")").c_str() : "");
        return 1;
    }

    // Signals are taken by the main thread only, through a descriptor.  An
    // interrupt ignored from the start ('board wine' starts it so) is left
    // to the program in the foreground.
    struct sigaction interrupt {};
    sigaction(SIGINT, nullptr, &interrupt);
    sigset_t stops;
    sigemptyset(&stops);
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        if (sig != SIGINT || interrupt.sa_handler != SIG_IGN)
            sigaddset(&stops, sig);
    pthread_sigmask(SIG_BLOCK, &stops, nullptr);
    int signals = signalfd(-1, &stops, SFD_CLOEXEC);

    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (signals < 0 || listener < 0 || bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        listen(listener, 64) != 0 || getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
        std::fprintf(stderr, "board serve: cannot listen on 127.0.0.1: %s\n", std::strerror(errno));
        return 1;
    }
    served::make_secret(g_secret);
    std::string line = served::env_line(ntohs(addr.sin_port), g_secret);
    claim.publish(line);  // throws board::Error naming the file
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);

    unsigned long number = 0;
    for (;;) {
        struct pollfd fds[2] = {{listener, POLLIN, 0}, {signals, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (fds[1].revents)
            break;
        if (!(fds[0].revents & POLLIN))
            continue;
        int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        ++number;
        std::lock_guard<std::mutex> guard(g_connections.lock);
        if (g_connections.fds.size() >= size_t(kMostConnections)) {
            log_line("connection " + std::to_string(number) + ": " + std::to_string(kMostConnections) +
                     " connections are open already; closed");
            close(fd);
            continue;
        }
        g_connections.fds.insert(fd);
        std::thread(serve_connection, fd, number, g_secret).detach();
    }
    close(listener);
    claim.withdraw();
    if (!end_connections()) {
        // Their threads still use what an orderly exit would destroy.
        std::fflush(nullptr);
        _exit(0);
    }
    return 0;
}

}  // namespace

namespace board_tool {

Run define_serve(CLI::App &app)
{
    app.footer(std::string(kDescription) + "\n\n" + kFooter);
    return serve;
}

}  // namespace board_tool
