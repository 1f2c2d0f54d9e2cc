#include "output.h"

#include "vmfs/name_text.h"

#include <iostream>

namespace dscli {
namespace {
bool g_warned = false;
}

int fail(const std::string& message) {
    std::cerr << message << '\n';
    return kExitFailed;
}

int usage_error(const std::string& message) {
    std::cerr << message << '\n';
    return kExitUsage;
}

void warn(const std::string& message) {
    std::cerr << message << '\n';
    g_warned = true;
}

int final_status(int status) {
    if (status == kExitOk && g_warned) return kExitFailed;
    return status;
}

void put_name(nlohmann::json& j, const std::string& raw, const std::string& key) {
    if (ds::is_utf8(raw)) {
        j[key] = raw;
        return;
    }
    j[key] = key == "name" ? ds::printable_name(raw) : ds::printable_path(raw);
    j[key + "_bytes"] = ds::hex_bytes(raw);
}

std::string shown_path(const std::string& raw) { return ds::printable_path(raw); }

std::string digest_line(const std::string& sha256, const std::string& path) {
    if (path.find_first_of("\\\n\r") == std::string::npos) return sha256 + "  " + path;
    std::string escaped;
    for (char c : path) {
        if (c == '\\') escaped += "\\\\";
        else if (c == '\n') escaped += "\\n";
        else if (c == '\r') escaped += "\\r";
        else escaped += c;
    }
    return "\\" + sha256 + "  " + escaped;
}

void out_line(const std::string& line) { std::cout << line << '\n'; }

void out_json(const nlohmann::json& doc) {
    std::cout << doc.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
}

bool out_ok() { return static_cast<bool>(std::cout); }

} // namespace dscli
