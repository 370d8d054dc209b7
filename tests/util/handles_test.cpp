#include <gtest/gtest.h>

#include <windows.h>

#include <stdexcept>
#include <thread>

#include "support/temp_dir.h"
#include "util/handles.h"

namespace ksr {
namespace {

TEST(UniqueHfile, NullAndInvalidAreBothEmpty) {
    EXPECT_FALSE(unique_hfile());
    EXPECT_FALSE(unique_hfile(INVALID_HANDLE_VALUE));
    EXPECT_FALSE(unique_hfile(nullptr)) << "a null handle names no file either";
    unique_hfile null(nullptr);
    null.reset();  // must not close anything
    EXPECT_FALSE(unique_hfind(nullptr));
}

TEST(UniqueHfile, ClosesWhatItHoldsOnceAndHandsItOver) {
    test::TempDir dir;
    const std::wstring path = dir / L"held.txt";
    test::WriteBytes(path, "x");
    const auto openExclusive = [&] {
        return unique_hfile(CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    };
    unique_hfile first = openExclusive();
    ASSERT_TRUE(first);
    EXPECT_FALSE(openExclusive()) << "held without sharing";
    unique_hfile moved = std::move(first);
    EXPECT_FALSE(first);
    EXPECT_FALSE(openExclusive()) << "still held by the moved-to holder";
    moved.reset();
    EXPECT_TRUE(openExclusive()) << "closed on reset";
}

TEST(UniqueCotaskmemString, FreesTheSystemsText) {
    unique_cotaskmem_string text(static_cast<wchar_t*>(CoTaskMemAlloc(4 * sizeof(wchar_t))));
    ASSERT_TRUE(text);
    wcscpy_s(text.get(), 4, L"abc");
    EXPECT_STREQ(text.get(), L"abc");
    text.reset();
    EXPECT_FALSE(text);
}

TEST(UniqueComInit, UndoesOnlyAnInitialisationThatHappened) {
    std::thread([] {
        {
            const unique_com_init com(COINIT_MULTITHREADED);
            EXPECT_EQ(com.result(), S_OK);
            // Another model on the same thread is refused and must not be undone.
            const unique_com_init other(COINIT_APARTMENTTHREADED);
            EXPECT_EQ(other.result(), RPC_E_CHANGED_MODE);
        }
        // Both guards are gone: the thread is uninitialised, so any model is taken afresh.
        const unique_com_init again(COINIT_APARTMENTTHREADED);
        EXPECT_EQ(again.result(), S_OK);
    }).join();
}

// The guard runs its step on every way out of the scope, an exception's included, exactly once,
// unless released.
TEST(ScopeExit, RunsOnEveryWayOutUnlessReleased) {
    enum class Out { Normal, Released, Thrown };
    for (const Out way : {Out::Normal, Out::Released, Out::Thrown}) {
        int ran = 0;
        try {
            auto guard = scope_exit([&] { ++ran; });
            if (way == Out::Released) guard.release();
            if (way == Out::Thrown) throw std::runtime_error("out");
        } catch (const std::runtime_error&) {
        }
        EXPECT_EQ(ran, way == Out::Released ? 0 : 1) << static_cast<int>(way);
    }
}

// A font selected for a measurement is deselected again, so the context's own is back.
TEST(SelectedObject, PutsTheFormerObjectBack) {
    const unique_window_dc screen(nullptr);
    ASSERT_TRUE(screen);
    const HGDIOBJ before = GetCurrentObject(screen.get(), OBJ_FONT);
    const unique_hfont font(
        CreateFontW(-20, 0, 0, 0, FW_BOLD, 0, 0, 0, DEFAULT_CHARSET, 0, 0, 0, 0, L"Tahoma"));
    ASSERT_TRUE(font);
    {
        const selected_object selected(screen.get(), font.get());
        EXPECT_EQ(GetCurrentObject(screen.get(), OBJ_FONT), font.get());
    }
    EXPECT_EQ(GetCurrentObject(screen.get(), OBJ_FONT), before);
}

}  // namespace
}  // namespace ksr
