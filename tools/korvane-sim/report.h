// korvane-sim's JSON report: the state the run ended in, what it showed, and every registry
// write with its exact bytes. docs/report.schema.json describes it for its readers.
#pragma once

#include <string>

#include "platform/sim/memory_registry.h"
#include "korvane-sim/screen/terminal.h"

namespace korvane::sim {

// The report's form: fields are only ever added; a change in a field's meaning raises it.
inline constexpr int kReportVersion = 1;

// Texts of the machine (descriptions, paths, notices) are converted from `codePage` to UTF-8.
std::string BuildReport(const MemoryRegistry& registry, const ShownWindow& shown, unsigned codePage);

// `text` as a JSON string literal, quotes included. `text` must be UTF-8.
std::string JsonString(const std::string& text);

}  // namespace korvane::sim
