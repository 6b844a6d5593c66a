// The Control Panel against what a user's folder and input can hold:
// applet files cut short or not libraries at all, script lines of any
// length and bytes, and signals that end it while a dialog is open.
#include "session.h"

#include <chrono>
#include <cstring>
#include <elf.h>
#include <link.h>
#include <map>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>

using namespace cpltest;

namespace {

// The file offset and size of the resources a product module embeds, from
// its symbol table; {0, 0} when it has none.
std::pair<size_t, size_t> embedded_resources(const std::string &image)
{
    auto at = [&](size_t off, auto *out) { std::memcpy(out, image.data() + off, sizeof *out); };
    ElfW(Ehdr) eh;
    at(0, &eh);
    std::vector<ElfW(Shdr)> sh(eh.e_shnum);
    for (size_t i = 0; i < sh.size(); ++i)
        at(eh.e_shoff + i * eh.e_shentsize, &sh[i]);
    size_t offset = 0, size = 0;
    for (const ElfW(Shdr) &s : sh) {
        if (s.sh_type != SHT_SYMTAB)
            continue;
        const ElfW(Shdr) &names = sh[s.sh_link];
        for (size_t i = 0; i < s.sh_size / sizeof(ElfW(Sym)); ++i) {
            ElfW(Sym) sym;
            at(s.sh_offset + i * sizeof sym, &sym);
            if (sym.st_shndx == SHN_UNDEF || sym.st_shndx >= sh.size())
                continue;
            std::string name = image.c_str() + names.sh_offset + sym.st_name;
            const ElfW(Shdr) &in = sh[sym.st_shndx];
            size_t where = in.sh_offset + (sym.st_value - in.sh_addr);
            if (name == "host_embedded_resources")
                offset = where;
            else if (name == "host_embedded_resources_size")
                at(where, &size);
        }
    }
    return {offset, size};
}

class Damaged : public Session {
protected:
    // A folder with the three applets (and kestrin) that list and open.
    std::string applets()
    {
        std::string dir = dir_ + "/applets";
        fs::create_directories(dir);
        for (const char *f : {"Dovrel.cpl", "Hemlark.cpl", "Pinvane.cpl", "kestrin.so"})
            if (!fs::exists(dir + "/" + f))
                fs::copy_file(kAppletDir + "/" + f, dir + "/" + f);
        return dir;
    }
    void write(const std::string &path, const std::string &bytes)
    {
        std::ofstream(path, std::ios::binary) << bytes;
    }
    // Waits until the script's output holds text; false when it never does.
    bool printed(const std::string &text)
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < deadline) {
            if (read_file(dir_ + "/out").find(text) != std::string::npos)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }
};

// A copy of an applet cut short anywhere (in its headers, its code, its
// embedded resources or its section table), an empty file, a file that is
// no library and a pipe are each listed with a reason; the good applets
// list and open as before.
TEST_F(Damaged, CutShortOrForeignFilesAreListedWithAReasonAndTheOthersWork)
{
    std::string dir = applets();
    std::string image = read_file(kAppletDir + "/Dovrel.cpl");
    auto [res, res_size] = embedded_resources(image);
    ASSERT_GT(res, 0u);
    ASSERT_GT(res_size, 64u);
    ASSERT_LE(res + res_size, image.size());
    std::vector<size_t> cuts = {1000, 5000, 20000, res + 8, res + res_size / 2, res + res_size - 1,
                                image.size() - 1};
    for (size_t cut : cuts)
        write(dir + "/Cut" + std::to_string(cut) + ".cpl", image.substr(0, cut));
    write(dir + "/Empty.cpl", "");
    write(dir + "/Notes.cpl", "Enable Debug Port\n\0\x7f\n");
    write(dir + "/Stub.cpl", image.substr(0, 40));  // ELF magic, no whole header
    ASSERT_EQ(mkfifo((dir + "/Pipe.cpl").c_str(), 0644), 0);

    Outcome r = run({"--list", "--applets", dir});
    ASSERT_EQ(r.status, 0) << r.err;
    std::map<std::string, std::string> listed;
    for (const std::string &l : split_lines(r.out))
        listed[l.substr(0, l.find('\t'))] = l.substr(l.find('\t') + 1);
    EXPECT_EQ(listed.size(), cuts.size() + 7) << r.out;
    EXPECT_EQ(listed["Dovrel.cpl"], "EnableDebug\tEnable Debug Port");
    EXPECT_EQ(listed["Hemlark.cpl"], "Hemlark\tPWM Test PWM0 + PWM1");
    EXPECT_EQ(listed["Pinvane.cpl"], "Pinvane\tPinvane");
    for (size_t cut : cuts) {
        const std::string &l = listed["Cut" + std::to_string(cut) + ".cpl"];
        std::string file = "Cut" + std::to_string(cut) + ".cpl";
        EXPECT_EQ(l.rfind("not loaded: " + file + ": cut short at " + std::to_string(cut) + " bytes: ", 0), 0u) << l;
    }
    EXPECT_EQ(listed["Empty.cpl"], "not loaded: Empty.cpl: empty file (0 bytes), not a library");
    EXPECT_EQ(listed["Notes.cpl"], "not loaded: Notes.cpl: not a library: the file does not start as an ELF file does");
    EXPECT_EQ(listed["Stub.cpl"], "not loaded: Stub.cpl: cut short: 40 bytes, less than an ELF header");
    EXPECT_EQ(listed["Pipe.cpl"], "not loaded: Pipe.cpl: not a regular file");

    // A script opens the good ones and is told why a damaged one does not open.
    std::string cut = "Cut" + std::to_string(res + res_size / 2);
    r = run({"--applets", dir}, "open Dovrel\nclick 2\nopen Hemlark\nclose\nshow\nopen " + cut + "\n");
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_EQ(split_lines(r.out), std::vector<std::string>{"closed"});
    EXPECT_NE(r.err.find(":6: " + cut + ".cpl did not load: " + cut + ".cpl: cut short at "), std::string::npos) << r.err;
    EXPECT_EQ(registry_value("HKEY_LOCAL_MACHINE\\Debug", "dbgSerial"), "dword:00000000");
}

