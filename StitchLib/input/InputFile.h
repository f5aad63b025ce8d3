#pragma once

#include <cstddef>
#include <string>

namespace orb {
namespace input {

// Reads a whole input file of at most `maxBytes` into `bytes`. Returns an empty
// string on success, else what is wrong as the end of a sentence naming the file:
// "does not exist", "is a directory, not a file", "is not a regular file",
// "cannot be read: <reason>" or "is larger than ...". Never opens anything but a
// regular file, so a FIFO or device cannot block the reader.
std::string readInputFile(const std::string& path, std::size_t maxBytes, std::string& bytes);

} // namespace input
} // namespace orb
