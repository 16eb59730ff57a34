#include "tools/JsonOutput.h"

#include <nlohmann/json.hpp>
#include <string>

namespace tools {
namespace {

using Json = nlohmann::ordered_json;

Json holderJson(const holders::Holder& holder) {
    Json json = {{"record", holder.record}, {"pid", nullptr}};
    if (holder.pid) {
        json["pid"] = *holder.pid;
        json["command"] = holder.command;
        json["user"] = holder.user;
    }
    if (const auto& client = holder.client) {
        json["client"] = client->machine;
        json["address"] = client->address;
        json["account"] = client->account;
        json["since"] = client->since;
    }
    if (!holder.unknown.empty()) json["unknown"] = holder.unknown;
    return json;
}

// The library's compact form with a blank after each ':' and ',', as scripts already read it;
// every value, and so every escape, is the library's own.
void layOut(const Json& value, std::string& out) {
    const auto dumped = [](const Json& scalar) {
        return scalar.dump(-1, ' ', false, Json::error_handler_t::replace);
    };
    const char* separator = "";
    if (value.is_object()) {
        out += '{';
        for (const auto& [key, item] : value.items()) {
            out += separator;
            out += dumped(Json(key)) + ": ";
            layOut(item, out);
            separator = ", ";
        }
        out += '}';
    } else if (value.is_array()) {
        out += '[';
        for (const Json& item : value) {
            out += separator;
            layOut(item, out);
            separator = ", ";
        }
        out += ']';
    } else {
        out += dumped(value);
    }
}

}  // namespace

void printJson(std::ostream& out, const PassResult& pass, const FoundHolders& found) {
    Json json = {
        {"listing", pass.listing}, {"connected", pass.connected}, {"lastFree", pass.lastFree}};
    if (found) {
        Json& list = json["holders"] = Json::array();
        for (const holders::Holder& holder : *found) list.push_back(holderJson(holder));
    }
    std::string text;
    layOut(json, text);
    out << text << "\n";
}

}  // namespace tools
