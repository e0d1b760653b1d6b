#include "machine_files/reg/reg_writer.h"

#include <cstdint>
#include <cstdio>

#include "machine_files/io/printable.h"
#include "machine_files/reg/utf16_text.h"
#include "platform/sim/code_pages.h"

namespace korvane::sim {

using platform::kHkeyDynData;
using platform::kHkeyLocalMachine;
using platform::kRegBinary;
using platform::kRegDword;
using platform::kRegSz;

namespace {

class RegWriter {
 public:
  RegWriter(RegFileFormat format, unsigned codePage) : format_(format), codePage_(codePage) {
    out_ += format == RegFileFormat::kRegedit4 ? kRegHeader4 : kRegHeader5;
    out_ += kRegNewline;
    out_ += kRegNewline;
  }

  // Ends the key line's block first when one is open. A deletion line removes the key.
  void KeyLine(platform::RegKey root, std::string_view path, bool deletion = false) {
    EndKey();
    out_ += deletion ? "[-" : "[";
    out_ += RootName(root);
    if (!path.empty()) {
      out_ += '\\';
      out_ += path;
    }
    out_ += ']';
    out_ += kRegNewline;
    open_ = true;
  }

  void EndKey() {
    if (open_) out_ += kRegNewline;
    open_ = false;
  }

  void Value(std::string_view name, std::uint32_t type, const std::vector<std::uint8_t>& data) {
    const std::size_t lineStart = out_.size();
    if (name.empty()) {
      out_ += '@';
    } else {
      AppendQuoted(name);
    }
    out_ += '=';
    if (IsPlainString(type, data, codePage_)) {
      AppendQuoted(std::string_view(reinterpret_cast<const char*>(data.data()), data.size() - 1));
    } else if (type == kRegDword && data.size() == 4) {
      char text[16];
      std::snprintf(text, sizeof text, "dword:%08x",
                    static_cast<unsigned>(data[0] | (data[1] << 8) | (data[2] << 16) |
                                          (static_cast<std::uint32_t>(data[3]) << 24)));
      out_ += text;
    } else {
      if (type == kRegBinary) {
        out_ += "hex:";
      } else {
        char text[16];
        std::snprintf(text, sizeof text, "hex(%x):", static_cast<unsigned>(type));
        out_ += text;
      }
      if (format_ == RegFileFormat::kVersion5 && IsTextType(type)) {
        wide_.clear();
        WidenAnsiData(std::string_view(reinterpret_cast<const char*>(data.data()), data.size()), codePage_, &wide_);
        AppendHexList(wide_, out_.size() - lineStart);
      } else {
        AppendHexList(data, out_.size() - lineStart);
      }
    }
    out_ += kRegNewline;
  }

  // REGEDIT4 is for the regedit of Windows 95 and NT 4.0, which reads no UTF-16. 5.00 is
  // written as UTF-16LE, as regedit itself writes it: in 8-bit text the hex(1), hex(2) and
  // hex(7) data (UTF-16 bytes) would be taken by some regedits for code-page bytes and stored
  // converted a second time.
  std::string Finish() {
    EndKey();
    if (format_ == RegFileFormat::kRegedit4) return std::move(out_);
    std::vector<std::uint8_t> wide{0xFF, 0xFE};
    wide.reserve(2 + 2 * out_.size());
    WidenAnsiData(out_, codePage_, &wide);
    return std::string(wide.begin(), wide.end());
  }

 private:
  // Written as "text" only when reading it back gives the same bytes: one terminating zero,
  // no line break, and (in a double-byte code page) no lead byte without its trail byte,
  // which would take the character after it, or the escape before a quote, for its trail.
  static bool IsPlainString(std::uint32_t type, const std::vector<std::uint8_t>& data, unsigned codePage) {
    if (type != kRegSz || data.empty() || data.back() != 0) return false;
    const std::string_view text(reinterpret_cast<const char*>(data.data()), data.size() - 1);
    for (std::size_t i = 0; i < text.size(); ++i) {
      if (text[i] == 0 || text[i] == '\r' || text[i] == '\n') return false;
      if (IsLoneLeadByte(codePage, text, i)) return false;
      i += AnsiCharLength(codePage, text, i) - 1;
    }
    return true;
  }

