#include <gtest/gtest.h>

#include <windows.h>

#include "server/registry.h"
#include "util/handles.h"

namespace ksr {
namespace {

// A key of the test's own below HKLM\Software, in the chosen registry view, deleted again.
class RegistryKey {
  public:
    explicit RegistryKey(REGSAM view = KEY_WOW64_64KEY)
        : view_(view),
          subkey_(L"Software\\ksrimport-test-" + std::to_wstring(GetCurrentProcessId())) {
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, subkey_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | view_,
                        nullptr, key_.put(), nullptr);
    }
    ~RegistryKey() {
        key_.reset();
        RegDeleteKeyExW(HKEY_LOCAL_MACHINE, subkey_.c_str(), view_, 0);
    }
    const std::wstring& subkey() const { return subkey_; }
    void Set(const wchar_t* name, DWORD type, const void* data, DWORD size) {
        ASSERT_EQ(RegSetValueExW(key_.get(), name, 0, type, static_cast<const BYTE*>(data), size),
                  ERROR_SUCCESS);
    }
    void SetText(const wchar_t* name, const std::wstring& text) {
        Set(name, REG_SZ, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    }

  private:
    REGSAM view_;
    std::wstring subkey_;
    unique_hkey key_;
};

std::pair<bool, std::wstring> Read(const std::wstring& subkey, const wchar_t* name,
                                   const std::wstring& root = L"HKEY_LOCAL_MACHINE") {
    const Result<std::wstring> read = ReadRegistryString(root, subkey, name);
    return {read.ok(), read.value_or(L"")};
}

TEST(ReadRegistryString, TextValuesComeBackTrimmed) {
    RegistryKey key;
    key.SetText(L"exe", L"  C:\\Program Files\\Server\\server.exe  ");
    key.SetText(L"chinese", L"D:\\服务器\\程序.exe");
    EXPECT_EQ(Read(key.subkey(), L"exe"),
              std::pair(true, std::wstring(L"C:\\Program Files\\Server\\server.exe")));
    const auto [ok, value] = Read(key.subkey(), L"chinese");
    EXPECT_TRUE(ok);
    EXPECT_EQ(value, L"D:\\服务器\\程序.exe");
    EXPECT_EQ(value.find(L'\0'), std::wstring::npos);
}

TEST(ReadRegistryString, NumbersAndBytes) {
    RegistryKey key;
    const DWORD one = 1, all = 0xFFFFFFFF;
    key.Set(L"one", REG_DWORD, &one, 4);
    key.Set(L"all", REG_DWORD, &all, 4);
    const BYTE bytes[] = {0x0A, 0xFF, 0x00};
    key.Set(L"none", REG_NONE, bytes, 3);
    key.Set(L"empty-none", REG_NONE, nullptr, 0);
    key.Set(L"binary", REG_BINARY, bytes, 3);
    key.Set(L"empty-binary", REG_BINARY, nullptr, 0);
    EXPECT_EQ(Read(key.subkey(), L"one"), std::pair(true, std::wstring(L"1")));
    EXPECT_EQ(Read(key.subkey(), L"all"), std::pair(true, std::wstring(L"4294967295")));
    EXPECT_EQ(Read(key.subkey(), L"none"), std::pair(true, std::wstring(L"0A   FF   00")));
    EXPECT_EQ(Read(key.subkey(), L"empty-none"), std::pair(true, std::wstring()));
    EXPECT_EQ(Read(key.subkey(), L"binary"), std::pair(false, std::wstring()));
    EXPECT_EQ(Read(key.subkey(), L"empty-binary"), std::pair(true, std::wstring()));
}

TEST(ReadRegistryString, MissingThingsFailWithEmptyText) {
    RegistryKey key;
    key.SetText(L"exe", L"x");
    EXPECT_EQ(Read(key.subkey(), L"absent"), std::pair(false, std::wstring()));
    EXPECT_EQ(Read(key.subkey() + L"\\absent", L"exe"), std::pair(false, std::wstring()));
    EXPECT_EQ(Read(key.subkey(), L"exe", L"hkey_local_machine"), std::pair(false, std::wstring()))
        << "root-key names are matched exactly";
    EXPECT_EQ(Read(key.subkey(), L"exe", L"HKEY_USERS"), std::pair(false, std::wstring()));
}

TEST(ReadRegistryString, FailuresSayWhatAndWhere) {
    RegistryKey key;
    const BYTE bytes[] = {1, 2};
    key.Set(L"binary", REG_BINARY, bytes, sizeof bytes);
    const std::wstring where = L"HKEY_LOCAL_MACHINE\\" + key.subkey() + L"\\absent";
    const Result<std::wstring> absent =
        ReadRegistryString(L"HKEY_LOCAL_MACHINE", key.subkey(), L"absent");
    ASSERT_FALSE(absent.ok());
    EXPECT_EQ(absent.error().win32, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(absent.error().path, where);
    const Result<std::wstring> binary =
        ReadRegistryString(L"HKEY_LOCAL_MACHINE", key.subkey(), L"binary");
    ASSERT_FALSE(binary.ok());
    EXPECT_EQ(binary.error().win32, static_cast<DWORD>(ERROR_INVALID_DATA));
    EXPECT_FALSE(binary.error().IsDatabase());
}

TEST(ReadRegistryString, SeesBothRegistryViews) {
    {
        RegistryKey key32(KEY_WOW64_32KEY);
        key32.SetText(L"exe", L"C:\\x86\\server.exe");
        EXPECT_EQ(Read(key32.subkey(), L"exe"),
                  std::pair(true, std::wstring(L"C:\\x86\\server.exe")));
    }
    {
        RegistryKey key64(KEY_WOW64_64KEY);
        key64.SetText(L"exe", L"C:\\x64\\server.exe");
        EXPECT_EQ(Read(key64.subkey(), L"exe"),
                  std::pair(true, std::wstring(L"C:\\x64\\server.exe")));
    }
}

}  // namespace
}  // namespace ksr
