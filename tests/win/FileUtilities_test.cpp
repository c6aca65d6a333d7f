// The file, folder and process utilities on the prefix's real file system: folder trees, path
// splitting, removal of read-only files and folders, replacement copies, and hidden child
// processes waited for while this thread's window messages are dispatched.
#include "payload/FileUtilities.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "payload/WorkFolder.h"
#include "support/TestSupport.h"
#include "sys/Win32.h"

namespace {

using testing::ElementsAre;
using testing_support::Exists;
using testing_support::LogTail;
using testing_support::ReadFileBytes;
using testing_support::ScratchFolder;
using testing_support::WriteFileBytes;

const auto* const kTempEnvironment =
    ::testing::AddGlobalTestEnvironment(new testing_support::ScratchTempEnvironment);

bool IsFolder(const std::wstring& path) { return IsExistingFolder(path.c_str()); }

TEST(CreateDirectoryTree, MakesEveryMissingLevelWithOrWithoutTrailingBackslash) {
  for (const wchar_t* ending : {L"", L"\\"}) {
    ScratchFolder root;
    const std::wstring leaf = root / L"one\\two\\three";
    EXPECT_TRUE(CreateDirectoryTree((leaf + ending).c_str()));
    EXPECT_TRUE(IsFolder(root / L"one"));
    EXPECT_TRUE(IsFolder(root / L"one\\two"));
    EXPECT_TRUE(IsFolder(leaf)) << "ending '" << testing::PrintToString(std::wstring(ending))
                                << "'";
  }
}

TEST(CreateDirectoryTree, LeavesAnExistingTreeAndItsContentAlone) {
  ScratchFolder root;
  ASSERT_TRUE(CreateDirectoryTree((root / L"a\\b").c_str()));
  WriteFileBytes(root / L"a\\b\\kept.txt", "kept");
  EXPECT_TRUE(CreateDirectoryTree((root / L"a\\b\\").c_str()));
  EXPECT_EQ(ReadFileBytes(root / L"a\\b\\kept.txt"), "kept");
}

TEST(CreateDirectoryTree, UnderAFileCreatesNothingAndStillReportsTrue) {
  ScratchFolder root;
  WriteFileBytes(root / L"file", "x");
  EXPECT_TRUE(CreateDirectoryTree((root / L"file\\sub\\leaf").c_str()));
  EXPECT_FALSE(Exists(root / L"file\\sub"));
  EXPECT_EQ(ReadFileBytes(root / L"file"), "x");
}

TEST(SplitPath, CutsAtTheLastBackslash) {
  struct Case {
    const wchar_t* path;
    const wchar_t* folder;
    const wchar_t* name;
  };
  const Case cases[] = {
      {L"C:\\temp\\sub\\file.msi", L"C:\\temp\\sub", L"file.msi"},
      {L"C:\\temp\\", L"C:\\temp", L""},
      {L"\\file", L"", L"file"},
      // Without a backslash the name buffer keeps what it held.
      {L"file.msi", L"file.msi", L"untouched"},
      {L"", L"", L"untouched"},
  };
  for (const Case& c : cases) {
    std::wstring folder = L"old";
    std::wstring name = L"untouched";
    SplitPath(c.path, folder, name);
    EXPECT_EQ(folder, c.folder) << testing::PrintToString(std::wstring(c.path));
    EXPECT_EQ(name, c.name) << testing::PrintToString(std::wstring(c.path));
  }
}

TEST(DeleteFile, RemovesAReadOnlyFileAfterOneLogLine) {
  ScratchFolder root;
  const std::wstring file = root / L"sub\\locked.txt";
  CreateDirectoryTree((root / L"sub").c_str());
  WriteFileBytes(file, "data");
  ASSERT_TRUE(SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_READONLY));
  LogTail log;
  DeleteFile(root.path().c_str(), L"sub\\", L"locked.txt");
  EXPECT_FALSE(Exists(file));
  EXPECT_THAT(log.lines(), ElementsAre("[DeleteFile] SetFileAttributes returned 1"));
}

TEST(DeleteFile, AWritableFileGoesWithoutALogLineAndAnEmptyMiddleJoinsDirectly) {
  ScratchFolder root;
  WriteFileBytes(root / L"plain.txt", "data");
  LogTail log;
  DeleteFile(root.path().c_str(), L"", L"plain.txt");
  EXPECT_FALSE(Exists(root / L"plain.txt"));
  EXPECT_TRUE(log.lines().empty());
}

