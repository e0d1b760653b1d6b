#include "platform/hosted/machine_files/reg_writer.h"

#include <cstdint>
#include <cstdio>

#include "platform/hosted/text_encoding.h"

namespace korvane::hosted {

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

  // Ends the key line's block first when one is open.
  void KeyLine(platform::RegKey root, std::string_view path) {
    EndKey();
    out_ += '[';
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
        Widen(std::string_view(reinterpret_cast<const char*>(data.data()), data.size()), &wide_);
        AppendHexList(wide_, out_.size() - lineStart);
      } else {
        AppendHexList(data, out_.size() - lineStart);
      }
    }
    out_ += kRegNewline;
  }

  std::string Finish(bool utf16) {
    EndKey();
    if (!utf16) return std::move(out_);
    std::vector<std::uint8_t> wide{0xFF, 0xFE};
    wide.reserve(2 + 2 * out_.size());
    Widen(out_, &wide);
    return std::string(wide.begin(), wide.end());
  }

 private:
  // ANSI text as UTF-16LE, appended to `wide`.
  void Widen(std::string_view text, std::vector<std::uint8_t>* wide) const {
    for (std::size_t at = 0; at < text.size();) {
      const std::size_t length = AnsiCharLength(codePage_, text, at);
      char32_t c = AnsiCharToUnicode(codePage_, text.substr(at, length));
      at += length;
      if (c >= 0x10000) {
        c -= 0x10000;
        const char32_t high = 0xD800 + (c >> 10);
        wide->push_back(static_cast<std::uint8_t>(high & 0xFF));
        wide->push_back(static_cast<std::uint8_t>(high >> 8));
        c = 0xDC00 + (c & 0x3FF);
      }
      wide->push_back(static_cast<std::uint8_t>(c & 0xFF));
      wide->push_back(static_cast<std::uint8_t>(c >> 8));
    }
  }

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
    // double-byte character goes as it stands: its trail byte may be a backslash.
    for (std::size_t at = 0; at < text.size(); ++at) {
      const char c = text[at];
      if (AnsiCharLength(codePage_, text, at) == 2) {
        out_ += c;
        out_ += text[++at];
      } else if (c == '\n') {
        out_ += "\\n";
      } else if (c == '\r') {
        out_ += "\\r";
      } else {
        if (c == '\\' || c == '"') out_ += '\\';
        out_ += c;
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

// REGEDIT4 files are for the regedit of Windows 95 and NT 4.0, which reads no UTF-16.
bool WritesUtf16(const MachineFileInfo& info) {
  return info.format == RegFileFormat::kVersion5 && info.utf16;
}

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

std::string NormalizedPath(std::string_view path, unsigned codePage) {
  std::vector<std::string_view> parts;
  SplitRegistryPath(path, &parts, codePage);
  std::string joined;
  for (std::string_view part : parts) {
    if (!joined.empty()) joined += '\\';
    joined += part;
  }
  return joined;
}

}  // namespace

std::string FormatMachine(const MemoryRegistry& registry, const MachineFileInfo& info) {
  RegWriter writer(info.format, info.codePage);
  for (const platform::RegKey root : {kHkeyLocalMachine, kHkeyDynData}) {
    const RegNode& node = registry.Root(root);
    std::string path;
    // The root's own line only when it holds values: every export would otherwise open with it.
    if (!node.Values().empty()) WriteKeyBlock(writer, root, path, node);
    for (const RegNode* subkey : node.Subkeys()) WriteTree(writer, root, path, *subkey);
  }
  return writer.Finish(WritesUtf16(info));
}

std::string FormatChanges(const std::vector<WriteRecord>& writes, const MachineFileInfo& info) {
  RegWriter writer(info.format, info.codePage);
  bool open = false;
  platform::RegKey openRoot = 0;
  std::string openPath;
  for (const WriteRecord& write : writes) {
    if (write.status != platform::kErrorSuccess || write.root == 0) continue;
    std::string path = NormalizedPath(write.path, info.codePage);
    if (!open || write.root != openRoot || !EqualsFolded(path, openPath)) {
      writer.KeyLine(write.root, path);
      open = true;
      openRoot = write.root;
      openPath = std::move(path);
    }
    if (write.op == WriteRecord::Op::kSet) writer.Value(write.name, write.type, write.data);
  }
  return writer.Finish(WritesUtf16(info));
}

}  // namespace korvane::hosted
