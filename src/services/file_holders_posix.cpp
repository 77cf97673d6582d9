#include "services/file_holders.h"

// An open file never stops a rename over it or its removal here.
bool FileIsHeld(const std::wstring&) { return false; }

std::wstring FileHolders(const std::wstring&) { return L""; }
