#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/rtl/Exception.h"
#include "platform/rtl/Object.h"

// The runtime's list. Items are values of T: raw pointers for a list that refers to objects,
// std::unique_ptr for one that owns them. Indexes out of range raise.
template <class T>
class TList : public TObject {
 public:
  TList() = default;
  TList(TList&& AOther) noexcept : TObject(), FItems(std::move(AOther.FItems)) {}

  int32_t Count() const { return static_cast<int32_t>(FItems.size()); }
  T& Items(int32_t AIndex) { return FItems[CheckIndex(AIndex)]; }
  const T& Items(int32_t AIndex) const { return FItems[CheckIndex(AIndex)]; }
  T& Last() { return Items(Count() - 1); }

  // Appends the item and answers its index.
  int32_t Add(T AItem) {
    FItems.push_back(std::move(AItem));
    return Count() - 1;
  }
  // Removes the entry; what it held is released as T releases it.
  void Delete(int32_t AIndex) { FItems.erase(FItems.begin() + CheckIndex(AIndex)); }
  // Empties the list from the last entry to the first, each released while its entry still
  // stands: in an owning list of a chain, later objects refer to earlier ones.
  void Clear() {
    while (!FItems.empty()) {
      FItems.back() = T();
      FItems.pop_back();
    }
  }

  auto begin() { return FItems.begin(); }
  auto end() { return FItems.end(); }
  auto begin() const { return FItems.begin(); }
  auto end() const { return FItems.end(); }

 private:
  size_t CheckIndex(int32_t AIndex) const {
    if (AIndex < 0 || AIndex >= Count())
      throw Exception("List index out of bounds (" + std::to_string(AIndex) + ")");
    return static_cast<size_t>(AIndex);
  }

  std::vector<T> FItems;
};
