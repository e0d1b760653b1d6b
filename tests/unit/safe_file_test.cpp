// The unit that writes users' files: what each kind of target becomes, what is refused before
// anything is written, and that a failed or interrupted replacement leaves the old file whole
// with nothing beside it.
#include "platform/hosted/machine_files/safe_file.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

namespace korvane::hosted {
namespace {

namespace fs = std::filesystem;

constexpr uid_t kOtherUser = 65534;  // nobody

bool IsRoot() { return geteuid() == 0; }

class SafeFileTest : public ::testing::Test {
 public:
  std::string PathOf(const std::string& name) const { return (directory_ / name).string(); }
  std::string Put(const std::string& name, const std::string& contents, mode_t mode = 0644) const {
    const std::string path = PathOf(name);
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << contents;
    chmod(path.c_str(), mode);
    return path;
  }
  std::string Read(const std::string& name) const {
    std::ifstream file(PathOf(name), std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  }
  std::vector<std::string> Entries(const std::string& folder = "") const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(directory_ / folder)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
  struct stat Status(const std::string& name) const {
    struct stat status {};
    EXPECT_EQ(lstat(PathOf(name).c_str(), &status), 0) << name;
    return status;
  }

 protected:
  void SetUp() override {
    savedMask_ = umask(022);
    std::string pattern = (fs::temp_directory_path() / "safe-file-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    directory_ = pattern;
  }
  void TearDown() override {
    umask(savedMask_);
    fs::remove_all(directory_);
  }

  fs::path directory_;
  mode_t savedMask_ = 0;
};

// Runs `check` in a child process as another user, and returns what it returned.
std::string AsOtherUser(const std::function<std::string()>& check) {
  int channel[2];
  if (pipe(channel) != 0) return "pipe failed";
  const pid_t child = fork();
  if (child == 0) {
    close(channel[0]);
    const std::string result = setgroups(0, nullptr) == 0 && setgid(kOtherUser) == 0 && setuid(kOtherUser) == 0
                                   ? check()
                                   : "cannot become uid 65534";
    const ssize_t written = write(channel[1], result.data(), result.size());
    _exit(written == static_cast<ssize_t>(result.size()) ? 0 : 1);
  }
  close(channel[1]);
  std::string result;
  char buffer[256];
  for (ssize_t got; (got = read(channel[0], buffer, sizeof buffer)) > 0;) result.append(buffer, static_cast<std::size_t>(got));
  close(channel[0]);
  waitpid(child, nullptr, 0);
  return result;
}

std::string CheckOnly(const std::string& path, TargetRule rule) {
  FileTarget target;
  std::string error;
  return CheckTarget(path, rule, &target, &error) ? "accepted" : error;
}

struct TargetCase {
  const char* what;
  TargetRule rule;
  bool needsRoot;
  std::function<std::string(SafeFileTest&)> setUp;  // the path to write
  std::string refused;                              // "": written; else part of the refusal
  std::function<void(SafeFileTest&)> check;         // after the write, or after the refusal
};

TEST_F(SafeFileTest, EachKindOfTargetIsWrittenAsCarefulToolsWriteItOrRefusedBeforeAnythingIsWritten) {
  using Rule = TargetRule;
  const TargetCase cases[] = {
      {"a new file takes the umask's permissions", Rule::kFile, false,
       [](SafeFileTest& t) { return t.PathOf("new.reg"); }, "",
       [](SafeFileTest& t) {
         EXPECT_EQ(t.Read("new.reg"), "new");
         EXPECT_EQ(t.Status("new.reg").st_mode & 07777, 0644u);
       }},
      {"a regular file is replaced and keeps its mode", Rule::kExistingFile, false,
       [](SafeFileTest& t) { return t.Put("machine.reg", "old", 0640); }, "",
       [](SafeFileTest& t) {
         EXPECT_EQ(t.Read("machine.reg"), "new");
         EXPECT_EQ(t.Status("machine.reg").st_mode & 07777, 0640u);
       }},
      {"through a symbolic link the target in its own folder is replaced and the link kept",
       Rule::kExistingFile, false,
       [](SafeFileTest& t) {
         t.Put("real/machine.reg", "old", 0600);
         symlink("real/machine.reg", t.PathOf("link.reg").c_str());
         return t.PathOf("link.reg");
       },
       "",
       [](SafeFileTest& t) {
         EXPECT_TRUE(S_ISLNK(t.Status("link.reg").st_mode));
         EXPECT_EQ(fs::read_symlink(t.PathOf("link.reg")), "real/machine.reg");
         EXPECT_EQ(t.Read("real/machine.reg"), "new");
         EXPECT_EQ(t.Status("real/machine.reg").st_mode & 07777, 0600u);
         EXPECT_EQ(t.Entries("real"), std::vector<std::string>{"machine.reg"});
       }},
      {"root saving another user's file keeps its owner, group and mode", Rule::kExistingFile, true,
       [](SafeFileTest& t) {
         const std::string path = t.Put("users.reg", "old", 0604);
         EXPECT_EQ(chown(path.c_str(), kOtherUser, kOtherUser), 0);
         return path;
       },
       "",
       [](SafeFileTest& t) {
         const struct stat status = t.Status("users.reg");
         EXPECT_EQ(status.st_uid, kOtherUser);
         EXPECT_EQ(status.st_gid, kOtherUser);
         EXPECT_EQ(status.st_mode & 07777, 0604u);
         EXPECT_EQ(t.Read("users.reg"), "new");
       }},
      {"a read-only file is refused, even to root", Rule::kExistingFile, false,
       [](SafeFileTest& t) { return t.Put("machine.reg", "old", 0444); }, "it is read-only (mode 0444)",
       [](SafeFileTest& t) { EXPECT_EQ(t.Read("machine.reg"), "old"); }},
      {"a FIFO is written into in place", Rule::kOutput, false,
       [](SafeFileTest& t) {
         EXPECT_EQ(mkfifo(t.PathOf("fifo").c_str(), 0600), 0);
         return t.PathOf("fifo");
       },
       "", [](SafeFileTest& t) { EXPECT_TRUE(S_ISFIFO(t.Status("fifo").st_mode)); }},
      {"a FIFO is no machine to save", Rule::kExistingFile, false,
       [](SafeFileTest& t) {
         EXPECT_EQ(mkfifo(t.PathOf("fifo").c_str(), 0600), 0);
         return t.PathOf("fifo");
       },
       "it is a FIFO, not a regular file", nullptr},
      {"a character device is written into in place", Rule::kOutput, false,
       [](SafeFileTest&) { return std::string("/dev/null"); }, "",
       [](SafeFileTest&) {
         struct stat status {};
         ASSERT_EQ(lstat("/dev/null", &status), 0);
         EXPECT_TRUE(S_ISCHR(status.st_mode));
       }},
      {"a character device is no regular file", Rule::kFile, false,
       [](SafeFileTest&) { return std::string("/dev/null"); }, "it is a character device, not a regular file",
       nullptr},
      {"a directory is refused", Rule::kOutput, false,
       [](SafeFileTest& t) {
         fs::create_directory(t.PathOf("folder"));
         return t.PathOf("folder");
       },
       "it is a directory: only a regular file, a FIFO or a character device is written", nullptr},
      {"a link to nothing is refused", Rule::kOutput, false,
       [](SafeFileTest& t) {
         symlink("missing.reg", t.PathOf("dangling.reg").c_str());
         return t.PathOf("dangling.reg");
       },
       "it is a symbolic link to missing.reg, which does not exist",
       [](SafeFileTest& t) { EXPECT_EQ(t.Entries(), std::vector<std::string>{"dangling.reg"}); }},
      {"a folder that does not exist is refused", Rule::kFile, false,
       [](SafeFileTest& t) { return t.PathOf("missing/changes.reg"); }, "cannot create files in", nullptr},
  };
  for (const TargetCase& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.needsRoot && !IsRoot()) {
      std::printf("skipped as uid %u (needs root): %s\n", static_cast<unsigned>(geteuid()), c.what);
      continue;
    }
    fs::remove_all(directory_);
    fs::create_directory(directory_);
    const std::string path = c.setUp(*this);
    // A FIFO's reader, for the write to have somewhere to go.
    std::string fromFifo;
    std::thread reader;
    if (path == PathOf("fifo") && c.refused.empty())
      reader = std::thread([&] { fromFifo = Read("fifo"); });
    FileTarget target;
    std::string error;
    const bool accepted = CheckTarget(path, c.rule, &target, &error);
    if (c.refused.empty()) {
      ASSERT_TRUE(accepted) << error;
      EXPECT_TRUE(WriteTarget(target, "new", &error)) << error;
    } else {
      EXPECT_FALSE(accepted);
      EXPECT_NE(error.find(c.refused), std::string::npos) << error;
    }
    if (reader.joinable()) {
      reader.join();
      EXPECT_EQ(fromFifo, "new");
    }
    if (c.check) c.check(*this);
  }
}

TEST_F(SafeFileTest, AnotherUsersFileInAFolderAnyoneMayWriteIsRefused) {
  if (!IsRoot()) GTEST_SKIP() << "needs root to make a file of another user's";
  ASSERT_EQ(chmod(directory_.c_str(), 0777), 0);
  const std::string readable = Put("readable.reg", "old", 0644);
  const std::string writable = Put("writable.reg", "old", 0666);
  EXPECT_EQ(AsOtherUser([&] { return CheckOnly(readable, TargetRule::kExistingFile); }),
            "you may not write it (owner uid 0, mode 0644)");
  // Writable, but replaced by uid 65534 it would become that user's file.
  EXPECT_EQ(AsOtherUser([&] { return CheckOnly(writable, TargetRule::kOutput); }),
            "it belongs to uid 0: replaced by uid 65534, it would change its owner");
  EXPECT_EQ(AsOtherUser([&] { return CheckOnly(PathOf("new.reg"), TargetRule::kOutput); }), "accepted");
  EXPECT_EQ(Read("readable.reg"), "old");
  EXPECT_EQ(Read("writable.reg"), "old");
}

TEST_F(SafeFileTest, SameFileThroughLinksAndPaths) {
  const std::string machine = Put("machine.reg", "old");
  symlink("machine.reg", PathOf("link.reg").c_str());
  ASSERT_EQ(link(machine.c_str(), PathOf("hard.reg").c_str()), 0);
  const std::string other = Put("other.reg", "old");
  EXPECT_TRUE(IsSameFile(PathOf("link.reg"), machine));
  EXPECT_TRUE(IsSameFile((directory_ / "." / "machine.reg").string(), machine));
  EXPECT_TRUE(IsSameFile(PathOf("hard.reg"), machine));
  EXPECT_FALSE(IsSameFile(other, machine));
  EXPECT_FALSE(IsSameFile(PathOf("missing.reg"), PathOf("missing.reg")));
}

TEST_F(SafeFileTest, StandardOutputIsWrittenAsItIs) {
  FileTarget target;
  std::string error;
  ASSERT_TRUE(CheckTarget("-", TargetRule::kOutput, &target, &error)) << error;
  EXPECT_EQ(target.kind, FileTarget::Kind::kStandardOutput);
  std::fflush(stdout);
  const int saved = dup(STDOUT_FILENO);
  const int captured = open(PathOf("stdout").c_str(), O_WRONLY | O_CREAT, 0600);
  dup2(captured, STDOUT_FILENO);
  const bool written = WriteTarget(target, "changes", &error);
  dup2(saved, STDOUT_FILENO);
  close(saved);
  close(captured);
  EXPECT_TRUE(written) << error;
  EXPECT_EQ(Read("stdout"), "changes");
  // "-" is a file of that name where only files are written.
  ASSERT_TRUE(CheckTarget("-", TargetRule::kFile, &target, &error));
  EXPECT_EQ(target.kind, FileTarget::Kind::kNewFile);
}

TEST_F(SafeFileTest, AFailedReplacementLeavesTheOldFileWholeWithNothingBeside) {
  for (const bool unnamed : {true, false}) {
    SCOPED_TRACE(unnamed ? "unnamed temporary file" : "named temporary file");
    UseUnnamedTemporaryFiles(unnamed);
    const std::string path = Put("machine.reg", "old contents");
    FileTarget target;
    std::string error;
    ASSERT_TRUE(CheckTarget(path, TargetRule::kExistingFile, &target, &error)) << error;

    // The write itself fails part-way: the file size limit stops it after 8 bytes.
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit small = saved;
    small.rlim_cur = 8;
    const auto savedHandler = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const bool written = WriteTarget(target, std::string(4096, 'x'), &error);
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, savedHandler);
    EXPECT_FALSE(written);
    EXPECT_NE(error.find("cannot write the temporary file"), std::string::npos) << error;
    EXPECT_EQ(Read("machine.reg"), "old contents");
    EXPECT_EQ(Entries(), std::vector<std::string>{"machine.reg"});

    // What stands there is checked again when it is written: here it became read-only.
    ASSERT_EQ(chmod(path.c_str(), 0444), 0);
    EXPECT_FALSE(WriteTarget(target, "new", &error));
    EXPECT_EQ(error, "it is read-only (mode 0444)");
    EXPECT_EQ(Entries(), std::vector<std::string>{"machine.reg"});
    fs::remove(path);
  }
  UseUnnamedTemporaryFiles(true);
}

// A child replaces the file over and over, with one of two contents, until it is killed.
pid_t StartReplacing(const std::string& path, const std::string& first, const std::string& second, bool unnamed) {
  const pid_t child = fork();
  if (child != 0) return child;
  UseUnnamedTemporaryFiles(unnamed);
  for (int round = 0;; ++round) {
    std::string error;
    if (!WriteFileSafely(path, round % 2 == 0 ? first : second, &error)) _exit(1);
  }
}

TEST_F(SafeFileTest, AReplacementEndedBySignalLeavesTheFileOldOrNewAndWholeWithNothingBeside) {
  const std::string old(1 << 20, 'o');
  const std::string first(16 << 20, 'a');
  const std::string second(8 << 20, 'b');
  const auto whole = [&] {
    const std::string now = Read("machine.reg");
    return now == old || now == first || now == second;
  };
  // The unnamed temporary file leaves nothing even to SIGKILL; the named one is removed by
  // the signals that ask a process to end.
  struct Ending {
    bool unnamed;
    int signal;
  };
  for (const Ending ending : {Ending{true, SIGKILL}, Ending{false, SIGTERM}, Ending{false, SIGINT}}) {
    SCOPED_TRACE(std::string(ending.unnamed ? "unnamed, " : "named, ") + strsignal(ending.signal));
    fs::remove_all(directory_);
    fs::create_directory(directory_);
    const std::string path = Put("machine.reg", old);
    const pid_t child = StartReplacing(path, first, second, ending.unnamed);
    ASSERT_GT(child, 0);
    if (ending.unnamed) {
      std::this_thread::sleep_for(std::chrono::milliseconds(150));
    } else {
      // Killed while its temporary file stands beside the machine.
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
      while (Entries().size() < 2 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
      EXPECT_EQ(Entries().size(), 2u) << "no temporary file was seen";
    }
    kill(child, ending.signal);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == ending.signal) << "status " << status;
    EXPECT_EQ(Entries(), std::vector<std::string>{"machine.reg"});
    EXPECT_TRUE(whole());
  }
}

}  // namespace
}  // namespace korvane::hosted
