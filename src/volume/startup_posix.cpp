// SPDX-License-Identifier: GPL-3.0-or-later
// Linux has none of the places from which Windows starts programs by itself: the listing says so,
// and no change is made.
#include <cerrno>

#include "volume/startup.h"

namespace kestrova::volume {

StartupListing ListStartup() { return {}; }
std::optional<PcFile> ReadPcFile(const std::string&, std::uint64_t) { return std::nullopt; }
std::optional<RunValue> ReadRunValue(const RunKey&, const std::string&) { return std::nullopt; }
int DeleteRunValue(const RunValue&) { return ENOSYS; }
int PutRunValue(const RunValue&) { return ENOSYS; }
int DeletePcFile(const std::string&) { return ENOSYS; }
int PutPcFile(const std::string&, const PcFile&) { return ENOSYS; }
int DeleteTask(const std::string&) { return ENOSYS; }
int PutTask(const std::string&, const std::string&) { return ENOSYS; }
int EndProcess(std::uint32_t, const std::string&) { return ENOSYS; }

}  // namespace kestrova::volume
