#include "core/UKZPersistent.h"

#include <typeinfo>

std::unique_ptr<TKZPersistent> TKZPersistent::NewInstance() const {
  return std::make_unique<TKZPersistent>();
}

std::unique_ptr<TKZPersistent> TKZPersistent::Clone() const {
  std::unique_ptr<TKZPersistent> clone = NewInstance();
  // A class that forgot to override NewInstance would hand out a clone of the wrong class.
  const TKZPersistent& made = *clone;
  if (typeid(made) != typeid(*this))
    throw Exception(ClassName() + " does not create instances of its own class");
  clone->Assign(this);
  return clone;
}
