// A writer process for the registry's concurrency tests.
//   reg_writer values PREFIX COUNT   sets HKLM\Race PREFIX0..PREFIXn-1 = i, one call each
//   reg_writer churn FIRST           rewrites HKLM\Churn "Big" (16 KiB of one byte) and
//                                    "Count", rounds FIRST, FIRST+1, ... until it is killed
#include "platform/platform.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

static HKEY create(LPCWSTR path)
{
    HKEY k = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, 0, nullptr, &k, nullptr) != 0) {
        std::fprintf(stderr, "reg_writer: cannot create the key\n");
        std::exit(1);
    }
    return k;
}

int main(int argc, char **argv)
{
    std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "values" && argc == 4) {
        HKEY k = create(u"Race");
        int count = std::atoi(argv[3]);
        for (DWORD i = 0; i < static_cast<DWORD>(count); ++i) {
            std::string name = argv[2] + std::to_string(i);
            std::u16string wide(name.begin(), name.end());
            if (RegSetValueExW(k, wide.c_str(), 0, REG_DWORD, reinterpret_cast<BYTE *>(&i), 4) != 0)
                return 1;
        }
        RegCloseKey(k);
        return 0;
    }
    if (mode == "churn" && argc == 3) {
        HKEY k = create(u"Churn");
        std::vector<BYTE> big(16384);
        for (DWORD i = static_cast<DWORD>(std::atoi(argv[2]));; ++i) {
            big.assign(big.size(), static_cast<BYTE>(i));
            if (RegSetValueExW(k, u"Big", 0, REG_BINARY, big.data(), static_cast<DWORD>(big.size())) ||
                RegSetValueExW(k, u"Count", 0, REG_DWORD, reinterpret_cast<BYTE *>(&i), 4))
                return 1;
        }
    }
    std::fprintf(stderr, "usage: reg_writer values PREFIX COUNT | churn FIRST\n");
    return 2;
}
