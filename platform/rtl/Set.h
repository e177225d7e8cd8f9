#pragma once

#include <cstdint>
#include <initializer_list>

// A set of the values of a small enumeration (ordinals 0 to 31), as the runtime's set types:
// one bit per value, so that a set is a plain word that can be compared and stored.
template <class E>
class TSet {
 public:
  constexpr TSet() = default;
  constexpr TSet(std::initializer_list<E> AValues) {
    for (E value : AValues)
      Include(value);
  }

  constexpr bool Contains(E AValue) const { return (FBits & Bit(AValue)) != 0; }
  constexpr TSet& Include(E AValue) {
    FBits |= Bit(AValue);
    return *this;
  }
  constexpr TSet& Exclude(E AValue) {
    FBits &= ~Bit(AValue);
    return *this;
  }
  constexpr bool Empty() const { return FBits == 0; }
  constexpr uint32_t Bits() const { return FBits; }
  friend constexpr bool operator==(TSet, TSet) = default;

 private:
  static constexpr uint32_t Bit(E AValue) { return uint32_t{1} << static_cast<unsigned>(AValue); }

  uint32_t FBits = 0;
};
