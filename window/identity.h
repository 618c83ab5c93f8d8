// Who the program is: the name every window and message box carries, and its version.
#pragma once

namespace nestmend {

inline constexpr char kApplicationTitle[] = "Nestmend";
inline constexpr char kApplicationVersion[] = "1.00";

}  // namespace nestmend
