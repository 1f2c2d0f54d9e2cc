// Every --json document against docs/json.md: the key tables are read from
// the document itself, so that the program and its description cannot drift
// apart. A key the program prints and the document does not list fails, as
// does a listed key of the wrong type or an "always" key that is missing.

#include "cli_fixture.h"

#include <ctime>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

namespace clitest {
namespace {

using nlohmann::json;

struct KeySpec {
    std::vector<std::string> types;
    bool always = false;
};

struct Section {
    std::map<std::string, KeySpec> keys;   // "a", "a.b", "a[].b", "a[]"
    std::string example;
};

using Doc = std::map<std::string, Section>;

std::string trim(const std::string& s) {
    size_t b = s.find_first_not_of(' ');
    size_t e = s.find_last_not_of(' ');
    return b == std::string::npos ? "" : s.substr(b, e - b + 1);
}

// "## `name`" opens a section; its first ```json block is the example; table
// rows "| `key` | type | always/optional | meaning |" are its keys.
Doc read_doc() {
    std::ifstream in(DATUMSIFT_JSON_DOC);
    if (!in) throw std::runtime_error("cannot read " DATUMSIFT_JSON_DOC);
    Doc doc;
    Section* cur = nullptr;
    bool in_example = false, example_done = false;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("## `", 0) == 0) {
            std::string name = line.substr(4, line.find('`', 4) - 4);
            cur = &doc[name];
            in_example = example_done = false;
            continue;
        }
        if (!cur) continue;
        if (line.rfind("```", 0) == 0) {
            if (in_example) example_done = true;
            in_example = !in_example && !example_done && line == "```json";
            continue;
        }
        if (in_example) {
            cur->example += line + "\n";
            continue;
        }
        if (line.rfind("| `", 0) != 0) continue;
        // "\|" inside a cell is a "|" of the type, not a column border.
        std::string row;
        for (size_t i = 0; i < line.size(); ++i) row += line.compare(i, 2, "\\|") == 0 ? (++i, '\x01') : line[i];
        std::vector<std::string> cells;
        std::stringstream ss(row);
        for (std::string c; std::getline(ss, c, '|');) cells.push_back(trim(c));
        if (cells.size() < 4) throw std::runtime_error("short table row: " + line);
        KeySpec k;
        std::stringstream ts(cells[2]);
        for (std::string t; std::getline(ts, t, '\x01');) k.types.push_back(trim(t));
        k.always = cells[3] == "always";
        if (!k.always && cells[3] != "optional") throw std::runtime_error("bad presence in: " + line);
        cur->keys[cells[1].substr(1, cells[1].size() - 2)] = k;
    }
    return doc;
}

const Doc& doc() {
    static const Doc d = read_doc();
    return d;
}

// Checks value v against the keys of section `name`; what it meets is added
// to seen (as "section:key"), what is wrong to errors.
class Checker {
public:
    std::vector<std::string> errors;
    std::set<std::string> seen;

    void section(const json& v, const std::string& name, const std::string& where) {
        auto it = doc().find(name);
        if (it == doc().end()) return errors.push_back(where + ": no section `" + name + "` in docs/json.md");
        object(v, it->second, name, "", where);
    }

private:
    void object(const json& v, const Section& s, const std::string& name, const std::string& prefix,
                const std::string& where) {
        if (!v.is_object()) return errors.push_back(where + ": " + (prefix.empty() ? "document" : prefix) + " is not an object");
        for (const auto& [key, spec] : s.keys) {
            if (!spec.always || key.size() < 2 || key.compare(key.size() - 2, 2, "[]") == 0) continue;
            const size_t dot = key.rfind('.');
            const std::string parent = dot == std::string::npos ? "" : key.substr(0, dot);
            if (parent == prefix && !v.contains(key.substr(parent.empty() ? 0 : dot + 1)))
                errors.push_back(where + ": `" + name + "` lacks " + key);
        }
        for (const auto& [k, member] : v.items()) value(member, s, name, prefix.empty() ? k : prefix + "." + k, where);
    }

    void value(const json& v, const Section& s, const std::string& name, const std::string& key,
               const std::string& where) {
        auto spec = s.keys.find(key);
        if (spec == s.keys.end()) return errors.push_back(where + ": `" + name + "` has " + key + ", not in docs/json.md");
        seen.insert(name + ":" + key);
        bool typed = false;
        for (const std::string& t : spec->second.types) {
            if (t[0] == '@') {
                if (v.is_object()) {
                    section(v, t.substr(1), where + " " + key);
                    return;
                }
            } else if ((t == "integer" && v.is_number_integer()) || (t == "number" && v.is_number()) ||
                       (t == "string" && v.is_string()) || (t == "boolean" && v.is_boolean()) ||
                       (t == "null" && v.is_null()) || (t == "object" && v.is_object()) ||
                       (t == "array" && v.is_array())) {
                typed = true;
            }
        }
        if (!typed) return errors.push_back(where + ": " + key + " is " + v.type_name() + ": " + v.dump());
        if (v.is_object()) object(v, s, name, key, where);
        if (v.is_array())
            for (const json& e : v) {
                if (e.is_object())
                    object(e, s, name, key + "[]", where);
                else
                    value(e, s, name, key + "[]", where);
            }
    }
};

