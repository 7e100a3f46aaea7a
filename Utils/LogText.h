// Wide values in log lines go through the C runtime's wide-to-multibyte
// conversion in the default locale; a value that does not convert is left out.
#pragma once

#include <string>

std::string LogText(const std::wstring& text);
std::string LogText(const wchar_t* text);
