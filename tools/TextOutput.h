#pragma once

#include <ostream>
#include <string>
#include <string_view>

#include "tools/ScanPass.h"

namespace tools {

// The listing as the window holds it, then "caption: N" and "connected: N", then with holders
// one line for each.
void printText(std::ostream& out, const PassResult& pass, const FoundHolders& found);

// "record 3: pid 2435 smbd, user root; client ...", each name escaped for a terminal (and each
// character of `alsoEscaped` too).
std::string describeHolder(const holders::Holder& holder, std::string_view alsoEscaped = {});

// Why a pass that failed (`pass.failure` set) did not reach the end of the station file, naming
// it: "cannot open /srv/station/Brevanto.SIT: 2 No such file or directory", or "the pass over
// ... stopped at record N: ..." (without the record when the pass noted none). Escaped as
// describeHolder escapes names.
std::string describeFailure(const PassResult& pass, std::string_view alsoEscaped = {});

}  // namespace tools
