// The look at an applet library before the loader maps it (library_check.h).
#include "library_check.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace cpl {

namespace {

#if __SIZEOF_POINTER__ == 8
constexpr unsigned char kClass = ELFCLASS64;
#else
constexpr unsigned char kClass = ELFCLASS32;
#endif
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
constexpr unsigned char kData = ELFDATA2LSB;
#else
constexpr unsigned char kData = ELFDATA2MSB;
#endif
#if defined(__x86_64__)
constexpr int kMachine = EM_X86_64;
#elif defined(__aarch64__)
constexpr int kMachine = EM_AARCH64;
#elif defined(__i386__)
constexpr int kMachine = EM_386;
#elif defined(__arm__)
constexpr int kMachine = EM_ARM;
#elif defined(__riscv)
constexpr int kMachine = EM_RISCV;
#else
constexpr int kMachine = -1;  // not checked here; the loader says so
#endif

// Tables larger than this are no library's: refused before reading them.
constexpr uint64_t kMaxEntries = 65535;
// A string table larger than this is not read for the names of the
// libraries needed (they go unchecked).
constexpr uint64_t kMaxStrings = 1 << 20;
// How many levels of needed libraries are followed.
constexpr int kNeededDepth = 4;


// True when size bytes from offset lie within a file of file_size bytes.
bool within(uint64_t offset, uint64_t size, uint64_t file_size)
{
    return offset <= file_size && size <= file_size - offset;
}

class Reader {
public:
    Reader(int fd, uint64_t size) : fd_(fd), size_(size) {}
    // Reads count entries of entry_size bytes from offset into out (each
    // entry cut or padded to sizeof(T)); false with why set when they do not
    // lie within the file or cannot be read.
    template <class T>
    bool table(uint64_t offset, uint64_t count, uint64_t entry_size, const char *what,
               std::vector<T> *out, std::string *why)
    {
        if (count > kMaxEntries) {
            *why = "damaged: " + std::string(what) + " claims " + std::to_string(count) + " entries";
            return false;
        }
        if (entry_size < sizeof(T)) {
            *why = "damaged: " + std::string(what) + " has entries of " + std::to_string(entry_size) +
                   " bytes, not " + std::to_string(sizeof(T));
            return false;
        }
        if (!within(offset, count * entry_size, size_)) {
            *why = cut(what, offset, count * entry_size);
            return false;
        }
        out->assign(count, T{});
        for (uint64_t i = 0; i < count; ++i)
            if (!read(offset + i * entry_size, &(*out)[i], sizeof(T), why))
                return false;
        return true;
    }
    bool read(uint64_t offset, void *to, size_t n, std::string *why)
    {
        ssize_t got = pread(fd_, to, n, static_cast<off_t>(offset));
        if (got != static_cast<ssize_t>(n)) {
            *why = got < 0 ? std::string("cannot be read: ") + std::strerror(errno)
                           : "cannot be read whole (has it just changed?)";
            return false;
        }
        return true;
    }
    // what (with its article) needs size bytes from offset, past the end.
    std::string cut(const char *what, uint64_t offset, uint64_t size) const
    {
        uint64_t end = offset > UINT64_MAX - size ? UINT64_MAX : offset + size;
        return "cut short at " + std::to_string(size_) + " bytes: " + what + " ends at byte " + std::to_string(end);
    }

private:
    int fd_;
    uint64_t size_;
};

// The dynamic entries whose values are addresses of data the loader reads,
// with the entry that gives the data's size (DT_NULL: none given).
const struct {
    ElfW(Sxword) tag, size_tag;
    const char *name;
} kDynamicData[] = {
    {DT_STRTAB, DT_STRSZ, "string table"},
    {DT_SYMTAB, DT_NULL, "symbol table"},
    {DT_HASH, DT_NULL, "hash table"},
    {DT_GNU_HASH, DT_NULL, "hash table"},
    {DT_RELA, DT_RELASZ, "relocations"},
    {DT_REL, DT_RELSZ, "relocations"},
    {DT_JMPREL, DT_PLTRELSZ, "relocations"},
    {DT_INIT_ARRAY, DT_INIT_ARRAYSZ, "start-up functions"},
    {DT_FINI_ARRAY, DT_FINI_ARRAYSZ, "exit functions"},
    {DT_VERSYM, DT_NULL, "symbol versions"},
    {DT_VERNEED, DT_NULL, "needed versions"},
    {DT_VERDEF, DT_NULL, "version definitions"},
};

// Checks the open file; *needed gets the names of the libraries it needs.
std::string check(int fd, uint64_t size, std::vector<std::string> *needed)
{
    std::string why;
    if (size == 0)
        return "empty file (0 bytes), not a library";
    unsigned char ident[EI_NIDENT] = {};
    Reader file(fd, size);
    if (!file.read(0, ident, size < EI_NIDENT ? size : EI_NIDENT, &why))
        return why;
    if (size < SELFMAG || std::memcmp(ident, ELFMAG, SELFMAG) != 0)
        return "not a library: the file does not start as an ELF file does";
    if (size < sizeof(ElfW(Ehdr)))
        return "cut short: " + std::to_string(size) + " bytes, less than an ELF header";
    if (ident[EI_CLASS] != kClass || ident[EI_DATA] != kData)
        return "a library for another kind of machine (ELF class or byte order)";
    ElfW(Ehdr) eh;
    if (!file.read(0, &eh, sizeof eh, &why))
        return why;
    if (kMachine >= 0 && eh.e_machine != kMachine)
        return "a library for another kind of machine (ELF machine " + std::to_string(eh.e_machine) + ")";
    if (eh.e_type != ET_DYN)
        return "not a shared library (ELF type " + std::to_string(eh.e_type) + ")";

    std::vector<ElfW(Phdr)> ph;
    if (!file.table(eh.e_phoff, eh.e_phnum, eh.e_phentsize, "the program header table", &ph, &why))
        return why;
    const ElfW(Phdr) *dynamic = nullptr;
    bool loads = false;
    for (const ElfW(Phdr) &p : ph) {
        if (p.p_type == PT_LOAD && p.p_filesz > p.p_memsz)
            return "damaged: a loadable segment holds more of the file than of memory";
        if (p.p_filesz && !within(p.p_offset, p.p_filesz, size))
            return file.cut(p.p_type == PT_LOAD ? "a loadable segment" : "a segment", p.p_offset, p.p_filesz);
        loads = loads || p.p_type == PT_LOAD;
        if (p.p_type == PT_DYNAMIC)
            dynamic = &p;
    }
    if (!loads)
        return "damaged: no loadable segment";

    if (eh.e_shoff != 0 || eh.e_shnum != 0) {
        std::vector<ElfW(Shdr)> sh;
        if (!file.table(eh.e_shoff, eh.e_shnum, eh.e_shentsize, "the section header table", &sh, &why))
            return why;
        for (const ElfW(Shdr) &s : sh)
            if (s.sh_type != SHT_NOBITS && s.sh_type != SHT_NULL && !within(s.sh_offset, s.sh_size, size))
                return file.cut("a section", s.sh_offset, s.sh_size);
    }

    if (!dynamic)
        return "";
    // The data the dynamic entries point at must come from the file: an
    // address inside a loadable segment's part that the file fills.
    std::vector<ElfW(Dyn)> dyn;
    if (!file.table(dynamic->p_offset, dynamic->p_filesz / sizeof(ElfW(Dyn)), sizeof(ElfW(Dyn)),
                    "the dynamic section", &dyn, &why))
        return why;
    auto value_of = [&](ElfW(Sxword) tag, bool *found) -> uint64_t {
        for (const ElfW(Dyn) &d : dyn) {
            if (d.d_tag == DT_NULL)
                break;
            if (d.d_tag == tag) {
                *found = true;
                return d.d_un.d_val;
            }
        }
        *found = false;
        return 0;
    };
    for (const auto &e : kDynamicData) {
        bool found = false;
        uint64_t address = value_of(e.tag, &found);
        if (!found)
            continue;
        bool sized = false;
        uint64_t length = e.size_tag == DT_NULL ? 1 : value_of(e.size_tag, &sized);
        if (e.size_tag != DT_NULL && !sized)
            length = 1;
        if (length == 0)
            continue;
        bool inside = false;
        for (const ElfW(Phdr) &p : ph)
            if (p.p_type == PT_LOAD && address >= p.p_vaddr && address - p.p_vaddr < p.p_filesz &&
                length <= p.p_filesz - (address - p.p_vaddr))
                inside = true;
        if (!inside)
            return "damaged: its " + std::string(e.name) + " lies outside what the file holds";
    }

    // The names of the libraries it needs, from its string table (which the
    // loop above found within the file when there is one).
    bool found = false, sized = false;
    uint64_t strtab = value_of(DT_STRTAB, &found), strsz = value_of(DT_STRSZ, &sized);
    if (!found || !sized || strsz > kMaxStrings)
        return "";
    std::string strings(strsz, '\0');
    for (const ElfW(Phdr) &p : ph)
        if (p.p_type == PT_LOAD && strtab >= p.p_vaddr && strtab - p.p_vaddr < p.p_filesz) {
            if (!file.read(p.p_offset + (strtab - p.p_vaddr), &strings[0], strsz, &why))
                return why;
            break;
        }
    for (const ElfW(Dyn) &d : dyn) {
        if (d.d_tag == DT_NULL)
            break;
        if (d.d_tag == DT_NEEDED && d.d_un.d_val < strsz)
            needed->push_back(strings.c_str() + d.d_un.d_val);
    }
    return "";
}

// Checks the library at path and the libraries it needs that lie in its
// folder (where the applets' search path looks first), depth levels down.
std::string problem_of(const std::string &path, int depth, std::vector<std::string> *seen)
{
    seen->push_back(path);
    // Not blocking: a pipe named like a library would hang the open.
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return std::string("cannot be opened: ") + std::strerror(errno);
    std::string why;
    std::vector<std::string> needed;
    struct stat st;
    if (fstat(fd, &st) != 0)
        why = std::string("cannot be read: ") + std::strerror(errno);
    else if (S_ISDIR(st.st_mode))
        why = "a folder, not a library";
    else if (!S_ISREG(st.st_mode))
        why = "not a regular file";
    else
        why = check(fd, static_cast<uint64_t>(st.st_size), &needed);
    close(fd);
    if (!why.empty() || depth == 0)
        return why;
    std::string folder = path.substr(0, path.rfind('/') + 1);
    for (const std::string &name : needed) {
        std::string lib = folder + name;
        struct stat ls;
        if (name.find('/') != std::string::npos || stat(lib.c_str(), &ls) != 0 ||
            std::find(seen->begin(), seen->end(), lib) != seen->end())
            continue;
        std::string wrong = problem_of(lib, depth - 1, seen);
        if (!wrong.empty())
            return "needs the " + name + " beside it: " + wrong;
    }
    return "";
}

}  // namespace

std::string library_problem(const std::string &path)
{
    std::vector<std::string> seen;
    return problem_of(path, kNeededDepth, &seen);
}

}  // namespace cpl
