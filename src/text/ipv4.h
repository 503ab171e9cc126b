// IPv4 addresses as a user types them and as a certificate names them.
#pragma once
#include <cstddef>
#include <cstdint>

namespace kc {

// Reads a dotted IPv4 address as inet_pton(AF_INET) does: exactly four decimal parts of 1 to 3
// digits, each at most 255, without a leading zero (which some resolvers read as octal), and
// nothing else. out gets the four bytes in network order; false (out unchanged) otherwise.
bool ParseIpv4(const char* text, uint8_t out[4]);

// Whether an iPAddress entry of a certificate's subject alternative names, given as its raw
// bytes (4 for IPv4, 16 for IPv6), names address. As OpenSSL matches: the bytes must be equal
// and of the same length; an IPv6 entry never names an IPv4 address, not even a mapped one.
bool CertIpEntryNames(const uint8_t address[4], const uint8_t* entry, size_t entryLength);

}  // namespace kc
