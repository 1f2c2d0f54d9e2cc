#include "output.h"

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

void out_line(const std::string& line) { std::cout << line << '\n'; }

void out_json(const nlohmann::json& doc) {
    std::cout << doc.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
}

bool out_ok() { return static_cast<bool>(std::cout); }

} // namespace dscli
