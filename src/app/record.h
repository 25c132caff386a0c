#pragma once

#include <map>
#include <string>

namespace app {

// The content of one result line: string keys to string values.
using Record = std::map<std::string, std::string>;

// The single-key error record, {"error": code}.
inline Record errorRecord(const char* code) { return Record{{"error", code}}; }

}  // namespace app
