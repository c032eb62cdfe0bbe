// SPDX-License-Identifier: GPL-3.0-or-later
#include "volume/startup.h"

namespace kestrova::volume {

std::vector<RunKey> RunKeys() {
  std::vector<RunKey> keys;
  for (const auto root : {RegistryRoot::kCurrentUser, RegistryRoot::kLocalMachine}) {
    for (const bool wow64 : {false, true}) {
      for (const bool once : {false, true}) keys.push_back({root, once, wow64});
    }
  }
  return keys;
}

std::string RunKeySubkey(const RunKey& key) {
  return std::string(key.wow64 ? "Software\\Wow6432Node\\" : "Software\\") +
         "Microsoft\\Windows\\CurrentVersion\\" + (key.once ? "RunOnce" : "Run");
}

std::string RunKeyPath(const RunKey& key) {
  return std::string(key.root == RegistryRoot::kLocalMachine ? "HKLM\\" : "HKCU\\") +
         RunKeySubkey(key);
}

}  // namespace kestrova::volume
