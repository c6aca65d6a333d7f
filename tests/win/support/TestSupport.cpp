#include "support/TestSupport.h"

#include <cstdlib>
#include <memory>

#include "sys/BootstrapLog.h"
// After the one include of <windows.h>, which it needs.
#include <wininet.h>

namespace testing_support {

ScratchFolder::ScratchFolder() {
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  static unsigned counter = 0;
  for (;;) {
    path_ = std::wstring(temp) + L"unit-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
            std::to_wstring(++counter) + L"\\";
    // Only a name already taken is worth another try; a missing temporary folder is not.
    if (CreateDirectoryW(path_.c_str(), nullptr) || GetLastError() != ERROR_ALREADY_EXISTS) {
      return;
    }
  }
}

ScratchFolder::~ScratchFolder() { RemoveTree(path_); }

void RemoveTree(const std::wstring& path) {
  std::wstring clean = path;
  while (!clean.empty() && clean.back() == L'\\') {
    clean.pop_back();
  }
  const DWORD attributes = GetFileAttributesW(clean.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    return;
  }
  SetFileAttributesW(clean.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    DeleteFileW(clean.c_str());
    return;
  }
  WIN32_FIND_DATAW entry;
  HANDLE find = FindFirstFileW((clean + L"\\*").c_str(), &entry);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = entry.cFileName;
      if (name != L"." && name != L"..") {
        RemoveTree(clean + L"\\" + name);
      }
    } while (FindNextFileW(find, &entry));
    FindClose(find);
  }
  RemoveDirectoryW(clean.c_str());
}

void WriteFileBytes(const std::wstring& path, const std::string& bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return;
  }
  DWORD written = 0;
  WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(file);
}

std::string ReadFileBytes(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return {};
  }
  std::string bytes;
  char buffer[65536];
  DWORD read = 0;
  while (ReadFile(file, buffer, sizeof(buffer), &read, nullptr) && read > 0) {
    bytes.append(buffer, read);
  }
  CloseHandle(file);
  return bytes;
}

bool Exists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool InUrlCache(const std::wstring& url) {
  DWORD size = 0;
  return GetUrlCacheEntryInfoW(url.c_str(), nullptr, &size) ||
         GetLastError() == ERROR_INSUFFICIENT_BUFFER;
}

bool IsFolder(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::wstring Row(UINT id) {
  const wchar_t* text = nullptr;
  const int length =
      LoadStringW(GetModuleHandleW(nullptr), id, reinterpret_cast<wchar_t*>(&text), 0);
  return length > 0 ? std::wstring(text, static_cast<std::size_t>(length)) : std::wstring();
}

std::wstring WithInsert(UINT id, const std::wstring& insert) {
  std::wstring text = Row(id);
  text.replace(text.find(L"%1"), 2, insert);
  return text;
}

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

namespace {
std::unique_ptr<ScratchFolder> g_scratchTemp;
std::wstring g_scratchTempPath;
}  // namespace

void ScratchTempEnvironment::SetUp() {
  g_scratchTemp = std::make_unique<ScratchFolder>();
  g_scratchTempPath = g_scratchTemp->path();
  SetEnvironmentVariableW(L"TMP", g_scratchTempPath.c_str());
  SetEnvironmentVariableW(L"TEMP", g_scratchTempPath.c_str());
  // The log settles in the temporary folder of its first line: it is started here, so that a
  // test that points TMP elsewhere for a while cannot carry the log away with it.
  LogString(L"[Test] log of the unit tests\n");
}

void ScratchTempEnvironment::TearDown() {
  // The log is held until it is let go, and its folder cannot go before it.
  ReleaseLogFile();
  g_scratchTemp.reset();
}

const std::wstring& ScratchTempEnvironment::path() { return g_scratchTempPath; }

LogTail::LogTail() {
  const std::wstring path = BootstrapLogPath();
  start_ = path.empty() ? 0 : ReadFileBytes(path).size();
}

std::vector<std::string> LogTail::lines() const {
  const std::wstring path = BootstrapLogPath();
  const std::string bytes = path.empty() ? std::string() : ReadFileBytes(path);
  std::vector<std::string> result;
  std::size_t at = start_;
  while (at < bytes.size()) {
    std::size_t end = bytes.find("\r\n", at);
    if (end == std::string::npos) {
      result.push_back(bytes.substr(at));
      break;
    }
    result.push_back(bytes.substr(at, end - at));
    at = end + 2;
  }
  return result;
}

std::string LogTail::text() const {
  std::string text;
  for (const std::string& line : lines()) {
    text += line + "\r\n";
  }
  return text;
}

std::wstring ProgramFolder() {
  wchar_t path[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring folder(path, length < MAX_PATH ? length : 0);
  folder.resize(folder.rfind(L'\\') + 1);
  return folder;
}

std::wstring WindowsBuildFolder() {
  wchar_t value[MAX_PATH] = {};
  const DWORD length = GetEnvironmentVariableW(L"BOOTSTRAPPER_WIN_BUILD", value, MAX_PATH);
  std::wstring folder(value, length < MAX_PATH ? length : 0);
  if (!folder.empty() && folder.back() != L'\\') {
    folder.push_back(L'\\');
  }
  return folder;
}

void DeleteProductKey(const wchar_t* key, REGSAM view) {
  // Through its parent opened in the view (Windows XP has no RegDeleteKeyExW).
  const std::wstring path = key;
  const std::size_t cut = path.rfind(L'\\');
  HKEY parent = nullptr;
  if (cut != std::wstring::npos && RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.substr(0, cut).c_str(), 0,
                                                 KEY_WRITE | view, &parent) == ERROR_SUCCESS) {
    RegDeleteKeyW(parent, path.substr(cut + 1).c_str());
    RegCloseKey(parent);
  }
}

}  // namespace testing_support
