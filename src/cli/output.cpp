#include "output.h"

#include "error_codes.h"

#include "text/name_text.h"

#include <iostream>
#include <vector>

namespace dscli {
namespace {
bool g_warned = false;
bool g_rescue = false;
// What --rescue passed over: counted, the first few named on the last line.
int64_t g_skipped = 0;
std::vector<std::string> g_skipped_named;
constexpr size_t kSkippedNamed = 10;
bool g_stdout_used = false;
bool g_quiet_end = false;
// The message lines, in order, for a JSON failure: the first of them only,
// as an export of millions of damaged items prints a line for each.
std::vector<std::string> g_messages;
// The code of the first message: what a script branches on.
std::string g_first_code;
size_t g_message_bytes = 0;
int64_t g_messages_dropped = 0;
constexpr size_t kKeptMessages = 1000;
constexpr size_t kKeptMessageBytes = size_t{1} << 20;

void keep_message(const std::string& text, const char* code) {
    if (g_messages.empty() && g_first_code.empty()) g_first_code = code;
    if (g_messages.size() >= kKeptMessages || g_message_bytes + text.size() > kKeptMessageBytes) {
        ++g_messages_dropped;
        return;
    }
    g_message_bytes += text.size();
    g_messages.push_back(text);
}
// Results go to stdout unless stdout carries an exported file's bytes.
std::ostream* g_results = &std::cout;

void message(const std::string& text, const char* code) {
    std::cerr << text << '\n';
    keep_message(text, code);
}
} // namespace

void results_to_stderr() { g_results = &std::cerr; }

int fail(const std::string& text) { return fail(kCodeFailed, text); }

int fail(const char* code, const std::string& text) {
    message(text, code);
    return kExitFailed;
}

int usage_error(const std::string& text) { return usage_error(kCodeUsage, text); }

int usage_error(const char* code, const std::string& text) {
    message(text, code);
    return kExitUsage;
}

void warn(const std::string& text) { warn(kCodeFailed, text); }

void warn(const char* code, const std::string& text) {
    message(text, code);
    g_warned = true;
}

void notice(const std::string& text) { std::cerr << text << '\n'; }

void remark(const char* code, const std::string& text) { message(text, code); }

void note_message(const std::string& text) { keep_message(text, kCodeUsage); }

int end_run(int status, bool json) {
    if (!json || status == kExitOk || g_stdout_used || g_quiet_end) return status;
    // A script that asked for JSON gets a document on a failure too; the
    // messages stay on stderr as well.
    nlohmann::json doc = {{"schema", kJsonSchema}, {"exit_code", status}};
    doc["error"] = g_messages.empty() ? std::string("failed") : g_messages.front();
    doc["code"] = !g_first_code.empty() ? g_first_code : status == kExitUsage ? kCodeUsage : kCodeFailed;
    nlohmann::json more = nlohmann::json::array();
    for (size_t i = 1; i < g_messages.size(); ++i) more.push_back(g_messages[i]);
    if (g_messages_dropped > 0) more.push_back(std::to_string(g_messages_dropped) + " more lines on stderr");
    doc["details"] = std::move(more);
    out_json(doc);
    return status;
}

void skipped(const std::string& what) {
    std::cerr << "skipped: " << what << '\n';
    if (g_skipped_named.size() < kSkippedNamed) g_skipped_named.push_back(what);
    ++g_skipped;
}

void set_rescue_run(bool on) { g_rescue = on; }
bool rescue_run() { return g_rescue; }

int end_quietly() {
    g_quiet_end = true;
    return kExitFailed;
}

int final_status(int status) {
    if (g_skipped > 0) {
        std::string line = "skipped as unreadable: " + std::to_string(g_skipped) + " (";
        for (size_t i = 0; i < g_skipped_named.size(); ++i) line += (i ? "; " : "") + g_skipped_named[i];
        if (g_skipped > static_cast<int64_t>(g_skipped_named.size()))
            line += "; and " + std::to_string(g_skipped - static_cast<int64_t>(g_skipped_named.size())) + " more";
        notice(line + ")");
    }
    if (status == kExitOk && g_warned) return kExitFailed;
    if (status == kExitOk && g_skipped > 0) return kExitIncomplete;
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

void out_line(const std::string& line) {
    g_stdout_used = true;
    *g_results << line << '\n';
}

void out_text(const std::string& text) {
    g_stdout_used = true;
    *g_results << text;
}

std::string json_text(const nlohmann::json& value) {
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void out_json(const nlohmann::json& doc) {
    g_stdout_used = true;
    // Every document says which version of the layout it follows.
    nlohmann::json versioned = doc;
    if (versioned.is_object() && !versioned.contains("schema")) versioned["schema"] = kJsonSchema;
    *g_results << versioned.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
}

bool out_ok() { return static_cast<bool>(std::cout); }

} // namespace dscli