TEST(CliJsonSchema, EveryExampleOfTheDocumentFollowsItsOwnTableAndShowsEveryKey) {
    ASSERT_GE(doc().size(), 12u);
    Checker c;
    for (const auto& [name, s] : doc()) {
        ASSERT_FALSE(s.example.empty()) << "section `" << name << "` has no ```json example";
        ASSERT_FALSE(s.keys.empty()) << "section `" << name << "` has no key table";
        json ex = json::parse(s.example, nullptr, false);
        ASSERT_FALSE(ex.is_discarded()) << "the example of `" << name << "` is not JSON";
        if (s.keys.count("schema")) {
            EXPECT_EQ(ex["schema"], 1) << name;
        }
        c.section(ex, name, "example of `" + name + "`");
    }
    for (const std::string& e : c.errors) ADD_FAILURE() << e;
    // An example that leaves a documented key out would let it go untested.
    for (const auto& [name, s] : doc())
        for (const auto& [key, spec] : s.keys) EXPECT_TRUE(c.seen.count(name + ":" + key)) << name << ": " << key << " is in no example";
}

// One row per way of asking for JSON: where the document appears and which
// section of docs/json.md describes it. {demo} and {formatted} are the
// builder's images, {out} a fresh host path, {missing} a path that is not there.
struct Row {
    std::vector<std::string> args;
    std::string section;
    enum class From { out, err, manifest } from = From::out;
    int exit_code = 0;
};

const std::vector<Row>& rows() {
    static const std::vector<Row> r = {
        {{"-d", "{demo}", "--json", "info"}, "info"},
        {{"-d", "{demo}", "--json", "ls"}, "ls"},
        {{"-d", "{demo}", "--json", "ls", "-l", "/vm1"}, "ls"},
        {{"-d", "{demo}", "--json", "ls", "-l", "/vm1/vm1.vmx"}, "ls"},
        {{"-d", "{formatted}", "--json", "ls", "-l", "--formatted"}, "ls"},
        {{"-d", "{demo}", "--json", "tree"}, "tree"},
        {{"-d", "{formatted}", "--json", "tree", "--formatted", "DIR2"}, "tree"},
        {{"-d", "{demo}", "--json", "stat", "/vm2/vm2-thin.vmdk"}, "stat"},
        {{"-d", "{demo}", "--json", "stat", "/vm1/vm1.vmx"}, "stat"},
        {{"-d", "{formatted}", "--json", "stat", "--formatted", "DIR2"}, "stat"},
        {{"-d", "{demo}", "-q", "--json", "export", "--hash", "/vm1/vm1.log", "{out}"}, "export"},
        {{"-d", "{demo}", "-q", "--json", "export", "vmdk:1", "{out}"}, "export"},
        {{"-d", "{demo}", "-q", "--json", "export", "/vm1/vm1.vmx", "-"}, "export", Row::From::err},
        {{"-d", "{demo}", "-q", "--json", "export", "-r", "/vm1", "{out}"}, "export -r"},
        {{"-d", "{demo}", "-q", "export", "-r", "/vm1", "{out}"}, "manifest", Row::From::manifest},
        {{"-d", "{formatted}", "-q", "--json", "export", "-r", "--formatted", "", "{out}"}, "export -r"},
        {{"-d", "{demo}", "-q", "--json", "deleted"}, "deleted"},
        {{"-d", "{demo}", "-q", "--json", "vmdk"}, "vmdk"},
        {{"-d", "{formatted}", "-q", "--json", "formatted", "--tree"}, "formatted"},
        {{"-d", "{demo}", "-q", "--json", "formatted"}, "formatted"},
        {{"--json", "detect", "{demo}"}, "detect"},
        {{"--json", "disks"}, "disks"},
        {{"-d", "{demo}", "--json", "timeline"}, "error", Row::From::out, 2},
        {{"-d", "{missing}", "--json", "ls"}, "error", Row::From::out, 1},
        {{"-d", "{demo}", "--json", "stat", "/nowhere"}, "error", Row::From::out, 1},
        {{"--json", "lsx"}, "error", Row::From::out, 2},
        {{"--json", "help", "lsx"}, "error", Row::From::out, 2},
        // The mount prints no document of its own: a failure is the error one.
        {{"-d", "{demo}", "--json", "mount"}, "error", Row::From::out, 2},
    };
    return r;
}