  void AppendQuoted(std::string_view text) {
    out_ += '"';
    // Line breaks as the reader's escapes: written as they are, they would cut the line. A
    // double-byte character goes as it stands: its trail byte may be a backslash. After a
    // lead byte without its trail byte, a carriage return stays as it is: its escape's
    // backslash would be read as that lead byte's trail. Only a carriage return can stand
    // there (a backslash would have been read as the trail byte, a quote ends the text), and
    // alone, without the line feed after it, it does not end the line.
    bool afterLoneLead = false;
    for (std::size_t at = 0; at < text.size(); ++at) {
      const char c = text[at];
      const bool loneLead = afterLoneLead;
      afterLoneLead = false;
      if (AnsiCharLength(codePage_, text, at) == 2) {
        out_ += c;
        out_ += text[++at];
      } else if (c == '\r' && loneLead) {
        out_ += c;
      } else if (const std::size_t escape = kRegEscaped.find(c); escape != std::string_view::npos) {
        out_ += '\\';
        out_ += kRegEscapeLetters[escape];
      } else {
        out_ += c;
        afterLoneLead = IsLoneLeadByte(codePage_, text, at);
      }
    }
    out_ += '"';
  }

  // Wraps the way regedit does: a '\' after the comma that reaches column 77, and two
  // blanks before the bytes of each continuation line.
  void AppendHexList(const std::vector<std::uint8_t>& bytes, std::size_t column) {
    static constexpr char kDigits[] = "0123456789abcdef";
    constexpr std::size_t kWrapColumn = 77;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      out_ += kDigits[bytes[i] >> 4];
      out_ += kDigits[bytes[i] & 0x0F];
      if (i + 1 == bytes.size()) break;
      out_ += ',';
      column += 3;
      if (column >= kWrapColumn) {
        out_ += "\\\r\n  ";
        column = 2;
      }
    }
  }

  RegFileFormat format_;
  unsigned codePage_;
  std::string out_;
  std::vector<std::uint8_t> wide_;
  bool open_ = false;
};

void WriteKeyBlock(RegWriter& writer, platform::RegKey root, const std::string& path, const RegNode& node) {
  writer.KeyLine(root, path);
  for (const RegValue& value : node.Values()) writer.Value(value.name, value.type, value.data);
}

void WriteTree(RegWriter& writer, platform::RegKey root, std::string& path, const RegNode& node) {
  const std::size_t parentLength = path.size();
  if (!path.empty()) path += '\\';
  path += node.Name();
  WriteKeyBlock(writer, root, path, node);
  for (const RegNode* subkey : node.Subkeys()) WriteTree(writer, root, path, *subkey);
  path.resize(parentLength);
}

// A registry path's components but the last `dropLast`, joined by single backslashes: a key's
// path as the patch names it, whatever separators the run gave.
std::string JoinedPath(std::string_view path, unsigned codePage, std::size_t dropLast = 0) {
  std::vector<std::string_view> parts;
  SplitRegistryPath(path, &parts, codePage);
  std::string joined;
  for (std::size_t i = 0; i + dropLast < parts.size(); ++i) {
    if (!joined.empty()) joined += '\\';
    joined += parts[i];
  }
  return joined;
}

// What the patch makes of each entry of the log.
enum class Patch { kAsLogged, kLeftOut, kParentKey, kDeletion };

// A key the run created and then deleted is left out of the patch with everything written
// into it, its creation standing only for the parent keys it may have made on the way;
// deleting a key that was there before is a deletion line.
std::vector<Patch> PlanPatch(const std::vector<WriteRecord>& writes, const std::vector<std::string>& paths) {
  std::vector<Patch> plan(writes.size(), Patch::kAsLogged);
  for (std::size_t i = 0; i < writes.size(); ++i) {
    if (writes[i].status != platform::kErrorSuccess || writes[i].root == 0) plan[i] = Patch::kLeftOut;
    if (writes[i].op != WriteRecord::Op::kDelete || plan[i] == Patch::kLeftOut) continue;
    const auto sameKey = [&](std::size_t j) {
      return plan[j] != Patch::kLeftOut && writes[j].root == writes[i].root && EqualsFolded(paths[j], paths[i]);
    };
    std::size_t created = i;
    for (std::size_t j = i; j-- > 0;) {
      if (!sameKey(j)) continue;
      if (writes[j].op == WriteRecord::Op::kDelete) break;
      if (writes[j].op == WriteRecord::Op::kCreate && writes[j].disposition == platform::kCreatedNewKey) {
        created = j;
        break;
      }
    }
    if (created == i) {
      plan[i] = Patch::kDeletion;
      continue;
    }
    for (std::size_t j = created; j <= i; ++j)
      if (sameKey(j)) plan[j] = Patch::kLeftOut;
    plan[created] = Patch::kParentKey;
  }
  return plan;
}

}  // namespace

