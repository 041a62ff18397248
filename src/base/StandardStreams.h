#pragma once

namespace relaybox {

// Opens /dev/null on each of standard input, output and error that is closed, so that no file
// or socket the program opens later takes its number and receives what is meant for them.
void OpenMissingStandardStreams();

} // namespace relaybox
