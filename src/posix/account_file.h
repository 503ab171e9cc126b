// The file of one account beside the first account's: seen.dat and token.dat are the first
// account's, "seen-<key>.dat" and "token-<key>.dat" in the same folder any other's, the key in
// 16 lowercase hex digits.
#pragma once
#include <cstdint>
#include <string>

namespace kc::posix {

// `firstPath` for key 0 (and "" for ""), else the account's file in its folder.
std::string AccountFilePath(const std::string& firstPath, const char* stem, uint64_t key);

}  // namespace kc::posix
