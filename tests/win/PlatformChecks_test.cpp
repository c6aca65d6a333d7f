// The guards of the run on a real Windows (Wine): the platform test, administrator membership
// with the answer that Wine cannot give forced through the call table, the refusal of a
// non-administrator at every UI level, and the shutdown privilege.
#include "sys/PlatformChecks.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/CommandLine.h"
#include "driver/RunSequence.h"
#include "driver/RunState.h"
#include "res/ResourceIds.h"
#include "support/MessageBoxRecorder.h"
#include "support/TestSupport.h"
#include "ui/MessageTable.h"

namespace {

using testing_support::BoxIcon;
using testing_support::MessageBoxRecorder;
using testing_support::RecordedBox;
using testing_support::Row;

// What the replaced membership function was asked and answers.
struct MembershipAnswer {
  BOOL callSucceeds = TRUE;
  BOOL member = FALSE;
  int calls = 0;
  HANDLE token = INVALID_HANDLE_VALUE;
  std::vector<unsigned char> sid;
};
MembershipAnswer g_answer;

BOOL WINAPI FakeCheckTokenMembership(HANDLE token, PSID sid, PBOOL isMember) {
  ++g_answer.calls;
  g_answer.token = token;
  const auto* bytes = static_cast<const unsigned char*>(sid);
  g_answer.sid.assign(bytes, bytes + GetLengthSid(sid));
  *isMember = g_answer.member;
  return g_answer.callSucceeds;
}

CheckTokenMembershipFunction BindFake(HMODULE) { return &FakeCheckTokenMembership; }
CheckTokenMembershipFunction BindNothing(HMODULE) { return nullptr; }

// Replaces the binding for one test and puts the real one back.
class ForcedMembership {
 public:
  explicit ForcedMembership(CheckTokenMembershipFunction (*bind)(HMODULE))
      : saved_(PlatformCalls()) {
    g_answer = MembershipAnswer{};
    PlatformCalls().bindCheckTokenMembership = bind;
  }
  ~ForcedMembership() { PlatformCalls() = saved_; }

 private:
  PlatformCallTable saved_;
};

std::vector<unsigned char> AdministratorsSid() {
  SID_IDENTIFIER_AUTHORITY nt = {SECURITY_NT_AUTHORITY};
  PSID sid = nullptr;
  AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0,
                           0, 0, &sid);
  const auto* bytes = static_cast<const unsigned char*>(sid);
  std::vector<unsigned char> copy(bytes, bytes + GetLengthSid(sid));
  FreeSid(sid);
  return copy;
}

TEST(PlatformChecks, ThisWindowsIsSupportedAndTheUserIsAnAdministrator) {
  // The prefix runs the default version (6.1); older versions are run end to end.
  EXPECT_TRUE(MeetsMinimumWindowsVersion());
  EXPECT_TRUE(IsOSSupported());
  EXPECT_TRUE(IsUserAdmin());
}

TEST(PlatformChecks, MembershipAnswerDecidesAndAnyFailureMeansNo) {
  struct Case {
    const char* name;
    CheckTokenMembershipFunction (*bind)(HMODULE);
    BOOL callSucceeds;
    BOOL member;
    bool expected;
  };
  const Case cases[] = {
      {"member", &BindFake, TRUE, TRUE, true},
      {"not a member", &BindFake, TRUE, FALSE, false},
      {"the call fails", &BindFake, FALSE, TRUE, false},
      {"the system lacks the function", &BindNothing, TRUE, TRUE, false},
  };
  const std::vector<unsigned char> administrators = AdministratorsSid();
  for (const Case& c : cases) {
    ForcedMembership forced(c.bind);
    g_answer.callSucceeds = c.callSucceeds;
    g_answer.member = c.member;
    EXPECT_EQ(IsUserAdmin(), c.expected) << c.name;
    if (c.bind == &BindFake) {
      // The caller's own effective token, asked about the Administrators group (S-1-5-32-544).
      EXPECT_EQ(g_answer.calls, 1) << c.name;
      EXPECT_EQ(g_answer.token, nullptr) << c.name;
      EXPECT_EQ(g_answer.sid, administrators) << c.name;
    }
  }
}

