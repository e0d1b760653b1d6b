// The notice texts, English and Japanese. Japanese texts are code page 932 bytes, as the
// ANSI functions that show them take them.
#pragma once

namespace korvane {

extern const char kNoticeCaption[];
extern const char kUnsupportedOsText[];
extern const char kUnsupportedOsTextJapanese[];
extern const char kNoAdapterText[];
extern const char kNoAdapterTextJapanese[];

}  // namespace korvane