bool CanCarryChanges(const std::vector<WriteRecord>& writes, std::string* error) {
  static constexpr std::string_view kLineEnds("\r\n\0", 3);
  for (const WriteRecord& write : writes) {
    if (write.status != platform::kErrorSuccess || write.root == 0) continue;  // left out of the patch
    const bool inKey = write.path.find_first_of(kLineEnds) != std::string::npos;
    if (!inKey && (write.op != WriteRecord::Op::kSet || write.name.find_first_of(kLineEnds) == std::string::npos))
      continue;
    *error = std::string("the run wrote to the key ") + RootName(write.root) + "\\" + EscapeControls(write.path);
    if (!inKey) error->append(" the value \"" + EscapeControls(write.name) + "\"");
    error->append(", whose name holds a line break or a NUL, which a .reg file cannot carry");
    return false;
  }
  return true;
}

std::string FormatMachine(const MemoryRegistry& registry, const RegFileEncoding& info) {
  RegWriter writer(info.format, info.codePage);
  for (const platform::RegKey root : {kHkeyLocalMachine, kHkeyDynData}) {
    const RegNode& node = registry.Root(root);
    std::string path;
    // The root's own line only when it holds values: every export would otherwise open with it.
    if (!node.Values().empty()) WriteKeyBlock(writer, root, path, node);
    for (const RegNode* subkey : node.Subkeys()) WriteTree(writer, root, path, *subkey);
  }
  return writer.Finish();
}

std::string FormatChanges(const std::vector<WriteRecord>& writes, const RegFileEncoding& info) {
  std::vector<std::string> paths;
  paths.reserve(writes.size());
  for (const WriteRecord& write : writes) paths.push_back(JoinedPath(write.path, info.codePage));
  const std::vector<Patch> plan = PlanPatch(writes, paths);

  RegWriter writer(info.format, info.codePage);
  bool open = false;
  platform::RegKey openRoot = 0;
  std::string openPath;
  for (std::size_t i = 0; i < writes.size(); ++i) {
    const WriteRecord& write = writes[i];
    std::string path = paths[i];
    if (plan[i] == Patch::kLeftOut) continue;
    if (plan[i] == Patch::kDeletion) {
      writer.KeyLine(write.root, path, /*deletion=*/true);
      open = false;
      continue;
    }
    if (plan[i] == Patch::kParentKey) {
      path = JoinedPath(path, info.codePage, 1);  // the parent key; "" for a key under its root
      if (path.empty()) continue;
    }
    if (!open || write.root != openRoot || !EqualsFolded(path, openPath)) {
      writer.KeyLine(write.root, path);
      open = true;
      openRoot = write.root;
      openPath = std::move(path);
    }
    if (plan[i] == Patch::kAsLogged && write.op == WriteRecord::Op::kSet)
      writer.Value(write.name, write.type, write.data);
  }
  return writer.Finish();
}

}  // namespace korvane::sim
