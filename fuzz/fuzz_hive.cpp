// Fuzz target for offline installations: the input is a SYSTEM hive file. It is read as
// korvane-sim reads one, loaded, the utility runs on it as Windows XP, and the run's writes go
// back into the hive through hivex and are committed in memory, as --save gives them. Any
// bytes either pass each step or are refused with a message that names the file; a hive that
// took the writes must read back through the same checks, holding every value the run set.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "app/process_state.h"
#include "platform/framework.h"
#include "machine_files/hive/installation_registry.h"
#include "machine_files/io/atomic_replace.h"
#include "platform/sim/memory_registry.h"
#include "platform/sim/reg_node.h"
#include "platform/sim/code_pages.h"
#include "platform/services.h"
#include "support/fakes.h"

namespace {

using namespace korvane;
using sim::HiveKind;
using sim::HiveStore;
using sim::MemoryRegistry;
using sim::WriteRecord;

[[noreturn]] void Violation(const std::string& what) {
  std::fprintf(stderr, "fuzz_hive: %s\n", what.c_str());
  std::abort();
}

// The bytes as a file of their own, in memory: its /proc path is what korvane-sim is given.
class MemoryFile {
 public:
  explicit MemoryFile(std::string_view bytes) : fd_(memfd_create("fuzz-hive", MFD_CLOEXEC)) {
    if (fd_ < 0 || !sim::WriteAll(fd_, bytes)) Violation("cannot hold the input in a memory file");
  }
  ~MemoryFile() { close(fd_); }
  MemoryFile(const MemoryFile&) = delete;
  MemoryFile& operator=(const MemoryFile&) = delete;
  std::string Path() const { return "/proc/self/fd/" + std::to_string(fd_); }

 private:
  int fd_;
};

// A step that failed: its message must say why, naming the file where it is about the file.
bool Refused(bool done, const std::string& error, const std::string& path, const char* step, bool namesFile = true) {
  if (done) return false;
  if (error.empty()) Violation(std::string(step) + " failed without a message");
  if (namesFile && error.compare(0, path.size(), path) != 0) Violation(std::string(step) + ": " + error);
  return true;
}

// Every value the run set, as the writes leave it: a key deleted later takes its values along.
using Key = std::pair<std::string, std::string>;
std::map<Key, const WriteRecord*> ValuesSet(const std::vector<WriteRecord>& writes) {
  std::map<Key, const WriteRecord*> set;
  for (const WriteRecord& write : writes) {
    if (write.status != platform::kErrorSuccess) continue;
    const std::string path = sim::FoldName(write.path);
    if (write.op == WriteRecord::Op::kSet) set[{path, sim::FoldName(write.name)}] = &write;
    if (write.op != WriteRecord::Op::kDelete) continue;
    for (auto at = set.begin(); at != set.end();)
      at = at->first.first == path || at->first.first.rfind(path + "\\", 0) == 0 ? set.erase(at) : std::next(at);
  }
  return set;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const MemoryFile input(std::string_view(reinterpret_cast<const char*>(data), size));
  const std::string path = input.Path();
  HiveStore store;
  MemoryRegistry registry;
  registry.SetAnsiCodePage(sim::kCodePageWestern);
  std::string error;
  if (Refused(store.Open({path, ""}, &error), error, path, "open")) return 0;
  if (Refused(store.Load(registry, &error), error, path, "load")) return 0;

  // Windows XP, English, code page 1252.
  test::ScriptedSystem system;
  system.violation = Violation;
  system.SetFamily(5);
  test::RecordingWindows windows;
  windows.violation = Violation;
  ResetProcessState();
  platform::Install({&registry, &system, &windows});
  platform::AfxWinMain();
  platform::Install({});
  ResetProcessState();

  // A write no hive can take is refused with a message, as is one hivex cannot make.
  if (Refused(store.Apply(registry.Writes(), sim::kCodePageWestern, &error), error, path, "apply", false)) return 0;
  if (!store.Changed(HiveKind::kSystem)) return 0;
  std::string committed;
  const auto keep = [&committed](std::string_view bytes, std::string*) {
    committed.assign(bytes);
    return true;
  };
  if (Refused(store.Commit(HiveKind::kSystem, keep, &error), error, path, "commit")) return 0;

  // What would replace the user's hive reads back, with every value the run set.
  const MemoryFile saved(committed);
  HiveStore again;
  MemoryRegistry reloaded;
  reloaded.SetAnsiCodePage(sim::kCodePageWestern);
  if (!again.Open({saved.Path(), ""}, &error) || !again.Load(reloaded, &error))
    Violation("the committed hive does not read back: " + error);
  for (const auto& [key, write] : ValuesSet(registry.Writes())) {
    // A name the code page lacks reads as '?', and may then stand for another key.
    if (key.first.find('?') != std::string::npos || key.second.find('?') != std::string::npos) continue;
    const sim::RegNode* node = reloaded.Find(platform::kHkeyLocalMachine, write->path);
    const sim::RegValue* value = node == nullptr ? nullptr : node->FindValue(write->name);
    if (value == nullptr || value->type != write->type || value->data != write->data)
      Violation("the value " + write->name + " of " + write->path + " did not reach the hive as set");
  }
  return 0;
}
