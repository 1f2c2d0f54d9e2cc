#pragma once
// A JSON document written as it is made: a few fields, one list that may
// hold millions of items, then a few fields more. Nothing is held but the
// item being written, so a listing or a manifest of any length costs the
// same memory. Every command's JSON and the manifest share its layout:
//
//   {
//     "schema": 1,
//     "items": [
//       {...},
//       {...}
//     ],
//     "complete": true
//   }

#include <nlohmann/json.hpp>

#include <functional>
#include <string>

namespace ds {

// An item or value as one line: no indentation, invalid UTF-8 replaced.
std::string json_line(const nlohmann::json& value);

class JsonStream {
public:
    // write receives the text piece by piece, in order.
    explicit JsonStream(std::function<void(const std::string&)> write);

    // A field of the document, before or after the list.
    void field(const std::string& key, const nlohmann::json& value);
    // The same with its value already written as JSON text.
    void field_text(const std::string& key, const std::string& json);
    // Opens the document's list under key.
    void begin_list(const std::string& key);
    void item(const nlohmann::json& value);
    // An item written in pieces (an object whose own list is streamed):
    // begin_item, any number of item_text, end_item.
    void begin_item();
    void item_text(const std::string& json);
    void end_item() {}
    void end_list();
    // Closes the document.
    void finish();

private:
    void separate();
    std::function<void(const std::string&)> write_;
    int fields_ = 0;
    int64_t items_ = 0;
    bool in_list_ = false;
};

} // namespace ds
