// The candidate PKCS#11 module list: 39 fixed places where token makers'
// installers put their modules, filtered to those that exist.
#pragma once

#include <string>
#include <vector>

namespace quillon {

std::vector<std::string> findPkcs11Libraries();
std::vector<std::string> existingPaths(const std::vector<std::string>& paths);
// All 39 candidate paths, joined and normalised, before the existence test.
std::vector<std::string> candidateModulePaths();

}  // namespace quillon
