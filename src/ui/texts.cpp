#include "ui/texts.h"

namespace korvane {

const char kNoticeCaption[] = "Korvane";

const char kUnsupportedOsText[] = "Unsupported OS";
// "サポート外のOSです。"
const char kUnsupportedOsTextJapanese[] =
    "\x83\x54\x83\x7c\x81\x5b\x83\x67\x8a\x4f\x82\xcc\x4f\x53\x82\xc5\x82\xb7\x81\x42";

const char kNoAdapterText[] = "Adapter was not found";
// "対応アダプタが検出されませんでした。"
const char kNoAdapterTextJapanese[] =
    "\x91\xce\x89\x9e\x83\x41\x83\x5f\x83\x76\x83\x5e\x82\xaa\x8c\x9f\x8f\x6f\x82\xb3\x82\xea"
    "\x82\xdc\x82\xb9\x82\xf1\x82\xc5\x82\xb5\x82\xbd\x81\x42";

}  // namespace korvane
