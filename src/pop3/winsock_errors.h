// The names of WinSock error numbers, for texts that show a number to a person.
#pragma once

namespace kc {

// "WSAECONNREFUSED" for 10061 and so on; nullptr for a number without a name here.
const char* WinSockErrorName(int error);

}  // namespace kc
