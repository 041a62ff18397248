#pragma once

namespace relaybox {

// The version every program of the package reports.
inline constexpr char ProgramVersion[] = "1.01";

} // namespace relaybox
