// The module registry while applets load and unload on other threads.
#include "applet_library.h"
#include "platform/host/include/host_resources.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace {

using namespace test_support;

TEST(Modules, LoadAndUnloadWhileOthersLookUp)
{
    std::atomic<bool> stop{false};
    std::atomic<int> found{0};
    std::thread lookup([&] {
        WCHAR text[64];
        while (!stop) {
            // FrameTest stays loaded: its strings load all the time.
            HMODULE stays = GetModuleHandleW(u"FrameTest.cpl");
            if (stays && LoadStringW(stays, 1, text, 64) == 40)
                ++found;
            GetModuleHandleW(u"FrameTrace.cpl");
            host_module_count();
        }
    });
    Library stays("FrameTest.cpl");
    size_t count = host_module_count();
    for (int i = 0; i < 40; ++i) {
        Library comes_and_goes("FrameTrace.cpl");
        EXPECT_NE(GetModuleHandleW(u"FrameTrace.cpl"), nullptr);
    }
    // Generous for a loaded machine under a sanitizer; a lookup that never
    // sees the strings fails here rather than hanging the run.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (found < 10 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
    stop = true;
    lookup.join();
    EXPECT_GE(found, 10) << "FrameTest.cpl's string 1 was read whole only " << found
                         << " times in 60 s while FrameTrace.cpl came and went";
    EXPECT_EQ(host_module_count(), count);
    EXPECT_EQ(GetModuleHandleW(u"FrameTrace.cpl"), nullptr);
}

}  // namespace
