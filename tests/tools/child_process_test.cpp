// Starting a program as the boot and the tools do (common/child_process.h):
// its streams and environment as asked, and a program that cannot run told
// apart from one that ran.
#include "common/child_process.h"

#include "board_folder.h"
#include "process.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <unistd.h>

namespace {

std::string slurp(int fd)
{
    std::string out;
    char buf[256];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;)
        out.append(buf, static_cast<size_t>(n));
    return out;
}

// Runs sh -c script with the given streams; what it wrote on a pipe that
// is its stdout and stderr both, and its exit code.
std::pair<std::string, int> run_sh(const std::string &script, child::Launch launch = child::Launch())
{
    int fds[2];
    EXPECT_EQ(pipe2(fds, O_CLOEXEC), 0);
    launch.argv = {"/bin/sh", "-c", script};
    if (launch.out.kind == child::Stream::Kind::Inherit)
        launch.out = child::Stream::of(fds[1]);
    launch.err = child::Stream::of(fds[1]);
    int error = -1;
    pid_t pid = child::start(launch, &error);
    close(fds[1]);
    EXPECT_GT(pid, 0);
    EXPECT_EQ(error, 0);
    std::string out = slurp(fds[0]);
    close(fds[0]);
    return {out, child::wait(pid).exit_code};
}

TEST(ChildProcess, StreamsAndEnvironmentAreSetAsAsked)
{
    // The same descriptor for both streams.
    auto [out, code] = run_sh("echo to-out; echo to-err >&2; exit 4");
    EXPECT_EQ(out, "to-out\nto-err\n");
    EXPECT_EQ(code, 4);

    // A descriptor that is itself one of the child's streams: our 0, which
    // its input replaces, is its output.
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
    int saved = dup(0);
    dup2(fds[1], 0);
    close(fds[1]);
    child::Launch launch;
    launch.argv = {"/bin/sh", "-c", "echo through-0; read x || echo no-input >&2"};
    launch.in = child::Stream::null_input();
    launch.out = launch.err = child::Stream::of(0);
    int error = -1;
    pid_t pid = child::start(launch, &error);
    dup2(saved, 0);
    close(saved);
    ASSERT_GT(pid, 0);
    EXPECT_EQ(child::wait(pid).exit_code, 0);
    EXPECT_EQ(slurp(fds[0]), "through-0\nno-input\n");
    close(fds[0]);

    // A value set over ours replaces it once; the rest of ours stays.
    setenv("CHILD_TEST_OURS", "kept", 1);
    setenv("CHILD_TEST_SET", "ours", 1);
    child::Launch env;
    env.env = {{"CHILD_TEST_SET", "theirs"}};
    EXPECT_EQ(run_sh("env | grep '^CHILD_TEST_' | sort", env).first,
              "CHILD_TEST_OURS=kept\nCHILD_TEST_SET=theirs\n");
    unsetenv("CHILD_TEST_OURS");
    unsetenv("CHILD_TEST_SET");

    // Input from a file; a closed output is closed, not /dev/null.
    std::string in = std::filesystem::temp_directory_path() / ("child-in-" + std::to_string(getpid()));
    test_support::write_file(in, "line\n");
    child::Launch from_file;
    from_file.in = child::Stream::file(in, O_RDONLY);
    EXPECT_EQ(run_sh("read x; echo \"got $x\"", from_file).first, "got line\n");
    std::filesystem::remove(in);
    child::Launch closed;
    closed.out = child::Stream::closed();
    EXPECT_EQ(run_sh("echo x 2>/dev/null || echo closed >&2", closed).first, "closed\n");
}

TEST(ChildProcess, SignalsAtTheirDefaultOnlyWhenAsked)
{
    struct sigaction ignore {}, old {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGTERM, &ignore, &old);
    const std::string script = "kill -TERM $$; echo survived";
    EXPECT_EQ(run_sh(script).first, "survived\n");  // ignored signals stay ignored across exec
    child::Launch dfl;
    dfl.default_signals = true;
    EXPECT_EQ(run_sh(script, dfl), std::make_pair(std::string(), -1));
    sigaction(SIGTERM, &old, nullptr);
}

TEST(ChildProcess, AProgramThatCannotRunIsToldApart)
{
    child::Launch missing;
    missing.argv = {"/nonexistent/program"};
    int error = 0;
    pid_t pid = child::start(missing, &error);
    ASSERT_GT(pid, 0);
    EXPECT_EQ(error, ENOENT);
    EXPECT_EQ(child::wait(pid).exit_code, 127);
    EXPECT_THROW(test_support::start_program(missing), std::runtime_error);

    child::Launch none;
    EXPECT_EQ(child::start(none, &error), -1);
    EXPECT_EQ(error, EINVAL);
}

}  // namespace