TEST(PlatformChecks, NonAdministratorIsTurnedAwayAtEveryUiLevel) {
  ForcedMembership forced(&BindFake);
  g_answer.member = FALSE;
  for (std::uint32_t level : {kUiLevelNone, kUiLevelBasic, kUiLevelReduced, kUiLevelFull}) {
    RunState state;
    state.instance = GetModuleHandleW(nullptr);
    state.appTitle = LoadTableText(state.instance, IDS_APP_TITLE);
    state.options.setUiLevel(level);
    ASSERT_TRUE(state.progress.Create(state.instance, state.appTitle.c_str(), level));

    MessageBoxRecorder boxes;
    EXPECT_FALSE(RequireAdministrator(state)) << level;
    EXPECT_EQ(state.exitCode, static_cast<DWORD>(ERROR_INSTALL_FAILURE)) << level;
    ASSERT_EQ(boxes.boxes().size(), 1u) << level;
    const RecordedBox& box = boxes.boxes()[0];
    EXPECT_EQ(box.text, Row(IDS_ADMIN_REQUIRED)) << level;
    EXPECT_EQ(box.caption, Row(IDS_APP_TITLE)) << level;
    EXPECT_EQ(box.icon, BoxIcon::Error) << level;
    // While the progress window exists it owns the box, even when it is never shown.
    EXPECT_EQ(box.owner, state.progress.window) << level;
    state.progress.Destroy();
  }

  // Once the progress window is gone the box has no owner.
  RunState state;
  state.instance = GetModuleHandleW(nullptr);
  ASSERT_TRUE(state.progress.Create(state.instance, L"Title", kUiLevelFull));
  state.progress.Destroy();
  MessageBoxRecorder boxes;
  EXPECT_FALSE(RequireAdministrator(state));
  ASSERT_EQ(boxes.boxes().size(), 1u);
  const RecordedBox& box = boxes.boxes()[0];
  EXPECT_EQ(box.owner, nullptr);
}

TEST(PlatformChecks, AdministratorGoesOn) {
  RunState state;
  state.instance = GetModuleHandleW(nullptr);
  EXPECT_TRUE(RequireAdministrator(state));
  EXPECT_EQ(state.exitCode, static_cast<DWORD>(ERROR_SUCCESS));
}

bool ShutdownPrivilegeEnabled() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
    return false;
  }
  DWORD size = 0;
  GetTokenInformation(token, TokenPrivileges, nullptr, 0, &size);
  std::vector<unsigned char> buffer(size);
  bool enabled = false;
  LUID shutdown;
  if (GetTokenInformation(token, TokenPrivileges, buffer.data(), size, &size) &&
      LookupPrivilegeValueW(nullptr, L"SeShutdownPrivilege", &shutdown)) {
    const auto* privileges = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer.data());
    for (DWORD i = 0; i < privileges->PrivilegeCount; ++i) {
      const LUID_AND_ATTRIBUTES& entry = privileges->Privileges[i];
      if (entry.Luid.LowPart == shutdown.LowPart && entry.Luid.HighPart == shutdown.HighPart) {
        enabled = (entry.Attributes & SE_PRIVILEGE_ENABLED) != 0;
      }
    }
  }
  CloseHandle(token);
  return enabled;
}

TEST(PlatformChecks, ShutdownPrivilegeIsEnabledAndAnEarlierErrorIsNotMistakenForIt) {
  // A stale last error from before the call must not turn success into failure.
  SetLastError(ERROR_ACCESS_DENIED);
  EXPECT_TRUE(EnableShutdownPrivilege());
  EXPECT_TRUE(ShutdownPrivilegeEnabled());
}

}  // namespace
