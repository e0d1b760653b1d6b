// The unit that writes users' files: what each kind of target becomes, what is refused before
// anything is written, that an original is kept once, and that a failed or interrupted
// replacement leaves the old file whole with nothing beside it.
#include "machine_files/io/file_targets.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

namespace korvane::sim {
namespace {

namespace fs = std::filesystem;

constexpr uid_t kOtherUser = 65534;  // nobody

class FileTargetsTest : public ::testing::Test {
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
    for (const auto& entry : fs::directory_iterator(directory_ / folder))
      names.push_back(entry.path().filename().string());
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
    std::string pattern = (fs::temp_directory_path() / "file-targets-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    directory_ = pattern;
  }
  void TearDown() override {
    umask(savedMask_);
    UseUnnamedTemporaryFiles(true);
    fs::remove_all(directory_);
  }

  fs::path directory_;
  mode_t savedMask_ = 0;
};

// A POSIX ACL that also lets `user` read: the form the kernel takes system.posix_acl_access in.
std::string AclLettingRead(uid_t user) {
  std::string acl;
  const auto put = [&acl](std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) acl += static_cast<char>((value >> (8 * i)) & 0xFF);
  };
  put(2, 4);  // version
  const std::uint32_t entries[][3] = {{0x01, 6, 0xFFFFFFFF},   // owner: rw-
                                      {0x02, 4, user},         // the user: r--
                                      {0x04, 4, 0xFFFFFFFF},   // group: r--
                                      {0x10, 4, 0xFFFFFFFF},   // mask: r--
                                      {0x20, 0, 0xFFFFFFFF}};  // others: ---
  for (const auto& entry : entries) {
    put(entry[0], 2);
    put(entry[1], 2);
    put(entry[2], 4);
  }
  return acl;
}

// An extended attribute's value, or "(none)".
std::string Attribute(const std::string& path, const char* name) {
  char value[256];
  const ssize_t size = lgetxattr(path.c_str(), name, value, sizeof value);
  return size < 0 ? "(none)" : std::string(value, static_cast<std::size_t>(size));
}

// CheckTarget's refusal, or "accepted"; with `contents`, WriteTarget's refusal after it, or "written".
std::string CheckOnly(const std::string& path, TargetRule rule, const char* contents = nullptr) {
  FileTarget target;
  std::string error;
  if (!CheckTarget(path, rule, &target, &error)) return error;
  if (contents == nullptr) return "accepted";
  return WriteTarget(target, contents, &error) ? "written" : error;
}

TEST_F(FileTargetsTest, EachKindOfTargetIsWrittenAsCarefulToolsWriteIt) {
  // Behind a link, a file whose owner, group and mode the replacement keeps: as root, another
  // user's.
  const uid_t owner = geteuid() == 0 ? kOtherUser : geteuid();
  const gid_t group = geteuid() == 0 ? kOtherUser : getegid();
  const std::string real = Put("real/machine.reg", "old", 0604);
  ASSERT_EQ(chown(real.c_str(), owner, group), 0);
  // Its ACL and its other extended attributes go with it.
  const std::string acl = AclLettingRead(kOtherUser + 1);
  ASSERT_EQ(setxattr(real.c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0), 0) << std::strerror(errno);
  ASSERT_EQ(setxattr(real.c_str(), "user.origin", "disk", 4, 0), 0) << std::strerror(errno);
  ASSERT_EQ(symlink("real/machine.reg", PathOf("link.reg").c_str()), 0);
  ASSERT_EQ(mkfifo(PathOf("fifo").c_str(), 0600), 0);
  std::string fromFifo;
  std::thread reader([&] { fromFifo = Read("fifo"); });
  const std::pair<std::string, TargetRule> targets[] = {{PathOf("new.reg"), TargetRule::kFile},
                                                        {PathOf("link.reg"), TargetRule::kExistingFile},
                                                        {PathOf("fifo"), TargetRule::kOutput},
                                                        {"/dev/null", TargetRule::kOutput}};
  for (const auto& [path, rule] : targets) EXPECT_EQ(CheckOnly(path, rule, "new"), "written") << path;
  close(open(PathOf("fifo").c_str(), O_WRONLY | O_NONBLOCK));  // frees the reader if no write came
  reader.join();
  EXPECT_EQ(fromFifo, "new");
  EXPECT_TRUE(S_ISFIFO(Status("fifo").st_mode));
  EXPECT_EQ(Read("new.reg"), "new");
  EXPECT_EQ(Status("new.reg").st_mode & 07777, 0644u);  // the umask's
  EXPECT_EQ(fs::read_symlink(PathOf("link.reg")), "real/machine.reg");
  EXPECT_EQ(Read("real/machine.reg"), "new");
  const struct stat replaced = Status("real/machine.reg");
  EXPECT_EQ(replaced.st_mode & 07777, 0640u);  // as the ACL made the original's
  EXPECT_EQ(Attribute(real, "system.posix_acl_access"), acl);
  EXPECT_EQ(Attribute(real, "user.origin"), "disk");
  EXPECT_EQ(std::make_pair(replaced.st_uid, replaced.st_gid), std::make_pair(owner, group));
  EXPECT_EQ(Entries("real"), std::vector<std::string>{"machine.reg"});
}

TEST_F(FileTargetsTest, TargetsThatMayNotBeWrittenAreRefusedBeforeAnythingIsWritten) {
  ASSERT_EQ(mkfifo(PathOf("fifo").c_str(), 0600), 0);
  ASSERT_EQ(symlink("missing\x1B[2J.reg", PathOf("dangling.reg").c_str()), 0);
  EXPECT_EQ(CheckOnly(PathOf("fifo"), TargetRule::kExistingFile), "it is a FIFO, not a regular file");
  EXPECT_EQ(CheckOnly(PathOf("dangling.reg"), TargetRule::kOutput),
            "it is a symbolic link to missing\\x1B[2J.reg, which does not exist");
  EXPECT_EQ(CheckOnly(PathOf("missing/changes.reg"), TargetRule::kFile),
            "cannot create files in " + PathOf("missing") + ": No such file or directory");
  EXPECT_EQ(Entries(), (std::vector<std::string>{"dangling.reg", "fifo"}));
  if (geteuid() != 0) GTEST_SKIP() << "needs root to make a file of another user's";

  // Another user's files in a folder anyone may write, as that user sees them.
  ASSERT_EQ(chmod(directory_.c_str(), 0777), 0);
  const std::string readable = Put("readable.reg", "old", 0644);
  const std::string writable = Put("writable.reg", "old", 0666);
  // The user's own file, labelled as only root may: replaced, it would lose the label.
  const std::string labelled = Put("labelled.reg", "old", 0644);
  ASSERT_EQ(chown(labelled.c_str(), kOtherUser, kOtherUser), 0);
  ASSERT_EQ(setxattr(labelled.c_str(), "security.korvane", "secret", 6, 0), 0) << std::strerror(errno);
  const pid_t child = fork();
  if (child == 0) {
    const std::string seen = setgroups(0, nullptr) != 0 || setgid(kOtherUser) != 0 || setuid(kOtherUser) != 0
                                 ? "cannot become uid 65534"
                                 : CheckOnly(readable, TargetRule::kExistingFile) + "\n" +
                                       CheckOnly(writable, TargetRule::kOutput) + "\n" +
                                       CheckOnly(PathOf("new.reg"), TargetRule::kOutput) + "\n" +
                                       CheckOnly(labelled, TargetRule::kFile, "new");
    // Writable, but replaced by uid 65534 the second file would become that user's.
    const bool expected = seen ==
                          "you may not write it (owner uid 0, mode 0644)\n"
                          "it belongs to uid 0: replaced by uid 65534, it would change its owner\naccepted\n"
                          "cannot give the new file its extended attribute security.korvane, which controls who may "
                          "read it: Operation not permitted";
    if (!expected) std::fprintf(stderr, "as uid 65534:\n%s\n", seen.c_str());
    _exit(expected ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(Read("labelled.reg"), "old");
  EXPECT_EQ(Attribute(labelled, "security.korvane"), "secret");
  EXPECT_EQ(Entries(), (std::vector<std::string>{"dangling.reg", "fifo", "labelled.reg", "readable.reg", "writable.reg"}));
}

TEST_F(FileTargetsTest, SameFileThroughLinksAndPaths) {
  const std::string machine = Put("machine.reg", "old");
  symlink("machine.reg", PathOf("link.reg").c_str());
  ASSERT_EQ(link(machine.c_str(), PathOf("hard.reg").c_str()), 0);
  EXPECT_TRUE(IsSameFile(PathOf("link.reg"), machine));
  EXPECT_TRUE(IsSameFile((directory_ / "." / "machine.reg").string(), machine));
  EXPECT_TRUE(IsSameFile(PathOf("hard.reg"), machine));
  EXPECT_FALSE(IsSameFile(Put("other.reg", "old"), machine));
  EXPECT_FALSE(IsSameFile(PathOf("missing.reg"), PathOf("missing.reg")));
}

TEST_F(FileTargetsTest, EitherTemporaryFileKeepsAnOriginalOnceAndLeavesAFailedReplacementUndone) {
  for (const bool unnamed : {true, false}) {
    SCOPED_TRACE(unnamed ? "unnamed temporary file" : "named temporary file");
    UseUnnamedTemporaryFiles(unnamed);
    const std::string path = Put("machine.reg", "old contents", 0640);
    ASSERT_EQ(setxattr(path.c_str(), "user.origin", "disk", 4, 0), 0) << std::strerror(errno);
    // The original is kept with the file's mode and attributes, and never overwritten.
    bool existed = true;
    std::string error;
    ASSERT_TRUE(KeepOriginal(path + ".bak", "first", path, &existed, &error)) << error;
    EXPECT_FALSE(existed);
    EXPECT_EQ(Status("machine.reg.bak").st_mode & 07777, 0640u);
    EXPECT_EQ(Attribute(path + ".bak", "user.origin"), "disk");
    ASSERT_TRUE(KeepOriginal(path + ".bak", "second", path, &existed, &error)) << error;
    EXPECT_TRUE(existed);
    EXPECT_EQ(Read("machine.reg.bak"), "first");
    const std::vector<std::string> entries = {"machine.reg", "machine.reg.bak"};
    EXPECT_EQ(Entries(), entries);

    // The write itself fails part-way: the file size limit stops it after 8 bytes.
    FileTarget target;
    ASSERT_TRUE(CheckTarget(path, TargetRule::kExistingFile, &target, &error)) << error;
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const rlimit small{8, saved.rlim_max};
    const auto savedHandler = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const bool written = WriteTarget(target, std::string(4096, 'x'), &error);
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, savedHandler);
    EXPECT_FALSE(written);
    EXPECT_NE(error.find("cannot write the temporary file"), std::string::npos) << error;
    EXPECT_EQ(Read("machine.reg"), "old contents");
    EXPECT_EQ(Entries(), entries);

    // What stands there is checked again when it is written: here it became read-only.
    ASSERT_EQ(chmod(path.c_str(), 0444), 0);
    EXPECT_FALSE(WriteTarget(target, "new", &error));
    EXPECT_EQ(error, "it is read-only (mode 0444)");
    EXPECT_EQ(Entries(), entries);
    fs::remove(path);
    fs::remove(path + ".bak");
  }
}

TEST_F(FileTargetsTest, AReplacementEndedBySignalLeavesTheFileOldOrNewAndWholeWithNothingBeside) {
  const std::string contents[] = {std::string(1 << 20, 'o'), std::string(16 << 20, 'a'), std::string(8 << 20, 'b')};
  // The unnamed temporary file leaves nothing even to SIGKILL; the named one is removed by the
  // signals that ask a process to end, and after SIGKILL by the next writer that clears up.
  const std::pair<bool, int> endings[] = {{true, SIGKILL}, {false, SIGTERM}, {false, SIGINT}, {false, SIGKILL}};
  for (const auto& [unnamed, number] : endings) {
    SCOPED_TRACE(std::string(unnamed ? "unnamed, " : "named, ") + strsignal(number));
    const std::string path = Put("machine.reg", contents[0]);
    const pid_t child = fork();
    if (child == 0) {  // replaces the file over and over until it is ended
      UseUnnamedTemporaryFiles(unnamed);
      FileTarget target;
      std::string error;
      for (int round = 0;; ++round)
        if (!CheckTarget(path, TargetRule::kFile, &target, &error) || !WriteTarget(target, contents[1 + round % 2], &error))
          _exit(1);
    }
    ASSERT_GT(child, 0);
    if (unnamed) {
      std::this_thread::sleep_for(std::chrono::milliseconds(150));
    } else {  // ended while its temporary file stands beside the machine
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
      while (Entries().size() < 2 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
      EXPECT_EQ(Entries().size(), 2u) << "no temporary file was seen";
    }
    kill(child, number);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == number) << "status " << status;
    if (!unnamed && number == SIGKILL) {
      const std::vector<std::string> left = Entries();
      Put(".machine.reg.korvane-sim-12345", "the user's");  // too short a tail to be a temporary file
      Put(".machine.reg.korvane-sim-1234!", "the user's");
      Put(".machine.reg.korvane-sim-123456/inside", "a folder of the user's");
      std::vector<std::string> removed;
      for (const std::string& entry : RemoveLeftTemporaries(path)) removed.push_back(fs::path(entry).filename());
      EXPECT_EQ(left.size(), 1 + removed.size());
      EXPECT_EQ(removed.size(), 1u) << "no temporary file was left to remove";
      for (const char* name : {".machine.reg.korvane-sim-12345", ".machine.reg.korvane-sim-1234!",
                               ".machine.reg.korvane-sim-123456"})
        EXPECT_GT(fs::remove_all(PathOf(name)), 0u) << name << " was removed";
    }
    EXPECT_EQ(Entries(), std::vector<std::string>{"machine.reg"});
    EXPECT_NE(std::find(std::begin(contents), std::end(contents), Read("machine.reg")), std::end(contents));
  }
}

}  // namespace
}  // namespace korvane::sim