// A library that an applet needs, cut short beside it, would crash the
// loader the same way: the applet is refused, the others work.
TEST_F(Damaged, AnAppletNeedingACutShortLibraryBesideItIsRefused)
{
    std::string dir = applets();
    std::string kestrin = read_file(kAppletDir + "/kestrin.so");
    for (size_t cut : {size_t(0), size_t(3000), kestrin.size() / 2}) {
        write(dir + "/kestrin.so", kestrin.substr(0, cut));
        Outcome r = run({"--list", "--applets", dir});
        ASSERT_EQ(r.status, 0) << r.err;
        std::vector<std::string> l = split_lines(r.out);
        ASSERT_EQ(l.size(), 3u) << r.out;
        EXPECT_EQ(l[0], "Dovrel.cpl\tEnableDebug\tEnable Debug Port");
        EXPECT_EQ(l[1], "Hemlark.cpl\tHemlark\tPWM Test PWM0 + PWM1");
        EXPECT_EQ(l[2].rfind("Pinvane.cpl\tnot loaded: Pinvane.cpl: needs the kestrin.so beside it: ", 0), 0u) << l[2];
    }
    write(dir + "/kestrin.so", kestrin);
    Outcome r = run({"--list", "--applets", dir});
    EXPECT_EQ(split_lines(r.out).back(), "Pinvane.cpl\tPinvane\tPinvane");
}

// An applet whose file is whole but whose dynamic data point outside what
// the file holds is refused too, before the loader follows them.
TEST_F(Damaged, DynamicDataOutsideTheFileIsRefused)
{
    std::string dir = applets();
    std::string image = read_file(kAppletDir + "/Hemlark.cpl");
    ElfW(Ehdr) eh;
    std::memcpy(&eh, image.data(), sizeof eh);
    bool patched = false;
    for (size_t i = 0; i < eh.e_phnum && !patched; ++i) {
        ElfW(Phdr) p;
        std::memcpy(&p, image.data() + eh.e_phoff + i * eh.e_phentsize, sizeof p);
        if (p.p_type != PT_DYNAMIC)
            continue;
        for (size_t off = p.p_offset; off + sizeof(ElfW(Dyn)) <= p.p_offset + p.p_filesz; off += sizeof(ElfW(Dyn))) {
            ElfW(Dyn) d;
            std::memcpy(&d, image.data() + off, sizeof d);
            if (d.d_tag == DT_STRTAB) {
                d.d_un.d_ptr = 0x7fff0000;
                std::memcpy(&image[off], &d, sizeof d);
                patched = true;
                break;
            }
        }
    }
    ASSERT_TRUE(patched);
    write(dir + "/Wild.cpl", image);
    Outcome r = run({"--list", "--applets", dir});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> l = split_lines(r.out);
    ASSERT_EQ(l.size(), 4u) << r.out;
    EXPECT_EQ(l[3], "Wild.cpl\tnot loaded: Wild.cpl: damaged: its string table lies outside what the file holds");
}

