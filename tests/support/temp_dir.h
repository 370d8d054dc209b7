#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ksr::test {

// A fresh directory below %TEMP%, removed with everything in it at the end of the test.
class TempDir {
  public:
    TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    ~TempDir();
    const std::wstring& path() const { return path_; }
    std::wstring operator/(const std::wstring& relative) const { return path_ + L"\\" + relative; }

  private:
    std::wstring path_;
};

void WriteBytes(const std::wstring& path, const std::string& bytes);
std::string ReadBytes(const std::wstring& path);
bool Exists(const std::wstring& path);
void MakeDirs(const std::wstring& path);
void RemoveTree(const std::wstring& path);
// Names directly below `dir`, sorted, "." and ".." left out.
std::vector<std::wstring> ListNames(const std::wstring& dir);
// The files in the folders of `dir`, each as "<folder>\<file>".
std::vector<std::wstring> FilesOneLevelDown(const std::wstring& dir);
// A sparse file of `size` bytes: quick to make, seconds to copy whole.
bool WriteSparse(const std::wstring& path, int64_t size);
std::string Utf8(const std::wstring& text);
std::wstring FromUtf8(const std::string& bytes);

}  // namespace ksr::test
