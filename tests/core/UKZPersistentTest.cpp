#include "core/UKZPersistent.h"

#include <gtest/gtest.h>

#include "core/UKZFormat.h"
#include "tests/support/Raises.h"

namespace {

class TSampleFormat : public TKZFormat {
 public:
  std::unique_ptr<TKZPersistent> NewInstance() const override {
    return std::make_unique<TSampleFormat>();
  }
  void Assign(const TPersistent* ASource) override {
    if (auto other = dynamic_cast<const TSampleFormat*>(ASource)) return void(Value = other->Value);
    TKZFormat::Assign(ASource);
  }
  int Value = 0;
};

class TForgetfulFormat : public TSampleFormat {};  // does not say how to make one of itself

TEST(UKZPersistent, CloneMakesTheDynamicClassAndUnrelatedClassesRefuseToAssign) {
  TSampleFormat original;
  original.Value = 42;
  std::unique_ptr<TKZPersistent> clone = static_cast<const TKZFormat&>(original).Clone();
  EXPECT_EQ(clone->ClassName(), "TSampleFormat");
  CloneOf(original)->Value = 7;
  EXPECT_EQ(original.Value + static_cast<TSampleFormat&>(*clone).Value, 84);
  EXPECT_THROW(TForgetfulFormat().Clone(), Exception);

  TKZFormat bare;  // copies nothing, so it cannot be cloned either
  EXPECT_EQ(RaisedMessage([&] { bare.Clone(); }), "Cannot assign a TKZFormat to a TKZFormat");
  EXPECT_THROW(original.Assign(&bare), EConvertError);
  EXPECT_THROW(original.Assign(nullptr), EConvertError);
}

}  // namespace
