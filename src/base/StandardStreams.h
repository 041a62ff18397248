#pragma once

#include <cstddef>

namespace relaybox {

// Opens /dev/null on each of standard input, output and error that is closed, so that no file
// or socket the program opens later takes its number and receives what is meant for them.
void OpenMissingStandardStreams();

// Writes all `count` bytes to `fd`, going on after signals; false (errno says why) when the
// descriptor takes no more, for example because its reader went away.
bool WriteAll(int fd, const char* data, std::size_t count);

} // namespace relaybox
