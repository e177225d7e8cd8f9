#include "shell/FileUtils.h"

#include <algorithm>
#include <cstring>

namespace {

std::string Join(const std::vector<std::string>& AList, const std::string& ASep) {
  std::string result = AList.empty() ? std::string() : AList[0];
  for (size_t i = 1; i < AList.size(); ++i)
    result += ASep + AList[i];
  return result;
}

// The length as the path's users count it: up to the first NUL.
size_t Length(const std::string& AText) {
  return std::strlen(AText.c_str());
}

}  // namespace

void ShortenPath(const std::string& APath, const std::string& ASep, const std::string& AEllipsis,
                 std::string& AResult, int32_t AMaxLen) {
  AResult = APath;
  if (Length(AResult) <= static_cast<size_t>(std::max(AMaxLen, 0))) return;
  std::vector<std::string> pieces;
  if (SplitString(AResult, ASep, pieces) < 3) return;
  pieces[1] = AEllipsis;
  AResult = Join(pieces, ASep);
  while (Length(AResult) > static_cast<size_t>(std::max(AMaxLen, 0)) && pieces.size() > 3) {
    pieces.erase(pieces.begin() + 2);
    AResult = Join(pieces, ASep);
  }
}

int32_t SplitString(const std::string& AText, const std::string& ASep,
                    std::vector<std::string>& AList) {
  AList.clear();
  const char sep = ASep.empty() ? '\0' : ASep[0];
  size_t start = 0;
  for (;;) {
    const size_t at = ASep.empty() ? std::string::npos : AText.find(sep, start);
    if (at == std::string::npos) {
      AList.push_back(AText.substr(start));
      return static_cast<int32_t>(AList.size());
    }
    AList.push_back(AText.substr(start, at - start));
    start = at + 1;
  }
}

void PlaceOverForegroundWindow(HWND AWindow) {
  RECT own, foreground;
  if (!GetWindowRect(AWindow, &own) || !GetWindowRect(GetForegroundWindow(), &foreground)) return;
  const int32_t foreground_width = foreground.right - foreground.left;
  const int32_t foreground_height = foreground.bottom - foreground.top;
  const int32_t own_width = own.right - own.left;
  SetWindowPos(AWindow, nullptr, foreground.left + foreground_width / 2 - own_width / 2,
               foreground.top + foreground_height / 4, 0, 0,
               SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}
