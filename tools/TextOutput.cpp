#include "tools/TextOutput.h"

#include "station/Failure.h"
#include "tools/SafeText.h"

namespace tools {

std::string describeHolder(const holders::Holder& holder, std::string_view alsoEscaped) {
    const auto name = [alsoEscaped](std::string_view text) {
        return escapedForTerminal(text, alsoEscaped);
    };
    std::string text = "record " + std::to_string(holder.record) + ": ";
    if (holder.pid) {
        text += "pid " + std::to_string(*holder.pid) + " " + name(holder.command) + ", user " +
                name(holder.user);
        if (const auto& client = holder.client) {
            text += "; client " + name(client->machine) + " at " + name(client->address) +
                    ", account " + name(client->account);
            if (!client->since.empty()) text += ", since " + name(client->since);
        }
        if (!holder.unknown.empty()) text += "; ";
    }
    if (!holder.unknown.empty()) text += "unknown: " + name(holder.unknown);
    return text;
}

std::string describeFailure(const PassResult& pass, std::string_view alsoEscaped) {
    const std::string file = escapedForTerminal(utf8(pass.stationFile), alsoEscaped);
    const std::string cause =
        station::failureNumber(*pass.failure) + " " +
        escapedForTerminal(station::failureDescription(*pass.failure), alsoEscaped);
    if (!pass.ran) return "cannot open " + file + ": " + cause;
    // Records are noted only when the pass was asked to note them.
    const std::string where =
        pass.tried.empty() ? "" : " at record " + std::to_string(pass.tried.back());
    return "the pass over " + file + " stopped" + where + ": " + cause;
}

void printText(std::ostream& out, const PassResult& pass, const FoundHolders& found) {
    out << pass.listing;
    if (!pass.listing.ends_with('\n')) out << "\n";
    out << "caption: " << pass.lastFree << "\nconnected: " << pass.connected << "\n";
    if (found) {
        for (const holders::Holder& holder : *found) out << describeHolder(holder) << "\n";
    }
}

}  // namespace tools
