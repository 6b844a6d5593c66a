// 'board serve': a client speaking the desktop shim's frames gets the host's
// answers, handles and events; each bad connection is refused alone; one
// server a board; the secret file owner-only and gone at the end.
#include "board/board.h"
#include "board/events.h"
#include "board_folder.h"
#include "platform/served_wire.h"
#include "process.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using test_support::BoardFolder;
using Clock = std::chrono::steady_clock;

// Polls until pred holds or a generous deadline passes.
template <class Pred> bool eventually(Pred pred)
{
    auto deadline = Clock::now() + std::chrono::seconds(30);
    while (!pred()) {
        if (Clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

std::string read_text(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

size_t count_of(const std::string &text, const std::string &part)
{
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

// 'board serve' on the test's board: its first line read, its stderr in a file.
class Server {
public:
    explicit Server(const std::string &dir) : log_(dir + "/serve.log")
    {
        child::Launch launch;
        launch.argv = {BOARD_TOOL, "serve"};
        launch.err = child::Stream::file(log_, O_WRONLY | O_CREAT | O_TRUNC);
        pid_ = test_support::start_piped(launch, 1, &out_);
        std::string got;
        char c;
        struct pollfd p = {out_, POLLIN, 0};
        while (poll(&p, 1, 30000) > 0 && read(out_, &c, 1) == 1 && c != '\n')
            got += c;
        line = got;
        unsigned port = 0;
        char secret[64] = {};
        if (std::sscanf(got.c_str(), "BOARD_GPI1=127.0.0.1:%u:%32s", &port, secret) == 2) {
            this->port = static_cast<uint16_t>(port);
            for (int i = 0; i < SERVED_SECRET_BYTES; ++i)
                std::sscanf(secret + 2 * i, "%2hhx", &this->secret[i]);
        }
    }
    ~Server()
    {
        if (pid_ > 0)
            stop(SIGKILL);
        close(out_);
    }
    // Signals it and waits: its exit code (-1 for a signal).
    int stop(int sig)
    {
        kill(pid_, sig);
        int status = 0;
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        pid_ = 0;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string log() const { return read_text(log_); }

    std::string line;
    uint16_t port = 0;
    unsigned char secret[SERVED_SECRET_BYTES] = {};

private:
    std::string log_;
    pid_t pid_ = 0;
    int out_ = -1;
};

// One connection, as the desktop shim makes it.
class Client {
public:
    explicit Client(uint16_t port)
    {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected = connect(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
        int on = 1;
        setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    }
    ~Client() { close(fd_); }
    bool send_bytes(const void *p, size_t n) { return send(fd_, p, n, MSG_NOSIGNAL) == ssize_t(n); }
    bool recv_bytes(void *p, size_t n) { return n == 0 || recv(fd_, p, n, MSG_WAITALL) == ssize_t(n); }
    // The open: the server's answer (0 open), or -1 when the connection ended.
    int hello(const unsigned char *secret, uint32_t pid = uint32_t(getpid()), uint32_t purpose = SERVED_OPEN)
    {
        served_hello h = {SERVED_MAGIC, SERVED_VERSION, pid, purpose, {}};
        std::memcpy(h.secret, secret, sizeof h.secret);
        served_opened o;
        if (!send_bytes(&h, sizeof h) || !recv_bytes(&o, sizeof o) || o.magic != SERVED_MAGIC)
            return -1;
        return int(o.error);
    }
    // One request; false when the connection ended instead.
    bool request(uint32_t code, const std::vector<int32_t> &in, served_answer *a, int32_t *out = nullptr)
    {
        served_request r = {SERVED_REQUEST, code, uint32_t(4 * in.size()), out ? 8u : 0u,
                            uint32_t(4 * in.size()), out ? 0u : SERVED_OUT_NULL};
        std::string frame(reinterpret_cast<const char *>(&r), sizeof r);
        frame.append(reinterpret_cast<const char *>(in.data()), 4 * in.size());
        if (!send_bytes(frame.data(), frame.size()) || !recv_bytes(a, sizeof *a))
            return false;
        int32_t back[SERVED_MAX_BYTES / 4];
        if (a->returned > sizeof back || !recv_bytes(back, a->returned))
            return false;
        if (out)
            std::memcpy(out, back, std::min<size_t>(a->returned, 8));
        return true;
    }
    bool close_handle()
    {
        served_request r = {SERVED_CLOSE, 0, 0, 0, 0, 0};
        return send_bytes(&r, sizeof r);
    }
    // Whether the server has ended the connection (within a generous wait).
    bool ended()
    {
        struct pollfd p = {fd_, POLLIN, 0};
        char c;
        return poll(&p, 1, 30000) > 0 && recv(fd_, &c, 1, 0) == 0;
    }

    bool connected = false;

private:
    int fd_ = -1;
};

uint32_t handles_of(int pid)
{
    for (const board::OpenHandles &h : board::open_handles())
        if (h.pid == pid)
            return h.count;
    return 0;
}

class Serve : public ::testing::Test {
protected:
    void SetUp() override
    {
        board::reset();
        server_.reset(new Server(folder_.dir()));
        ASSERT_NE(server_->port, 0) << "first line: " << server_->line << "\n" << server_->log();
    }
    BoardFolder folder_;
    std::unique_ptr<Server> server_;
};

TEST_F(Serve, RequestsAreTheHostsWithTheirTraceHandleAndEvents)
{
    board::EventReader reader;
    std::vector<board::Event> events;
    reader.poll(events);
    const int me = getpid();
    Client c(server_->port);
    ASSERT_EQ(c.hello(server_->secret), 0);
    EXPECT_EQ(handles_of(me), 1u) << "the handle counts under the client's process";
    served_answer a;
    // A fresh board's pins are driven high: low is a change.
    ASSERT_TRUE(c.request(board::kSetPin, {3, 0}, &a));
    EXPECT_EQ(a.ok, 1u);
    EXPECT_EQ(board::status().pins[3].driven, 0);
    int32_t out[2] = {7, 7};
    ASSERT_TRUE(c.request(board::kGetPin, {3, 0}, &a, out));
    EXPECT_EQ(a.ok, 1u);
    EXPECT_EQ(a.returned, 8u);
    EXPECT_EQ(out[0], 3);
    EXPECT_EQ(out[1], 0);
    // The board's range checks, as the host's requests meet them.
    ASSERT_TRUE(c.request(board::kSetPin, {70, 1}, &a));
    EXPECT_EQ(a.ok, 0u);
    EXPECT_EQ(a.error, 87u);
    ASSERT_TRUE(c.request(board::kPwmSet, {0, 0, 64, 0, 0}, &a));
    EXPECT_EQ(a.error, 87u);
    ASSERT_TRUE(c.request(board::kPwmStart, {1, 1, 0, 0, 0}, &a));
    EXPECT_EQ(a.ok, 1u);
    EXPECT_TRUE(board::status().pwm[1].running);
    ASSERT_TRUE(c.request(0x812C000C, {0, 0}, &a));
    EXPECT_EQ(a.error, 50u);
    ASSERT_TRUE(c.close_handle());
    EXPECT_TRUE(eventually([&] { return handles_of(me) == 0; }));
    // The connection is kept for the next handle, which opens with a hello.
    ASSERT_EQ(c.hello(server_->secret), 0);
    EXPECT_EQ(handles_of(me), 1u);
    ASSERT_TRUE(c.close_handle());
    EXPECT_TRUE(eventually([&] { return handles_of(me) == 0; }));

    std::vector<std::string> expected = {"open",
                                         "IOCTL_GPIO_SET_PIN 8 3 0 -> 1",
                                         "IOCTL_GPIO_GET_PIN 8 3 0 -> 1 level=0",
                                         "IOCTL_GPIO_SET_PIN 8 70 1 -> 0",
                                         "IOCTL_PWM_SET 20 0 0 64 0 0 -> 0",
                                         "IOCTL_PWM_START 20 1 1 0 0 0 -> 1",
                                         "0x812C000C 8 0 0 -> 0",
                                         "close",
                                         "open",
                                         "close"};
    EXPECT_EQ(folder_.trace_lines(), expected);
    reader.poll(events);
    int changes = 0;
    for (const board::Event &e : events) {
        if (e.kind == board::EventKind::Pin || e.kind == board::EventKind::Pwm) {
            ++changes;
            EXPECT_EQ(e.cause, board::Cause::Request);
            EXPECT_EQ(e.pid, me) << "an event of a served request names the client";
        }
    }
    EXPECT_EQ(changes, 2);  // pin 3 low, channel 1 started
}

TEST_F(Serve, TheOpenAndTheRequestsMeetTheDevicesStateAndTheTestHold)
{
    board::set_plugged(false);
    Client unplugged(server_->port);
    EXPECT_EQ(unplugged.hello(server_->secret), 2) << "ERROR_FILE_NOT_FOUND, as the host's open";
    EXPECT_EQ(handles_of(getpid()), 0u);
    board::set_plugged(true);
    EXPECT_EQ(unplugged.hello(server_->secret), 0) << "a refused open leaves the connection for the next";
    ASSERT_TRUE(unplugged.close_handle());
    EXPECT_TRUE(eventually([] { return handles_of(getpid()) == 0; }));
    board::set_plugged(true);

    Client c(server_->port);
    ASSERT_EQ(c.hello(server_->secret), 0);
    board::arm_fault();
    served_answer a;
    ASSERT_TRUE(c.request(board::kSetPin, {1, 1}, &a));
    EXPECT_EQ(a.fault, 1u) << "the armed fault is raised in the client";
    ASSERT_TRUE(c.request(board::kSetPin, {1, 1}, &a));
    EXPECT_EQ(a.fault, 0u);
    EXPECT_EQ(a.ok, 1u);

    board::hold_requests(true);
    std::thread held([&] { EXPECT_TRUE(c.request(board::kSetPin, {2, 0}, &a)); });
    EXPECT_TRUE(eventually([] { return board::requests_held() == 1; }));
    EXPECT_EQ(board::status().pins[2].driven, 1) << "not yet driven low";
    Client other(server_->port);
    EXPECT_EQ(other.hello(server_->secret), 0) << "a held request holds no other connection's open";
    board::hold_requests(false);
    held.join();
    EXPECT_EQ(a.ok, 1u);
    EXPECT_EQ(board::status().pins[2].driven, 0);
    EXPECT_EQ(handles_of(getpid()), 2u);

    Client power(server_->port);
    EXPECT_EQ(power.hello(server_->secret, uint32_t(getpid()), SERVED_POWER_OFF), 0);
    EXPECT_TRUE(eventually([] { return !board::status().powered; }));
    EXPECT_EQ(handles_of(getpid()), 2u) << "the power off opens no handle";
}

TEST_F(Serve, ADroppedConnectionEndsItsHandle)
{
    {
        Client c(server_->port);
        ASSERT_EQ(c.hello(server_->secret, 1), 0);  // as if for process 1
        EXPECT_EQ(handles_of(1), 1u);
    }
    EXPECT_TRUE(eventually([] { return handles_of(1) == 0; }));
    EXPECT_EQ(count_of(server_->log(), "\n"), 0u) << "a drop is no refusal: " << server_->log();
}

TEST_F(Serve, EachBadConnectionIsClosedAloneWithOneLine)
{
    Client good(server_->port);
    ASSERT_EQ(good.hello(server_->secret), 0);

    unsigned char wrong[SERVED_SECRET_BYTES];
    std::memcpy(wrong, server_->secret, sizeof wrong);
    wrong[5] ^= 1;
    Client stranger(server_->port);
    EXPECT_EQ(stranger.hello(wrong), -1) << "no answer to a wrong secret";

    Client garbage(server_->port);
    const char junk[sizeof(served_hello)] = "GET / HTTP/1.0\r\n\r\n";
    garbage.send_bytes(junk, sizeof junk);
    EXPECT_TRUE(garbage.ended());

    Client oversized(server_->port);
    ASSERT_EQ(oversized.hello(server_->secret), 0);
    served_request big = {SERVED_REQUEST, board::kSetPin, 100000, 0, 100000, SERVED_OUT_NULL};
    oversized.send_bytes(&big, sizeof big);
    EXPECT_TRUE(oversized.ended());

    Client malformed(server_->port);
    ASSERT_EQ(malformed.hello(server_->secret), 0);
    served_request odd = {SERVED_REQUEST, board::kSetPin, 8, 0, 4, SERVED_OUT_NULL};
    malformed.send_bytes(&odd, sizeof odd);
    EXPECT_TRUE(malformed.ended());

    Client unknown(server_->port);
    ASSERT_EQ(unknown.hello(server_->secret), 0);
    served_request what = {9, 0, 0, 0, 0, 0};
    unknown.send_bytes(&what, sizeof what);
    EXPECT_TRUE(unknown.ended());

    // Each told once, and the good connection goes on as before.
    std::string log;
    EXPECT_TRUE(eventually([&] { return count_of(log = server_->log(), "\n") >= 5; }));
    EXPECT_EQ(count_of(log, "\n"), 5u) << log;
    EXPECT_EQ(count_of(log, "a wrong secret; closed"), 1u) << log;
    EXPECT_EQ(count_of(log, "a malformed hello; closed"), 1u) << log;
    EXPECT_EQ(count_of(log, "an oversized request (100000 bytes); closed"), 1u) << log;
    EXPECT_EQ(count_of(log, "a malformed request; closed"), 1u) << log;
    EXPECT_EQ(count_of(log, "a frame of unknown kind 9; closed"), 1u) << log;
    served_answer a;
    ASSERT_TRUE(good.request(board::kSetPin, {4, 1}, &a));
    EXPECT_EQ(a.ok, 1u);
    EXPECT_TRUE(eventually([] { return handles_of(getpid()) == 1; })) << "only the good handle stays";
}

TEST_F(Serve, SeveralClientsAtOnceEachGetTheirOwnAnswers)
{
    std::vector<std::thread> threads;
    std::atomic<int> wrong{0};
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 40; ++i) {
                Client c(server_->port);
                served_answer a;
                int32_t out[2] = {-1, -1};
                int pin = 10 + t;
                if (c.hello(server_->secret) != 0 || !c.request(board::kSetPin, {pin, i & 1}, &a) ||
                    !c.request(board::kGetPin, {pin, 0}, &a, out) || out[1] != (i & 1) || !c.close_handle())
                    ++wrong;
                // A second handle on the kept connection.
                if (c.hello(server_->secret) != 0 || !c.close_handle())
                    ++wrong;
            }
        });
    }
    for (std::thread &t : threads)
        t.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_TRUE(eventually([] { return handles_of(getpid()) == 0; }));
}

TEST_F(Serve, ListensOnLoopbackOnlyWithAnOwnerOnlySecretFile)
{
    // The listening socket, as the system lists it: 127.0.0.1 and the port.
    char wanted[32];
    std::snprintf(wanted, sizeof wanted, "0100007F:%04X 00000000:0000 0A", server_->port);
    EXPECT_NE(read_text("/proc/net/tcp").find(wanted), std::string::npos);
    struct stat st;
    std::string file = folder_.dir() + "/" SERVED_FILE;
    ASSERT_EQ(lstat(file.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(st.st_uid, geteuid());
    EXPECT_EQ(read_text(file).substr(0, server_->line.size() + 1), server_->line + "\n");
}

TEST_F(Serve, ASecondServerIsRefusedAndTheEndLeavesNoSecret)
{
    test_support::ProgramResult second = test_support::run_program(BOARD_TOOL, {"serve"});
    EXPECT_EQ(second.exit_code, 1);
    EXPECT_NE(second.err.find("is served already by another 'board serve'"), std::string::npos) << second.err;
    EXPECT_TRUE(second.out.empty()) << "no line for a program to take: " << second.out;
    Client c(server_->port);
    ASSERT_EQ(c.hello(server_->secret), 0);
    EXPECT_EQ(server_->stop(SIGTERM), 0);
    EXPECT_TRUE(c.ended()) << "the end closes the connections";
    EXPECT_TRUE(eventually([] { return handles_of(getpid()) == 0; }));
    struct stat st;
    EXPECT_NE(lstat((folder_.dir() + "/" SERVED_FILE).c_str(), &st), 0);
}

TEST(ServeFile, OneLeftByAKilledServerOrALinkInItsPlaceIsReplacedNotFollowed)
{
    BoardFolder folder;
    board::reset();
    std::string target = folder.dir() + "/target";
    { std::ofstream(target) << "keep\n"; }
    std::string file = folder.dir() + "/" SERVED_FILE;
    ASSERT_EQ(symlink(target.c_str(), file.c_str()), 0);
    Server s(folder.dir());
    ASSERT_NE(s.port, 0) << s.log();
    EXPECT_EQ(read_text(target), "keep\n");
    struct stat st;
    ASSERT_EQ(lstat(file.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(s.stop(SIGINT), 0);
}

}  // namespace
