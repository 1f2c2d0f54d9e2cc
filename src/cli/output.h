#pragma once
// Where results and messages go: results on stdout, the system's messages on
// stderr, JSON through one writer.

#include <nlohmann/json.hpp>

#include <string>

namespace dscli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;
// --rescue: the work finished, but some bytes could not be read and are
// zeros in what was written; where is said on stderr (and in a map).
inline constexpr int kExitIncomplete = 3;
// Ctrl-C, as shells report a run that SIGINT ended (128 + 2); what was
// written before it stays.
inline constexpr int kExitInterrupted = 130;

// Prints message on stderr and returns kExitFailed. code is the stable
// identifier a JSON failure carries beside the text (see error_codes.h); a
// message without one counts as "failed".
int fail(const std::string& message);
int fail(const char* code, const std::string& message);
// Prints message on stderr and returns kExitUsage (code "usage" unless given).
int usage_error(const std::string& message);
int usage_error(const char* code, const std::string& message);
// Prints message on stderr and makes the run end with kExitFailed even when
// the command goes on (a partial result is still printed).
void warn(const std::string& message);
void warn(const char* code, const std::string& message);
// Prints message on stderr; neither the exit status nor a JSON failure's
// text changes (a warning about the disks that the command reads past).
void notice(const std::string& message);
// --rescue: something unreadable was passed over and the command goes on.
// The run then ends with a line naming what was skipped, and with
// kExitIncomplete when it would otherwise succeed.
void skipped(const std::string& what);
// Set once for a run with --rescue: what listings pass over is skipped, not
// a failure.
void set_rescue_run(bool on);
bool rescue_run();
// Prints message on stderr and keeps it, with its code, for a JSON failure;
// the exit status does not change (a drive a search could not read).
void remark(const char* code, const std::string& message);
// Keeps a message already printed on stderr (by the argument parser) for
// the JSON failure document.
void note_message(const std::string& text);
// Ends a run whose stdout was closed by its reader: no message, and no JSON
// failure document either; returns kExitFailed.
int end_quietly();
// The exit status a command's own status becomes once warnings count.
int final_status(int status);
// The end of every run: with json set, a failure that printed nothing on
// stdout prints one document {"schema", "error", "details", "exit_code"}
// (the first message line, the lines after it, the status) and "code", the
// first message's stable identifier. Returns status.
int end_run(int status, bool json);

// The version of the JSON documents, written as their "schema" member.
inline constexpr int kJsonSchema = 1;

// Sets j["name"] to the name's exact text when it is UTF-8 (JSON escapes
// what must be), otherwise to its printed form plus j["name_bytes"], the
// bytes in hex. key names the member ("name", "dest", ...).
void put_name(nlohmann::json& j, const std::string& raw, const std::string& key = "name");
// A path for a message or a line of output: printed form, "/" kept.
std::string shown_path(const std::string& raw);
// "DIGEST  PATH" as sha256sum writes it, so that sha256sum -c reads it back:
// a path with a backslash, a newline or a carriage return has them escaped
// and the line starts with a backslash.
std::string digest_line(const std::string& sha256, const std::string& path);

// Prints one line on stdout.
void out_line(const std::string& line);
// Prints text as it is (a piece of a JSON document written as it is read).
void out_text(const std::string& text);
// The compact JSON text of a value, as out_json would write it.
std::string json_text(const nlohmann::json& value);
// Sends what out_line and out_json print to stderr instead: stdout carries
// an exported file's bytes.
void results_to_stderr();
// Prints a JSON document on stdout with its "schema" member (an object that
// lacks one gets kJsonSchema); text that is not UTF-8 is replaced. The
// layout of every document is written down in docs/json.md.
void out_json(const nlohmann::json& doc);
// False once stdout can no longer be written (a closed pipe): long listings stop.
bool out_ok();

} // namespace dscli