// ---- long and odd script lines ----

// A script line of any length is refused after a bounded read, quoting a
// short excerpt: here 256 MB with no line end, from a pipe that the
// Control Panel stops reading (the writer gives up when it stops).
TEST_F(Damaged, AnOverlongScriptLineIsRefusedWithoutReadingItWhole)
{
    std::string fifo = dir_ + "/feed";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    signal(SIGPIPE, SIG_IGN);
    size_t written = 0;
    std::thread feeder([&] {
        int fd = open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd < 0)
            return;
        std::string chunk = "open " + std::string(65536 - 5, 'P');
        for (ssize_t n; written < (256u << 20) && (n = ::write(fd, chunk.data(), chunk.size())) > 0;) {
            written += static_cast<size_t>(n);
            chunk.assign(65536, 'P');
        }
        close(fd);
    });
    pid_t pid = start({"--script", "-"}, "", fifo);
    ASSERT_GT(pid, 0);
    int st = 0;
    ASSERT_EQ(waitpid(pid, &st, 0), pid);
    feeder.join();
    signal(SIGPIPE, SIG_DFL);
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 2);
    EXPECT_LT(written, 256u << 20);
    std::string err = read_file(dir_ + "/err");
    EXPECT_EQ(err, "controlpanel: <stdin>:1: the line is longer than 4096 bytes: 'open " + std::string(35, 'P') +
                       "...'\n");
}

// What a message quotes of a line is escaped: a NUL does not cut it short,
// control bytes and bytes that are no UTF-8 reach the terminal as escapes.
TEST_F(Damaged, MessagesQuoteScriptTextEscaped)
{
    Outcome r = run({}, std::string("pin 3 1\nfrob\0\x1b]0;owned\x07\xff!\n", 26));
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "controlpanel: " + dir_ + "/script:2: unknown command 'frob\\0\\x1B]0;owned\\x07\\xFF!'\n");
    EXPECT_EQ(board::status().pins[3].external, 1);
    r = run({}, "open Pin\xe2\x80\xaevane\x1b[2J\n");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find(":1: no applet called 'Pin\\u{202E}vane\\x1B[2J'"), std::string::npos) << r.err;
    r = run({"--frob\x1b[31m"});
    EXPECT_NE(r.err.find("unknown option '--frob\\x1B[31m'"), std::string::npos) << r.err;
}

// ---- interrupted ----

// A script run that a signal ends stops where it is, as a Control Panel
// killed on the device: the open dialog is not closed through its close box
// (for Dovrel that would enable the port), and Hemlark's PWM runs on.
TEST_F(Damaged, ASignalEndsAScriptWithoutClosingTheDialog)
{
    for (int sig : {SIGINT, SIGHUP, SIGTERM}) {
        SCOPED_TRACE(strsignal(sig));
        board::reset();
        pid_t pid = start({}, "open Dovrel\nshow\nwait 60000\n", "/dev/null");
        ASSERT_GT(pid, 0);
        ASSERT_TRUE(printed("2 button \"Disable serial debug port\"")) << read_file(dir_ + "/err");
        kill(pid, sig);
        int st = 0;
        ASSERT_EQ(waitpid(pid, &st, 0), pid);
        ASSERT_TRUE(WIFSIGNALED(st)) << "exit status " << WEXITSTATUS(st);
        EXPECT_EQ(WTERMSIG(st), sig);
        EXPECT_EQ(registry_value("HKEY_LOCAL_MACHINE\\Debug", "dbgSerial"), "");
    }

    board::reset();
    pid_t pid = start({}, "open Hemlark\nscroll 1001 lineright\nshow\nwait 60000\n", "/dev/null");
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(printed("1001 scrollbar \"\" pos=17")) << read_file(dir_ + "/err");
    kill(pid, SIGINT);
    int st = 0;
    ASSERT_EQ(waitpid(pid, &st, 0), pid);
    board::Status now = board::status();
    EXPECT_EQ(now.pwm[0].running, 1u);
    EXPECT_EQ(now.pwm[0].cr, 17u);
    EXPECT_EQ(now.pwm[1].running, 1u);
}

}  // namespace