TEST(RemoveDirectory, RemovesAReadOnlyEmptyFolder) {
  ScratchFolder root;
  const std::wstring folder = root / L"OEM";
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
  ASSERT_TRUE(
      SetFileAttributesW(folder.c_str(), FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY));
  // Wine keeps the read-only flag of a folder only where the file system can store it; when it
  // cannot, no attribute is cleared and so no line is written.
  const bool flagKept = (GetFileAttributesW(folder.c_str()) & FILE_ATTRIBUTE_READONLY) != 0;
  LogTail log;
  RemoveDirectory(root.path().c_str(), L"OEM");
  EXPECT_FALSE(Exists(folder));
  if (flagKept) {
    EXPECT_THAT(log.lines(), ElementsAre("[RemoveDirectory] SetFileAttributes returned 1"));
  }
}

TEST(RemoveDirectory, LeavesAFolderThatStillHoldsAFile) {
  ScratchFolder root;
  ASSERT_TRUE(CreateDirectoryW((root / L"full").c_str(), nullptr));
  WriteFileBytes(root / L"full\\left.txt", "left");
  LogTail log;
  RemoveDirectory(root.path().c_str(), L"full\\");
  EXPECT_EQ(ReadFileBytes(root / L"full\\left.txt"), "left");
  EXPECT_TRUE(log.lines().empty());
}

TEST(CopyFileToFolder, MissingSourceIsFalseAndCreatesNoTargetFolder) {
  ScratchFolder root;
  EXPECT_FALSE(CopyFileToFolder((root / L"media\\").c_str(), L"readme.txt",
                                (root / L"temp\\OEM\\").c_str()));
  EXPECT_FALSE(Exists(root / L"temp"));
}

TEST(CopyFileToFolder, AFolderIsNoSource) {
  ScratchFolder root;
  ASSERT_TRUE(CreateDirectoryTree((root / L"media\\readme.txt").c_str()));
  EXPECT_FALSE(
      CopyFileToFolder((root / L"media\\").c_str(), L"readme.txt", (root / L"temp\\").c_str()));
  EXPECT_FALSE(Exists(root / L"temp"));
}

TEST(CopyFileToFolder, CreatesTheTargetFolderAndReplacesAnExistingFile) {
  ScratchFolder root;
  CreateDirectoryTree((root / L"media").c_str());
  WriteFileBytes(root / L"media\\readme.txt", "distributor's readme");
  EXPECT_TRUE(CopyFileToFolder((root / L"media\\").c_str(), L"readme.txt",
                               (root / L"temp\\OEM\\").c_str()));
  EXPECT_EQ(ReadFileBytes(root / L"temp\\OEM\\readme.txt"), "distributor's readme");

  WriteFileBytes(root / L"temp\\OEM\\readme.txt", "a longer readme that was extracted before");
  EXPECT_TRUE(CopyFileToFolder((root / L"media\\").c_str(), L"readme.txt",
                               (root / L"temp\\OEM\\").c_str()));
  EXPECT_EQ(ReadFileBytes(root / L"temp\\OEM\\readme.txt"), "distributor's readme");
}

TEST(FileUtilities, PathsThatDoNotFitAreSkippedNotCut) {
  ScratchFolder root;
  // A name that makes the joined path reach 260 characters; the first 259 of it name a file
  // that must not be touched in its place.
  const std::size_t room = MAX_PATH - root.path().size();
  const std::wstring cutName(room - 1, L'k');
  const std::wstring longName = cutName + L"x";
  WriteFileBytes(root / cutName, "innocent");

  DeleteFile(root.path().c_str(), L"", longName.c_str());
  RemoveDirectory(root.path().c_str(), longName.c_str());
  EXPECT_EQ(ReadFileBytes(root / cutName), "innocent");

  CreateDirectoryTree((root / L"target").c_str());
  EXPECT_FALSE(
      CopyFileToFolder(root.path().c_str(), longName.c_str(), (root / L"target\\").c_str()));
  EXPECT_FALSE(
      CopyFileToFolder(root.path().c_str(), cutName.c_str(), (root / L"target\\").c_str()));
  EXPECT_FALSE(Exists(root / L"target\\" + cutName.substr(0, cutName.size() - 7)));
}

// The child program built beside the tests: exit code, report file, release event.
std::wstring ChildCommand(const std::wstring& arguments) {
  return L"\"" + testing_support::ProgramFolder() + L"unit-child.exe\" " + arguments;
}

DWORD RunCommand(std::wstring commandLine) { return RunHidden(commandLine.data()); }

TEST(RunHidden, ReturnsTheChildsExitCodeWhole) {
  for (const DWORD code : {0ul, 1603ul, 3010ul, 0x80070005ul}) {
    EXPECT_EQ(RunCommand(ChildCommand(std::to_wstring(code))), code);
  }
}

