#include "export/json_stream.h"

namespace ds {

std::string json_line(const nlohmann::json& value) {
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

JsonStream::JsonStream(std::function<void(const std::string&)> write) : write_(std::move(write)) {}

void JsonStream::separate() { write_(fields_++ ? ",\n  " : "{\n  "); }

void JsonStream::field(const std::string& key, const nlohmann::json& value) { field_text(key, json_line(value)); }

void JsonStream::field_text(const std::string& key, const std::string& json) {
    separate();
    write_(json_line(key) + ": " + json);
}

void JsonStream::begin_list(const std::string& key) {
    separate();
    write_(json_line(key) + ": [");
    in_list_ = true;
    items_ = 0;
}

void JsonStream::item(const nlohmann::json& value) {
    begin_item();
    write_(json_line(value));
}

void JsonStream::begin_item() { write_(items_++ ? ",\n    " : "\n    "); }

void JsonStream::item_text(const std::string& json) { write_(json); }

void JsonStream::end_list() {
    write_(items_ ? "\n  ]" : "]");
    in_list_ = false;
}

void JsonStream::finish() { write_(fields_ ? "\n}\n" : "{}\n"); }

} // namespace ds