TEST(CliJsonSchema, EveryCommandsDocumentFollowsTheDocument) {
    dstest::TempDir dir;
    int n = 0;
    Checker c;
    std::set<std::string> sections;
    for (const Row& row : rows()) {
        std::vector<std::string> args;
        std::string out;
        for (const std::string& a : row.args) {
            if (a == "{demo}") args.push_back(demo().images[0]);
            else if (a == "{formatted}") args.push_back(formatted().images[0]);
            else if (a == "{missing}") args.push_back(dir.file("missing.img"));
            else if (a == "{out}") args.push_back(out = dir.file("out" + std::to_string(++n)));
            else args.push_back(a);
        }
        std::string shown;
        for (const std::string& a : row.args) shown += " " + a;
        RunResult r = run_cli(args);
        ASSERT_EQ(r.exit_code, row.exit_code) << shown << "\n" << r.err;
        std::string text = row.from == Row::From::out ? r.out : row.from == Row::From::err ? r.err : "";
        if (row.from == Row::From::manifest) {
            std::ifstream in(out + ".manifest.json");
            text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        }
        json j = json::parse(text, nullptr, false);
        ASSERT_FALSE(j.is_discarded()) << shown << " printed no JSON document:\n" << text;
        EXPECT_EQ(j["schema"], 1) << shown;
        c.section(j, row.section, shown);
        sections.insert(row.section);
    }
    for (const std::string& e : c.errors) ADD_FAILURE() << e;
    // Every documented document is produced by some command line above,
    // directly or as a member of another.
    for (const auto& [name, s] : doc())
        EXPECT_TRUE(sections.count(name) || (name == "provenance" && c.seen.count("export:provenance")))
            << "no command line of the table produces `" << name << "`";
}

TEST(CliJsonSchema, EveryCommandHasARowInTheTable) {
    // The commands as the help page lists them: a new command must say what
    // it prints with --json (or that it refuses it) before it lands.
    RunResult help = run_cli({"--help"});
    ASSERT_EQ(help.exit_code, 0);
    std::vector<std::string> commands;
    bool in_list = false;
    for (const std::string& line : help.out_lines()) {
        if (line == "Subcommands:" || line == "SUBCOMMANDS:") {
            in_list = true;
        } else if (in_list && line.rfind("  ", 0) != 0) {
            break;
        } else if (in_list) {
            commands.push_back(line.substr(2, line.find(' ', 2) - 2));
        }
    }
    ASSERT_GE(commands.size(), 10u) << help.out;
    for (const std::string& cmd : commands) {
        bool has_row = false;
        for (const Row& row : rows())
            for (const std::string& a : row.args) has_row |= a == cmd;
        EXPECT_TRUE(has_row) << "no row of tests/cli/json_schema_test.cpp runs `" << cmd << " --json`";
    }
}

TEST(CliJsonSchema, ExportsRecordHowTheyWereMade) {
    // Provenance: the version --version prints, the disks as given with the
    // size they read as, the command line, and start and end in UTC around
    // the run.
    dstest::TempDir dir;
    const std::string img = demo().images[0];
    const auto before = std::time(nullptr);
    const std::string dest = dir.file("copy");
    RunResult r = run_cli({"-d", img + "@2048", "-q", "--json", "export", "-r", "/vm1/snapshots", dest});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const auto after = std::time(nullptr);
    std::ifstream in(dest + ".manifest.json");
    json manifest = json::parse(in);
    json printed = json::parse(r.out);
    auto iso = [](std::time_t t) {
        char b[32];
        std::strftime(b, sizeof b, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&t));
        return std::string(b);
    };
    for (const json& doc : {manifest["provenance"], printed["provenance"]}) {
        EXPECT_EQ(doc["version"], DATUMSIFT_VERSION);
        EXPECT_EQ(run_cli({"--version"}).out, "datumsift " + doc["version"].get<std::string>() + "\n");
        ASSERT_EQ(doc["disks"].size(), 1u);
        EXPECT_EQ(doc["disks"][0]["path"], img);
        EXPECT_EQ(doc["disks"][0]["start_sector"], 2048);
        EXPECT_EQ(doc["disks"][0]["size"], std::filesystem::file_size(img));
        EXPECT_EQ(doc["command_line"], json({DATUMSIFT_BIN, "-d", img + "@2048", "-q", "--json", "export", "-r",
                                             "/vm1/snapshots", dest}));
        // ISO strings of one form compare as the times they name.
        EXPECT_LE(iso(before), doc["started"].get<std::string>());
        EXPECT_LE(doc["started"].get<std::string>(), doc["ended"].get<std::string>());
        EXPECT_LE(doc["ended"].get<std::string>(), iso(after));
    }

    // A disk given without a start sector is recorded with the one used.
    RunResult one = run_cli({"-d", img, "-q", "--json", "export", "/vm1/vm1.vmx", dir.file("vmx")});
    ASSERT_EQ(one.exit_code, 0) << one.err;
    json p = json::parse(one.out)["provenance"];
    EXPECT_EQ(p["disks"][0]["start_sector"], 2048);
    EXPECT_EQ(p["command_line"].back(), dir.file("vmx"));
}

} // namespace
} // namespace clitest
