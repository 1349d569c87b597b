// Who may change what the service trusts on Windows: access lists judged as Windows checks them
// (handed in, since Wine keeps none), and files and folders under Wine planted the one way Wine
// shows: a list that lets Everyone change them (which it keeps as the Unix mode).
#include <gtest/gtest.h>

#include <vector>

#include "host/driver_library.h"
#include "host/host_os.h"
#include "host/plan/drill.h"
#include "host/start_checks.h"
#include "host/windows/file_access.h"
#include "tests/windows/windows_test_support.h"

namespace {

using namespace corvale::host;
using corvale::testing::LetEveryoneChange;
using corvale::testing::WindowsFolder;

std::vector<BYTE> SidOf(const char* text) {
  PSID sid = nullptr;
  ConvertStringSidToSidA(text, &sid);
  std::vector<BYTE> bytes(static_cast<BYTE*>(sid), static_cast<BYTE*>(sid) + GetLengthSid(sid));
  LocalFree(sid);
  return bytes;
}

// One entry of an access list: allowed or denied, to whom (a SID in text), which rights, and its
// inheritance flags.
struct Entry {
  bool allowed;
  const char* who;
  ACCESS_MASK rights;
  BYTE flags = 0;
};
std::vector<BYTE> Acl(const std::vector<Entry>& entries) {
  std::vector<BYTE> memory(2048);
  auto* acl = reinterpret_cast<ACL*>(memory.data());
  InitializeAcl(acl, static_cast<DWORD>(memory.size()), ACL_REVISION);
  for (const auto& entry : entries) {
    auto sid = SidOf(entry.who);
    if (entry.allowed) {
      AddAccessAllowedAceEx(acl, ACL_REVISION, entry.flags, entry.rights, sid.data());
    } else {
      AddAccessDeniedAceEx(acl, ACL_REVISION, entry.flags, entry.rights, sid.data());
    }
  }
  return memory;
}

constexpr const char* kSystem = "S-1-5-18";
constexpr const char* kAdministrators = "S-1-5-32-544";
constexpr const char* kUsers = "S-1-5-32-545";
constexpr const char* kAuthenticatedUsers = "S-1-5-11";
constexpr const char* kEveryone = "S-1-1-0";
constexpr const char* kCreatorOwner = "S-1-3-0";
constexpr const char* kTrustedInstaller =
    "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
constexpr const char* kBob = "S-1-5-21-1004336348-1177238915-682003330-1001";
constexpr BYTE kChildrenOnly = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE | INHERIT_ONLY_ACE;
constexpr ACCESS_MASK kModify =
    FILE_GENERIC_READ | FILE_GENERIC_WRITE | FILE_GENERIC_EXECUTE | DELETE;

TEST(WindowsAccessLists, OnlyTheAdministratorsAccountsMayChangeWhatTheServiceTrusts) {
  const Entry system{true, kSystem, GENERIC_ALL};
  const Entry administrators{true, kAdministrators, GENERIC_ALL};
  const struct {
    const char* name;
    const char* owner;
    std::vector<Entry> entries;
    Guard guard;
    const char* expected;  // in the reason; "" when trusted
  } cases[] = {
      {"SYSTEM and the Administrators",
       kAdministrators,
       {system, administrators},
       Guard::kWhole,
       ""},
      {"users may read",
       kAdministrators,
       {system, administrators, {true, kUsers, FILE_GENERIC_READ | FILE_GENERIC_EXECUTE}},
       Guard::kWhole,
       ""},
      {"Windows' own files",
       kTrustedInstaller,
       {{true, kTrustedInstaller, GENERIC_ALL}, {true, kUsers, FILE_GENERIC_READ}},
       Guard::kWhole,
       ""},
      {"owned by a user", kBob, {system, administrators}, Guard::kWhole, "it is owned by"},
      {"a named user may write",
       kAdministrators,
       {system, administrators, {true, kBob, FILE_WRITE_DATA}},
       Guard::kWhole,
       "may change it"},
      {"users may append",
       kAdministrators,
       {system, {true, kUsers, FILE_APPEND_DATA}},
       Guard::kWhole,
       "Users may change it"},
      {"everyone may do anything",
       kAdministrators,
       {{true, kEveryone, GENERIC_ALL}},
       Guard::kWhole,
       "may change it"},
      {"authenticated users may change the list",
       kAdministrators,
       {system, {true, kAuthenticatedUsers, WRITE_DAC}},
       Guard::kWhole,
       "may change it"},
      {"what users make there is theirs to change",
       kAdministrators,
       {system, administrators, {true, kUsers, kModify, kChildrenOnly}},
       Guard::kWhole,
       "may change whatever is made in it"},
      {"CREATOR OWNER, where only administrators make anything",
       kAdministrators,
       {system, administrators, {true, kCreatorOwner, GENERIC_ALL, kChildrenOnly}},
       Guard::kWhole,
       ""},
      {"CREATOR OWNER, where users may make files",
       kAdministrators,
       {system,
        {true, kCreatorOwner, GENERIC_ALL, kChildrenOnly},
        {true, kUsers, FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY}},
       Guard::kWhole,
       "Users may change it"},
      {"a denial nobody made for the service",
       kAdministrators,
       {{false, kSystem, FILE_WRITE_DATA}, system, administrators},
       Guard::kWhole,
       "an entry denying"},
      // Above the service's folder, only taking over or removing what a folder holds counts.
      {"C:\\: users may make folders",
       kAdministrators,
       {system,
        administrators,
        {true, kAuthenticatedUsers, FILE_ADD_SUBDIRECTORY},
        {true, kAuthenticatedUsers, kModify, kChildrenOnly}},
       Guard::kAbove,
       ""},
      {"above: users may delete what it holds",
       kAdministrators,
       {system, {true, kUsers, FILE_DELETE_CHILD}},
       Guard::kAbove,
       "may remove, rename"},
      {"above: a denial only takes away",
       kAdministrators,
       {{false, kEveryone, DELETE}, system},
       Guard::kAbove,
       ""},
      {"above: owned by a user", kBob, {system}, Guard::kAbove, "it is owned by"},
  };
  for (const auto& c : cases) {
    const auto acl = Acl(c.entries);
    const auto owner = SidOf(c.owner);
    const auto reason = WhoElseMayChange(reinterpret_cast<const SID*>(owner.data()),
                                         reinterpret_cast<const ACL*>(acl.data()), c.guard);
    if (std::string(c.expected).empty()) {
      EXPECT_FALSE(reason) << c.name << ": " << reason.value_or("");
    } else {
      ASSERT_TRUE(reason) << c.name;
      EXPECT_NE(reason->find(c.expected), std::string::npos) << c.name << ": " << *reason;
    }
  }
  EXPECT_TRUE(WhoElseMayChange(nullptr, nullptr, Guard::kWhole)) << "no list at all";
}

TEST(WindowsAccessLists, PasswordsReadableByOtherAccountsAreNoticed) {
  const struct {
    const char* name;
    std::vector<Entry> entries;
    bool readable;
  } cases[] = {
      {"administrators and SYSTEM only",
       {{true, kAdministrators, GENERIC_ALL}, {true, kSystem, GENERIC_ALL}},
       false},
      {"users may read",
       {{true, kAdministrators, GENERIC_ALL}, {true, kUsers, FILE_GENERIC_READ}},
       true},
      {"a named user may read", {{true, kBob, FILE_READ_DATA}}, true},
      {"everyone may read", {{true, kEveryone, GENERIC_READ}}, true},
      {"users may only list", {{true, kUsers, FILE_READ_ATTRIBUTES}}, false},
      {"denied before allowed",
       {{false, kEveryone, FILE_READ_DATA}, {true, kEveryone, FILE_GENERIC_READ}},
       false},
  };
  for (const auto& c : cases) {
    const auto acl = Acl(c.entries);
    EXPECT_EQ(AclLetsOthersRead(reinterpret_cast<const ACL*>(acl.data())), c.readable) << c.name;
  }
  EXPECT_TRUE(AclLetsOthersRead(nullptr)) << "no list at all";
}

TEST(WindowsTrustedFiles, AFolderOthersMayChangeHoldsNoFlagNoHistoryAndNoConfiguration) {
  const WindowsFolder folder(L"corvale-data");
  const auto config = folder.Write("corvale-ups.toml", "[ups]\nport = \"COM1\"\n");
  const auto history = folder.Write("history.jsonl", "");
  EXPECT_FALSE(UntrustedFolder(folder.Utf8()));
  EXPECT_FALSE(UntrustedFolder(folder.Utf8() + "\\not yet")) << "made later, in a trusted folder";
  EXPECT_FALSE(UntrustedConfig(corvale::host::Utf8FromPath(config), false));
  EXPECT_FALSE(UntrustedStateFile(corvale::host::Utf8FromPath(history)));
  std::string why;
  ASSERT_TRUE(OpenFolder(folder.Utf8(), true, false, &why)) << why;

  // Planted: another account may now put a flag, a history or a configuration of its own here.
  ASSERT_TRUE(LetEveryoneChange(folder.Path()));
  const auto flags = UntrustedFolder(folder.Utf8());
  ASSERT_TRUE(flags);
  EXPECT_NE(flags->find("Everyone may change it"), std::string::npos) << *flags;
  EXPECT_NE(flags->find("icacls"), std::string::npos) << *flags;
  const auto missing = UntrustedFolder(folder.Utf8() + "\\not yet");
  ASSERT_TRUE(missing);
  EXPECT_NE(missing->find("there is no folder"), std::string::npos) << *missing;
  const auto planted = UntrustedConfig(corvale::host::Utf8FromPath(config), false);
  ASSERT_TRUE(planted);
  EXPECT_NE(planted->find("configuration of their own"), std::string::npos) << *planted;
  EXPECT_TRUE(UntrustedStateFile(corvale::host::Utf8FromPath(history)));
  EXPECT_FALSE(OpenFolder(folder.Utf8(), true, false, &why)) << "root's folders are refused";
  EXPECT_NE(why.find("Everyone"), std::string::npos) << why;
}

TEST(WindowsTrustedFiles, AFileOthersMayChangeIsNotTrustedInATrustedFolder) {
  const WindowsFolder folder(L"corvale-file");
  const auto config = folder.Write("corvale-ups.toml", "[ups]\nport = \"COM1\"\n");
  const auto history = folder.Write("history.jsonl", "");
  folder.Write("killpower", "# planted\n");
  ASSERT_TRUE(LetEveryoneChange(config));
  ASSERT_TRUE(LetEveryoneChange(history));
  ASSERT_TRUE(LetEveryoneChange(folder.Path() / L"killpower"));
  const auto problem = UntrustedConfig(corvale::host::Utf8FromPath(config), false);
  ASSERT_TRUE(problem);
  EXPECT_NE(problem->find("chooses the commands the service runs"), std::string::npos) << *problem;
  EXPECT_TRUE(UntrustedStateFile(corvale::host::Utf8FromPath(history)));
  std::string why;
  const auto opened = OpenFolder(folder.Utf8(), true, false, &why);
  ASSERT_TRUE(opened) << why;
  EXPECT_FALSE(opened->ReadOwnFile("killpower", 1024, &why));
  EXPECT_NE(why.find("Everyone"), std::string::npos) << why;
}

TEST(WindowsTrustedFiles, FilesMadeInTheServicesFoldersNamedBeyondAscii) {
  const WindowsFolder folder(L"corvale-names");
  const std::string place = folder.Utf8() + "\\Störung";
  std::string why;
  const auto opened = OpenFolder(place, true, true, &why);
  ASSERT_TRUE(opened) << why;
  ASSERT_TRUE(opened->Replace("killpower", "# flag\n", &why)) << why;
  EXPECT_TRUE(std::filesystem::exists(folder.Path() / L"St\u00f6rung" / L"killpower"));
  EXPECT_EQ(opened->ReadOwnFile("killpower", 1024, &why).value_or("-"), "# flag\n") << why;
  std::string error;
  ASSERT_TRUE(AppendDurably(place + "\\history.jsonl", "{}\n", &error)) << error;
  EXPECT_TRUE(std::filesystem::exists(folder.Path() / L"St\u00f6rung" / L"history.jsonl"));
  EXPECT_TRUE(opened->Remove("killpower"));
  EXPECT_FALSE(std::filesystem::exists(folder.Path() / L"St\u00f6rung" / L"killpower"));
}

// The driver library in the build, beside which these tests run one folder down.
std::filesystem::path BuiltLibrary() {
  wchar_t self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  return std::filesystem::path(self).parent_path().parent_path() / L"CorvaleUPS.dll";
}

TEST(WindowsDriverLibrary, LoadedByItsFullPathOnlyAndOnlyWhereNobodyElseMayChangeIt) {
  const WindowsFolder folder(L"corvale-library");
  const auto library = folder.Path() / L"CorvaleUPS.dll";
  std::filesystem::copy_file(BuiltLibrary(), library);
  const std::string path = corvale::host::Utf8FromPath(library);
  EXPECT_FALSE(corvale::LibraryProblem(path)) << corvale::LibraryProblem(path).value_or("");
  EXPECT_NO_THROW(corvale::DriverLibrary loaded(path));
  const auto relative = corvale::LibraryProblem("CorvaleUPS.dll");
  ASSERT_TRUE(relative);
  EXPECT_NE(relative->find("full path"), std::string::npos) << *relative;
  // No library beside this program: one in the current folder (anybody's) is never taken.
  wchar_t current[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, current);
  SetCurrentDirectoryW(folder.Path().c_str());
  EXPECT_THROW(corvale::DriverLibrary fallback(""), std::runtime_error);
  SetCurrentDirectoryW(current);
  // A folder that others may change: what SYSTEM would load there is theirs to choose.
  ASSERT_TRUE(LetEveryoneChange(folder.Path()));
  const auto planted = corvale::LibraryProblem(path);
  ASSERT_TRUE(planted);
  EXPECT_NE(planted->find("Everyone may change it"), std::string::npos) << *planted;
  EXPECT_THROW(corvale::DriverLibrary refused(path), std::runtime_error);
}

TEST(WindowsDrill, TheFlagsFolderAndTheShutdownProgramAreCheckedNotAssumed) {
  const WindowsFolder folder(L"corvale-drill");
  std::filesystem::create_directories(folder.Path() / L"flag");
  Config config;
  config.upses.front().port = "COM1";
  config.upses.front().library = corvale::host::Utf8FromPath(BuiltLibrary());
  config.shutdown.flagFile = folder.Utf8() + "\\flag\\killpower";
  config.shutdown.command = "\"" + folder.Utf8() + "\\shutdwn.cmd\"";
  const auto passed = [](const std::vector<plan::Check>& checks, const std::string& what) {
    for (const auto& check : checks) {
      if (check.what.find(what) != std::string::npos) return check.ok ? 1 : 0;
    }
    return -1;
  };
  auto checks = plan::ChainChecks(config, "corvale-ups.toml", {true, std::nullopt, false});
  EXPECT_EQ(passed(checks, "the shutdown command cannot run: there is no program"), 0);
  EXPECT_EQ(passed(checks, "the flag's folder"), 1);
  ASSERT_TRUE(LetEveryoneChange(folder.Path() / L"flag"));
  checks = plan::ChainChecks(config, "corvale-ups.toml", {true, std::nullopt, false});
  EXPECT_EQ(passed(checks, "the flag's folder is not trusted"), 0)
      << "anybody could plant a power cut there";
}

}  // namespace

TEST(WindowsTrustedFiles, AnOlderHistoryOthersMayChangeStopsTheStart) {
  const WindowsFolder folder(L"corvale-older");
  folder.Write("history.jsonl", "");
  const auto older = folder.Write("history.jsonl.1", "");
  corvale::host::Config config;
  config.events.history = corvale::host::Utf8FromPath(folder.Path() / L"history.jsonl");
  const auto historyProblems = [&] {
    std::vector<std::string> found;
    for (const auto& problem : corvale::host::CheckBeforeStart(config, "").problems) {
      if (problem.starts_with("events.history")) found.push_back(problem);
    }
    return found;
  };
  EXPECT_TRUE(historyProblems().empty());
  // Records planted in the older half would be read back as this service's own past.
  ASSERT_TRUE(LetEveryoneChange(older));
  EXPECT_EQ(historyProblems().size(), 1u);
}
