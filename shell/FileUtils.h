#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/ui/Windows.h"

// Fits APath into AMaxLen characters by putting AEllipsis in place of the pieces after the
// first one, as many as it takes; the first and the last piece always stay, so the result may
// still be longer. A path of fewer than three pieces stays whole.
void ShortenPath(const std::string& APath, const std::string& ASep, const std::string& AEllipsis,
                 std::string& AResult, int32_t AMaxLen);

// Splits AText at each ASep (one character) into AList and answers the number of pieces. Empty
// pieces count: an empty text is one empty piece.
int32_t SplitString(const std::string& AText, const std::string& ASep,
                    std::vector<std::string>& AList);

// Moves AWindow, keeping its size, to the middle of the foreground window across and a quarter
// of the way down.
void PlaceOverForegroundWindow(HWND AWindow);
