#pragma once

#include <ostream>

#include "tools/ScanPass.h"

namespace tools {

// One line: {"listing": ..., "connected": N, "lastFree": N}, with holders a "holders" array
// added. Names that are not UTF-8 have each bad byte replaced by U+FFFD.
void printJson(std::ostream& out, const PassResult& pass, const FoundHolders& found);

}  // namespace tools
