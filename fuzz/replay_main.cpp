// Replays kept inputs through a harness without fuzzing: every file named,
// and every file in each folder named (in name order), is handed to
// LLVMFuzzerTestOneInput once, in a buffer of exactly its size so that the
// sanitizers see any read past its end.  A crash names the input first.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace fs = std::filesystem;

namespace {

bool replay(const fs::path &file)
{
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "replay: cannot read %s\n", file.c_str());
        return false;
    }
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::fprintf(stderr, "replay: %s (%zu bytes)\n", file.c_str(), bytes.size());
    std::unique_ptr<uint8_t[]> copy(new uint8_t[bytes.size() ? bytes.size() : 1]);
    if (!bytes.empty())
        std::memcpy(copy.get(), bytes.data(), bytes.size());
    LLVMFuzzerTestOneInput(copy.get(), bytes.size());
    return true;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 2 || !std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h")) {
        std::printf("usage: %s FILE|FOLDER...\n"
                    "Feeds each file (each regular file of each folder) to the harness once.\n"
                    "Exit status: 0 all replayed, 1 a file could not be read or a folder\n"
                    "held no input, 2 bad arguments.\n",
                    argv[0]);
        return argc < 2 ? 2 : 0;
    }
    size_t count = 0;
    bool ok = true;
    for (int i = 1; i < argc; ++i) {
        std::error_code ec;
        fs::path arg(argv[i]);
        if (!fs::is_directory(arg, ec)) {
            ok = replay(arg) && ok;
            ++count;
            continue;
        }
        std::vector<fs::path> files;
        for (const fs::directory_entry &e : fs::directory_iterator(arg, ec))
            if (e.is_regular_file())
                files.push_back(e.path());
        if (ec || files.empty()) {
            std::fprintf(stderr, "replay: %s holds no input\n", argv[i]);
            ok = false;
        }
        std::sort(files.begin(), files.end());
        for (const fs::path &f : files) {
            ok = replay(f) && ok;
            ++count;
        }
    }
    std::printf("replayed %zu inputs\n", count);
    return ok ? 0 : 1;
}
