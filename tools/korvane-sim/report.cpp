#include "korvane-sim/report.h"

#include <cstdio>

#include "app/adapter_table.h"
#include "app/platform_family.h"
#include "app/run_sequence.h"
#include "platform/sim/code_pages.h"

namespace korvane::sim {

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const auto byte = static_cast<unsigned char>(c);
    // Control characters, DEL and the C1 ones (C2 80 to C2 9F in UTF-8) included, are
    // escaped: a report read on a terminal must not drive it.
    if (byte == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) <= 0x9F &&
        static_cast<unsigned char>(text[i + 1]) >= 0x80) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned char>(text[++i]));
      out += escaped;
      continue;
    }
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (byte < 0x20 || byte == 0x7F) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
          out += escaped;
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

namespace {

std::string Hex(const std::vector<std::uint8_t>& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(bytes.size() * 2);
  for (std::uint8_t byte : bytes) {
    hex += kDigits[byte >> 4];
    hex += kDigits[byte & 15];
  }
  return hex;
}

std::string Bool(bool value) { return value ? "true" : "false"; }

}  // namespace

std::string BuildReport(const MemoryRegistry& registry, const ShownWindow& shown, unsigned codePage) {
  const auto text = [codePage](const std::string& ansi) { return JsonString(AnsiToUtf8(ansi, codePage)); };
  // Fields are only ever added; a change in what one means raises the version.
  std::string json = "{\"reportVersion\": " + std::to_string(kReportVersion);
  json += ", \"osFamily\": " + std::to_string(OsFamily);
  json += ", \"japaneseUi\": " + Bool(japaneseUi);
  json += ", \"adapterCount\": " + std::to_string(adapterCount);
  json += ", \"cursor\": " + std::to_string(cursor);
  json += ", \"outcome\": " + std::to_string(Outcome);

  json += ", \"shown\": ";
  switch (shown.kind) {
    case ShownWindow::Kind::kNone:
      json += "{\"kind\": \"none\"}";
      break;
    case ShownWindow::Kind::kNotice:
      json += "{\"kind\": \"notice\", \"caption\": " + text(shown.caption) + ", \"text\": " + text(shown.text) + "}";
      break;
    case ShownWindow::Kind::kDialog: {
      json += "{\"kind\": \"dialog\", \"template\": " + std::to_string(shown.templateId) + ", \"lists\": {";
      bool firstList = true;
      for (const auto& [id, entries] : shown.lists) {
        json += (firstList ? "\"" : ", \"") + std::to_string(id) + "\": [";
        for (std::size_t i = 0; i < entries.size(); ++i) json += (i == 0 ? "" : ", ") + text(entries[i]);
        json += "]";
        firstList = false;
      }
      json += "}, \"bigIcon\": " + Bool(shown.iconSet) + "}";
      break;
    }
  }

  json += ", \"adapters\": [";
  for (int i = 0; i < adapterCount && i < kTableSize; ++i) {
    const AdapterRecord& record = adapterTable[i];
    json += i == 0 ? "{" : ", {";
    json += "\"description\": " + text(record.description);
    json += ", \"paramKeyPath\": " + text(record.paramKeyPath.c_str());
    json += ", \"ipsecResetName\": " + text(record.ipsecResetName);
    json += ", \"powerDownResetName\": " + text(record.powerDownResetName);
    json += ", \"applied\": " + Bool(record.applied != 0) + "}";
  }
  json += "]";

  json += ", \"registry\": {\"calls\": " + std::to_string(registry.Calls());
  json += ", \"keysLeftOpen\": " + std::to_string(registry.OpenHandles());
  json += ", \"writes\": [";
  bool firstWrite = true;
  for (const WriteRecord& write : registry.Writes()) {
    json += firstWrite ? "{" : ", {";
    firstWrite = false;
    switch (write.op) {
      case WriteRecord::Op::kCreate: json += "\"op\": \"create\""; break;
      case WriteRecord::Op::kSet: json += "\"op\": \"set\""; break;
      case WriteRecord::Op::kDelete: json += "\"op\": \"delete\""; break;
    }
    json += ", \"root\": " + JsonString(RootName(write.root));
    json += ", \"path\": " + text(write.path);
    if (write.op == WriteRecord::Op::kCreate) {
      json += ", \"disposition\": " + std::to_string(write.disposition);
    } else if (write.op == WriteRecord::Op::kSet) {
      json += ", \"name\": " + text(write.name);
      json += ", \"type\": " + std::to_string(write.type);
      json += ", \"data\": \"" + Hex(write.data) + "\"";
    }
    json += ", \"status\": " + std::to_string(write.status) + "}";
  }
  json += "]}}\n";
  return json;
}

}  // namespace korvane::sim