TEST(RunHidden, StartsTheChildHiddenAtTheOriginWithNoSizeInTheRunsFolder) {
  ScratchFolder root;
  ScratchFolder start;
  const std::wstring report = root / L"startup.txt";
  SetProgramStartFolder(start.path());
  EXPECT_EQ(RunCommand(ChildCommand(L"0 \"" + report + L"\"")), 0u);
  SetProgramStartFolder(L"");
  // STARTF_USESHOWWINDOW | STARTF_USESIZE | STARTF_USEPOSITION, SW_HIDE; the folder it starts in
  // is the run's, not this process's current one.
  const std::string started = ReadFileBytes(report);
  EXPECT_EQ(started.substr(0, 14), "flags=7 show=0");
  const std::wstring folder = start.path().substr(0, start.path().size() - 1);
  EXPECT_NE(started.find(" cwd=" + std::string(folder.begin(), folder.end()) + "\r\n"),
            std::string::npos)
      << started;
}

TEST(RunHidden, AProgramThatDoesNotExistIsAStartErrorNotAnExitCode) {
  ScratchFolder root;
  EXPECT_EQ(RunCommand(L"\"" + root.path() + L"missing.exe\""),
            static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

// Messages for this window count themselves; the last one expected releases the child.
struct PumpProbe {
  HANDLE release = nullptr;
  int dispatched = 0;
  int releaseAfter = 0;
};

LRESULT CALLBACK ProbeProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_APP) {
    auto* probe = reinterpret_cast<PumpProbe*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (++probe->dispatched == probe->releaseAfter) {
      SetEvent(probe->release);
    }
    return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

TEST(RunHidden, DispatchesEveryQueuedMessageWhileTheChildRuns) {
  // Three messages are queued before the wait begins and the child only ends once the third
  // has been dispatched: a wait that sleeps on messages it has already seen never gets there,
  // and the child then ends on its own timeout with ERROR_TIMEOUT.
  WNDCLASSW windowClass{};
  windowClass.lpfnWndProc = ProbeProc;
  windowClass.hInstance = GetModuleHandleW(nullptr);
  windowClass.lpszClassName = L"PumpProbe";
  RegisterClassW(&windowClass);
  HWND window = CreateWindowW(L"PumpProbe", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                              windowClass.hInstance, nullptr);
  ASSERT_NE(window, nullptr);

  const std::wstring eventName = L"unit-child-release-" + std::to_wstring(GetCurrentProcessId());
  PumpProbe probe;
  probe.release = CreateEventW(nullptr, TRUE, FALSE, eventName.c_str());
  probe.releaseAfter = 3;
  SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&probe));
  for (int i = 0; i < probe.releaseAfter; ++i) {
    PostMessageW(window, WM_APP, 0, 0);
  }

  ScratchFolder root;
  EXPECT_EQ(RunCommand(ChildCommand(L"42 \"" + (root / L"report.txt") + L"\" " + eventName)), 42u);
  EXPECT_EQ(probe.dispatched, 3);

  DestroyWindow(window);
  CloseHandle(probe.release);
}

TEST(WaitPumpingMessages, AFailedWaitIsAFailureWithALineOfItsOwn) {
  LogTail log;
  EXPECT_EQ(WaitPumpingMessages(nullptr), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_THAT(log.lines(), ElementsAre("[Error] Waiting for the process failed (6)."));
}

// The run's own folder: a new name each time, one level below the Windows folder's Temp, and
// removed whole at the end, read-only files and folders included.
TEST(WorkFolder, IsNewEachTimeAndRemovedWhole) {
  wchar_t windows[MAX_PATH] = {};
  const UINT length = GetSystemWindowsDirectoryW(windows, MAX_PATH);
  ASSERT_GT(length, 0u);
  const std::wstring parent = std::wstring(windows, length) + L"\\Temp\\";
  WorkFolder first;
  WorkFolder second;
  ASSERT_EQ(first.Create(), 0u);
  ASSERT_EQ(second.Create(), 0u);
  for (const WorkFolder* folder : {&first, &second}) {
    const std::wstring& path = folder->path();
    ASSERT_GT(path.size(), parent.size());
    EXPECT_EQ(path.substr(0, parent.size()), parent);
    EXPECT_EQ(path.find(L'\\', parent.size()), path.size() - 1) << "one level below";
    EXPECT_TRUE(IsFolder(path));
  }
  EXPECT_NE(first.path(), second.path());

  // Held: nobody renames the folder away or deletes it while the run has it.
  const std::wstring path = first.path();
  const std::wstring folderName = path.substr(0, path.size() - 1);
  EXPECT_FALSE(MoveFileW(folderName.c_str(), (folderName + L"-moved").c_str()));
  EXPECT_FALSE(RemoveDirectoryW(folderName.c_str()));
  ASSERT_TRUE(CreateDirectoryTree((path + L"Prereqs\\MSXML6").c_str()));
  WriteFileBytes(path + L"Prereqs\\MSXML6\\package.msi", "package");
  SetFileAttributesW((path + L"Prereqs\\MSXML6\\package.msi").c_str(), FILE_ATTRIBUTE_READONLY);
  first.Remove();
  EXPECT_FALSE(Exists(path));
  EXPECT_FALSE(first.created());
}

}  // namespace
