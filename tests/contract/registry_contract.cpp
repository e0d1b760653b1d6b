#include "contract/registry_contract.h"

#include <array>
#include <chrono>
#include <iterator>
#include <cstring>

namespace korvane::contract {

using platform::RegKey;

namespace {

constexpr RegKey kSentinelKey = 0x5A5A5A5A;
constexpr std::uint32_t kSentinelDisposition = 0xDEAD;
constexpr std::uint32_t kSentinelType = 0xBEEF;
constexpr char kFill = '#';

// Scratch keys of earlier runs may still be there on a real registry: each process names
// its own.
const std::string& RunToken() {
  static const std::string token = [] {
    const auto ticks = std::chrono::system_clock::now().time_since_epoch().count();
    return std::to_string(static_cast<unsigned long long>(ticks));
  }();
  return token;
}

std::string CurrentTestName() {
  std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
  for (char& c : name)
    if (c == '/') c = '.';
  return name;
}

template <std::size_t N>
std::array<char, N> Filled() {
  std::array<char, N> buffer;
  buffer.fill(kFill);
  return buffer;
}

// A text's bytes with its terminator, as a REG_SZ written with it is stored.
std::vector<std::uint8_t> Terminated(const std::string& text) {
  return std::vector<std::uint8_t>(text.c_str(), text.c_str() + text.size() + 1);
}

template <std::size_t N>
bool StillFilled(const std::array<char, N>& buffer) {
  for (char c : buffer)
    if (c != kFill) return false;
  return true;
}

}  // namespace

std::string SubjectName(const ::testing::TestParamInfo<RegistrySubject>& info) { return info.param.name; }

void RegistryContract::SetUp() {
  registry_ = GetParam().make();
  ASSERT_NE(registry_, nullptr);
  scratchPath_ = "Software\\KorvaneContractTest\\" + RunToken() + "\\" + CurrentTestName();
  ASSERT_EQ(CreateUnder(platform::kHkeyLocalMachine, scratchPath_, &scratch_), platform::kCreatedNewKey)
      << "the scratch key of this test was there before it";
}

void RegistryContract::TearDown() {
  for (RegKey key : opened_) registry().CloseKey(key);
  opened_.clear();
  if (scratch_ != platform::kNullKey) registry().CloseKey(scratch_);
}

RegKey RegistryContract::Create(const std::string& path) {
  RegKey key = platform::kNullKey;
  CreateUnder(scratch_, path, &key);
  if (key != platform::kNullKey) opened_.push_back(key);
  return key;
}

std::uint32_t RegistryContract::CreateUnder(RegKey parent, const std::string& path, RegKey* key) {
  std::uint32_t disposition = 0;
  EXPECT_EQ(registry().CreateKey(parent, path.c_str(), platform::kKeyAllAccess, key, &disposition),
            platform::kErrorSuccess)
      << path;
  return disposition;
}

RegKey RegistryContract::Open(const std::string& path, std::uint32_t access) {
  RegKey key = platform::kNullKey;
  if (registry().OpenKey(scratch_, path.c_str(), access, &key) != platform::kErrorSuccess) return platform::kNullKey;
  opened_.push_back(key);
  return key;
}

void RegistryContract::Put(RegKey key, const char* name, std::uint32_t type, const void* data, std::uint32_t size) {
  ASSERT_EQ(registry().SetValue(key, name, type, data, size), platform::kErrorSuccess) << (name ? name : "(default)");
}

void RegistryContract::PutText(RegKey key, const char* name, const std::string& text) {
  Put(key, name, platform::kRegSz, text.c_str(), static_cast<std::uint32_t>(text.size() + 1));
}

std::vector<std::uint8_t> RegistryContract::Stored(RegKey key, const char* name, std::uint32_t* type) {
  std::uint32_t size = 0;
  if (registry().QueryValue(key, name, type, nullptr, &size) != platform::kErrorSuccess) return {};
  // One byte more than stored, so that the terminator the read adds falls outside the data.
  std::vector<char> buffer(size + 1, kFill);
  std::uint32_t capacity = size + 1;
  EXPECT_EQ(registry().QueryValue(key, name, type, buffer.data(), &capacity), platform::kErrorSuccess);
  EXPECT_EQ(capacity, size);
  return std::vector<std::uint8_t>(buffer.begin(), buffer.begin() + size);
}

// --- Enumeration ---

TEST_P(RegistryContract, EnumKeyListsSubkeysByUpperCasedNameThenEndsWith259) {
  // Letters of both cases, digits, '-' and braces: characters that sort the same whether a
  // registry folds names to upper case (Windows) or to lower case (Wine).
  for (const char* name : {"beta", "Alpha", "GAMMA", "{4D36E972}", "delta", "0001", "aZ", "a-b"}) Create(name);
  const std::vector<std::string> expected = {"0001", "a-b", "Alpha", "aZ", "beta", "delta", "GAMMA", "{4D36E972}"};

  std::vector<std::string> listed;
  for (std::uint32_t index = 0; index < expected.size(); ++index) {
    auto name = Filled<1024>();
    std::uint32_t size = name.size();
    ASSERT_EQ(registry().EnumKey(scratch_, index, name.data(), &size), platform::kErrorSuccess) << index;
    listed.emplace_back(name.data());
    EXPECT_EQ(size, listed.back().size()) << "the size comes back without the terminator";
  }
  EXPECT_EQ(listed, expected);

  auto name = Filled<1024>();
  std::uint32_t size = name.size();
  EXPECT_EQ(registry().EnumKey(scratch_, static_cast<std::uint32_t>(expected.size()), name.data(), &size),
            platform::kErrorNoMoreItems);
  EXPECT_TRUE(StillFilled(name));
  EXPECT_EQ(size, name.size());
}

TEST_P(RegistryContract, EnumKeyNameThatDoesNotFitFailsWith234AndLeavesTheBuffer) {
  Create("Adapter");  // 7 characters and a terminator
  auto name = Filled<16>();
  std::uint32_t size = 7;
  EXPECT_EQ(registry().EnumKey(scratch_, 0, name.data(), &size), platform::kErrorMoreData);
  EXPECT_TRUE(StillFilled(name));
  EXPECT_EQ(size, 7u);

  size = 8;
  ASSERT_EQ(registry().EnumKey(scratch_, 0, name.data(), &size), platform::kErrorSuccess);
  EXPECT_STREQ(name.data(), "Adapter");
  EXPECT_EQ(size, 7u);
  EXPECT_EQ(name[8], kFill) << "nothing is written past the terminator";
}

// --- Paths ---

TEST_P(RegistryContract, TrailingAndDoubledBackslashesAndLetterCaseNameTheSameKey) {
  PutText(Create("One\\Two"), "Marker", "here");
  for (const char* path : {"One\\Two\\", "One\\\\Two", "One\\Two\\\\", "ONE\\two"}) {
    const RegKey key = Open(path);
    ASSERT_NE(key, platform::kNullKey) << path;
    EXPECT_EQ(Stored(key, "MARKER"), Terminated("here")) << path;
  }
}

TEST_P(RegistryContract, EmptyOrNullPathOpensTheKeyAgain) {
  PutText(scratch_, "Marker", "here");
  for (const char* path : {"", static_cast<const char*>(nullptr)}) {
    RegKey again = platform::kNullKey;
    ASSERT_EQ(registry().OpenKey(scratch_, path, platform::kKeyRead, &again), platform::kErrorSuccess);
    ASSERT_NE(again, platform::kNullKey);
    EXPECT_EQ(Stored(again, "Marker"), Terminated("here"));
    // A handle of its own: closing it leaves the first one open.
    EXPECT_EQ(registry().CloseKey(again), platform::kErrorSuccess);
    EXPECT_EQ(Stored(scratch_, "Marker"), Terminated("here"));
  }
}

// --- Handles ---

TEST_P(RegistryContract, FailedOpenOrCreateStoresANullHandleAndNoDisposition) {
  Create("One");
  struct Attempt {
    bool create;
    bool onNullKey;
    const char* path;
    std::int32_t status;
  };
  // A path with a leading backslash fails with 161 (ERROR_BAD_PATHNAME).
  for (const Attempt& attempt : {Attempt{false, false, "Missing\\Deeper", platform::kErrorFileNotFound},
                                 Attempt{true, true, "Software", platform::kErrorInvalidHandle},
                                 Attempt{false, true, "Software", platform::kErrorInvalidHandle},
                                 Attempt{false, false, "\\One", platform::kErrorBadPathname},
                                 Attempt{true, false, "\\One\\Three", platform::kErrorBadPathname}}) {
    SCOPED_TRACE(std::string(attempt.create ? "create " : "open ") + attempt.path);
    const RegKey parent = attempt.onNullKey ? platform::kNullKey : scratch_;
    RegKey key = kSentinelKey;
    std::uint32_t disposition = kSentinelDisposition;
    EXPECT_EQ(attempt.create ? registry().CreateKey(parent, attempt.path, platform::kKeyAllAccess, &key, &disposition)
                             : registry().OpenKey(parent, attempt.path, platform::kKeyRead, &key),
              attempt.status);
    EXPECT_EQ(key, platform::kNullKey);
    EXPECT_EQ(disposition, kSentinelDisposition);
  }
  EXPECT_EQ(Open("One\\Three"), platform::kNullKey) << "the failed create made the key all the same";
}

// Everything one handle is asked for, done before any result is checked.
constexpr const char* kHandleCalls[] = {"EnumKey", "QueryValue", "SetValue", "CreateKey", "CloseKey"};

struct HandleAttempt {
  std::array<std::int32_t, std::size(kHandleCalls)> statuses{};
  std::array<char, 32> buffer{};
  std::uint32_t size = 0;
  std::uint32_t type = kSentinelType;
  RegKey child = kSentinelKey;
  std::uint32_t disposition = kSentinelDisposition;
};

HandleAttempt AttemptEverything(platform::RegistryService& registry, RegKey key) {
  HandleAttempt attempt;
  attempt.buffer = Filled<32>();
  attempt.size = attempt.buffer.size();
  // In the order of kHandleCalls; a braced list is evaluated left to right.
  attempt.statuses = {registry.EnumKey(key, 0, attempt.buffer.data(), &attempt.size),
                      registry.QueryValue(key, "Kept", &attempt.type, attempt.buffer.data(), &attempt.size),
                      registry.SetValue(key, "Kept", platform::kRegSz, "no", 3),
                      registry.CreateKey(key, "Child", platform::kKeyAllAccess, &attempt.child, &attempt.disposition),
                      registry.CloseKey(key)};
  return attempt;
}

void ExpectAllFailed(const HandleAttempt& attempt, const char* which) {
  for (std::size_t call = 0; call < attempt.statuses.size(); ++call)
    EXPECT_EQ(attempt.statuses[call], platform::kErrorInvalidHandle) << which << ": " << kHandleCalls[call];
  EXPECT_TRUE(StillFilled(attempt.buffer)) << which;
  EXPECT_EQ(attempt.size, attempt.buffer.size()) << which;
  EXPECT_EQ(attempt.type, kSentinelType) << which;
  EXPECT_EQ(attempt.child, platform::kNullKey) << which;
  EXPECT_EQ(attempt.disposition, kSentinelDisposition) << which;
}

TEST_P(RegistryContract, NullAndClosedHandlesFailAndChangeNothing) {
  RegKey closed = platform::kNullKey;
  ASSERT_NE(CreateUnder(scratch_, "Closed", &closed), 0u);
  PutText(closed, "Kept", "yes");
  ASSERT_EQ(registry().CloseKey(closed), platform::kErrorSuccess);
  // Windows gives a freed handle number to the next handle the process opens, whoever opens
  // it (the test framework too, on its first failure or trace): the closed handle is used
  // before anything else can run.
  const HandleAttempt onClosed = AttemptEverything(registry(), closed);
  const HandleAttempt onNull = AttemptEverything(registry(), platform::kNullKey);
  ExpectAllFailed(onClosed, "closed handle");
  ExpectAllFailed(onNull, "null handle");

  const RegKey reopened = Open("Closed");
  ASSERT_NE(reopened, platform::kNullKey);
  EXPECT_EQ(Stored(reopened, "Kept"), Terminated("yes"));
  EXPECT_EQ(Open("Closed\\Child"), platform::kNullKey);
}

TEST_P(RegistryContract, ClosingARootKeySucceedsAndLeavesItUsable) {
  for (RegKey root : {platform::kHkeyLocalMachine, platform::kHkeyDynData}) {
    SCOPED_TRACE(root == platform::kHkeyDynData ? "HKEY_DYN_DATA" : "HKEY_LOCAL_MACHINE");
    EXPECT_EQ(registry().CloseKey(root), platform::kErrorSuccess);
    RegKey key = platform::kNullKey;
    const std::string path = root == platform::kHkeyDynData ? "KorvaneContractTest\\" + RunToken() : scratchPath_;
    ASSERT_NE(CreateUnder(root, path, &key), 0u);
    EXPECT_EQ(registry().CloseKey(key), platform::kErrorSuccess);
  }
}

// --- Creating keys and writing values ---

TEST_P(RegistryContract, CreateMakesIntermediateKeysThenFindsThemThere) {
  RegKey key = platform::kNullKey;
  ASSERT_EQ(CreateUnder(scratch_, "Ndi\\Params\\NetworkAddress", &key), platform::kCreatedNewKey);
  EXPECT_EQ(registry().CloseKey(key), platform::kErrorSuccess);
  EXPECT_NE(Open("Ndi"), platform::kNullKey);
  EXPECT_NE(Open("Ndi\\Params"), platform::kNullKey);

  for (const char* again : {"Ndi\\Params\\NetworkAddress", "NDI\\params\\networkaddress\\", "Ndi\\Params"}) {
    ASSERT_EQ(CreateUnder(scratch_, again, &key), platform::kOpenedExistingKey) << again;
    EXPECT_EQ(registry().CloseKey(key), platform::kErrorSuccess);
  }
}

TEST_P(RegistryContract, SetValueStoresExactlyTheBytesGiven) {
  const std::uint8_t binary[] = {0x00, 0x01, 0xFF, 0x00, 0x7F};
  Put(scratch_, "Binary", platform::kRegBinary, binary, sizeof binary);
  const std::uint8_t dword[] = {0x01, 0x00, 0x00, 0x00};
  Put(scratch_, "Dword", platform::kRegDword, dword, sizeof dword);
  Put(scratch_, "Text", platform::kRegSz, "Locally\0", 8);
  Put(scratch_, "Empty", platform::kRegSz, "", 0);
  Put(scratch_, nullptr, platform::kRegSz, "default", 8);

  std::uint32_t type = 0;
  EXPECT_EQ(Stored(scratch_, "Binary", &type), std::vector<std::uint8_t>(binary, binary + sizeof binary));
  EXPECT_EQ(type, platform::kRegBinary);
  EXPECT_EQ(Stored(scratch_, "Dword", &type), std::vector<std::uint8_t>(dword, dword + sizeof dword));
  EXPECT_EQ(type, platform::kRegDword);
  EXPECT_EQ(Stored(scratch_, "Text", &type), Terminated("Locally"));
  EXPECT_EQ(type, platform::kRegSz);

  std::uint32_t size = kSentinelType;
  EXPECT_EQ(registry().QueryValue(scratch_, "Empty", &type, nullptr, &size), platform::kErrorSuccess);
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(Stored(scratch_, "", &type), Terminated("default"))
      << "no value name is the key's default value";

  // Writing again replaces type and length.
  Put(scratch_, "Binary", platform::kRegSz, "1\0", 2);
  EXPECT_EQ(Stored(scratch_, "Binary", &type), Terminated("1"));
  EXPECT_EQ(type, platform::kRegSz);
}

TEST_P(RegistryContract, TextWithoutItsTerminatorIsStoredAsCounted) {
  // "0" counted as one byte, from a literal whose terminator follows it: what the
  // NetworkAddress default is written as.
  Put(scratch_, "FollowedByZero", platform::kRegSz, "0", 1);
  const char notFollowedByZero[] = {'0', 'X'};
  Put(scratch_, "FollowedByX", platform::kRegSz, notFollowedByZero, 1);

  // NT stores the terminator it found after the data as part of the text.
  EXPECT_EQ(Stored(scratch_, "FollowedByZero"),
            GetParam().countsFollowingZero ? Terminated("0") : (std::vector<std::uint8_t>{'0'}));
  EXPECT_EQ(Stored(scratch_, "FollowedByX"), (std::vector<std::uint8_t>{'0'}));
}

TEST_P(RegistryContract, WriteThroughAReadOnlyHandleFailsWith5) {
  const RegKey readOnly = Open("", platform::kKeyRead);
  ASSERT_NE(readOnly, platform::kNullKey);
  EXPECT_EQ(registry().SetValue(readOnly, "Refused", platform::kRegSz, "x", 2), platform::kErrorAccessDenied);
  std::uint32_t size = 0;
  EXPECT_EQ(registry().QueryValue(scratch_, "Refused", nullptr, nullptr, &size), platform::kErrorFileNotFound);
}

TEST_P(RegistryContract, DeleteKeyRemovesAKeyWithoutSubkeysAndNothingElse) {
  const RegKey leaf = Create("Parent\\Leaf");
  PutText(leaf, "Marker", "here");
  EXPECT_EQ(registry().DeleteKey(scratch_, "Parent"), platform::kErrorAccessDenied) << "a key with a subkey";
  EXPECT_NE(Open("Parent\\Leaf"), platform::kNullKey) << "the refused delete took the subtree";

  EXPECT_EQ(registry().DeleteKey(scratch_, "PARENT\\leaf\\"), platform::kErrorSuccess);
  EXPECT_EQ(Open("Parent\\Leaf"), platform::kNullKey);
  EXPECT_NE(Open("Parent"), platform::kNullKey);
  std::uint32_t size = 0;
  EXPECT_EQ(registry().QueryValue(leaf, "Marker", nullptr, nullptr, &size), platform::kErrorKeyDeleted)
      << "a handle on the deleted key still reads";

  EXPECT_EQ(registry().DeleteKey(scratch_, "Parent\\Leaf"), platform::kErrorFileNotFound);
  EXPECT_EQ(registry().DeleteKey(scratch_, ""), platform::kErrorBadPathname) << "the key itself";
  EXPECT_EQ(registry().DeleteKey(platform::kNullKey, "Parent"), platform::kErrorInvalidHandle);
  EXPECT_NE(Open(""), platform::kNullKey);
}

// --- Reading values ---

TEST_P(RegistryContract, FailedQueryLeavesBufferTypeAndSizeAsTheyWere) {
  PutText(scratch_, "Long", "123456789");  // 10 bytes with the terminator

  auto buffer = Filled<8>();
  std::uint32_t type = kSentinelType;
  std::uint32_t size = buffer.size();
  EXPECT_EQ(registry().QueryValue(scratch_, "Absent", &type, buffer.data(), &size), platform::kErrorFileNotFound);
  EXPECT_TRUE(StillFilled(buffer));
  EXPECT_EQ(type, kSentinelType);
  EXPECT_EQ(size, buffer.size());

  for (std::uint32_t capacity : {4u, 9u}) {
    SCOPED_TRACE(capacity);
    size = capacity;
    EXPECT_EQ(registry().QueryValue(scratch_, "Long", &type, buffer.data(), &size), platform::kErrorMoreData);
    EXPECT_TRUE(StillFilled(buffer));
    EXPECT_EQ(type, kSentinelType);
    EXPECT_EQ(size, capacity) << "the size needed is not reported";
  }

  auto exact = Filled<10>();
  size = exact.size();
  ASSERT_EQ(registry().QueryValue(scratch_, "Long", &type, exact.data(), &size), platform::kErrorSuccess);
  EXPECT_STREQ(exact.data(), "123456789");
  EXPECT_EQ(size, 10u);
  EXPECT_EQ(type, platform::kRegSz);
}

TEST_P(RegistryContract, UnterminatedTextIsReadBackTerminated) {
  const char abc[] = {'a', 'b', 'c', 'X'};
  Put(scratch_, "Abc", platform::kRegSz, abc, 3);

  // With room: a terminator after the data, nothing further touched.
  auto roomy = Filled<8>();
  std::uint32_t size = roomy.size();
  ASSERT_EQ(registry().QueryValue(scratch_, "Abc", nullptr, roomy.data(), &size), platform::kErrorSuccess);
  EXPECT_EQ(std::string(roomy.data(), 5), std::string("abc\0#", 5));
  EXPECT_EQ(size, 3u);

  // Data that fills the buffer: its last byte becomes the terminator.
  auto full = Filled<3>();
  size = full.size();
  ASSERT_EQ(registry().QueryValue(scratch_, "Abc", nullptr, full.data(), &size), platform::kErrorSuccess);
  EXPECT_EQ(std::string(full.data(), 3), std::string("ab\0", 3));
  EXPECT_EQ(size, 3u);

  // Binary data is no different: what was read is always a text inside the buffer.
  const std::uint8_t bytes[] = {0x41, 0x42};
  Put(scratch_, "Bytes", platform::kRegBinary, bytes, sizeof bytes);
  auto two = Filled<2>();
  size = two.size();
  ASSERT_EQ(registry().QueryValue(scratch_, "Bytes", nullptr, two.data(), &size), platform::kErrorSuccess);
  EXPECT_EQ(std::string(two.data(), 2), std::string("A\0", 2));
}

}  // namespace korvane::contract
