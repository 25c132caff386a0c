#pragma once

#include <optional>
#include <string>

#include "app/record.h"

namespace app {

// Serializes a record as one compact JSON object followed by a line feed.
// Returns nothing when the record cannot be serialized (a value that is not
// valid UTF-8); the caller then writes nothing.
std::optional<std::string> serializeResultLine(const Record& record);

// Writes serialized bytes to `fd` with write(2), bypassing any stdio buffer.
// A short write or EINTR continues with the rest; other errors are dropped,
// since nobody is left to tell.
void writeAll(int fd, const std::string& bytes);

}  // namespace app
