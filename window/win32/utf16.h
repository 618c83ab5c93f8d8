// Text between the window's UTF-16 and the UTF-8 the engine and the form logic speak.
#pragma once

#include <string>
#include <string_view>

namespace nestmend {

// UTF-8 as the window shows it; a path marked as naming no file exactly shows its rest.
std::wstring Wide(std::string_view utf8);

// UTF-16 as UTF-8, marked as naming no file exactly (kNotExactMark) where it holds an unpaired
// surrogate, which has no UTF-8: a lenient conversion would give U+FFFD, another file's name.
std::string Narrow(std::wstring_view wide);

}  // namespace nestmend
