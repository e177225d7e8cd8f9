#include "core/UKZPersistent.h"

#include <gtest/gtest.h>

#include "core/UKZFormat.h"
#include "core/UKZObject.h"

namespace {

class TSampleFormat : public TKZFormat {
 public:
  std::unique_ptr<TKZPersistent> NewInstance() const override {
    return std::make_unique<TSampleFormat>();
  }
  void Assign(const TPersistent* ASource) override {
    if (auto other = dynamic_cast<const TSampleFormat*>(ASource))
      Value = other->Value;
    else
      TKZFormat::Assign(ASource);
  }
  int Value = 0;
};

// Forgets to say how to make one of itself.
class TForgetfulFormat : public TSampleFormat {};

TEST(UKZPersistent, CloneMakesTheDynamicClassThroughAnyStaticType) {
  TSampleFormat original;
  original.Value = 42;
  const TKZFormat& asFormat = original;
  std::unique_ptr<TKZPersistent> clone = asFormat.Clone();
  auto* sample = dynamic_cast<TSampleFormat*>(clone.get());
  ASSERT_NE(sample, nullptr);
  EXPECT_NE(sample, &original);
  EXPECT_EQ(sample->Value, 42);
  sample->Value = 7;
  EXPECT_EQ(original.Value, 42);
  EXPECT_EQ(clone->ClassName(), "TSampleFormat");

  std::unique_ptr<TSampleFormat> typed = CloneOf(original);
  EXPECT_EQ(typed->Value, 42);

  EXPECT_THROW(TForgetfulFormat().Clone(), Exception);
}

TEST(UKZPersistent, ClassesThatDoNotKnowEachOtherRefuseToAssign) {
  // A bare format copies nothing, so it cannot be cloned either.
  TKZFormat bare;
  try {
    bare.Clone();
    FAIL() << "a bare format was cloned";
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(), "Cannot assign a TKZFormat to a TKZFormat");
  }
  TSampleFormat sample;
  EXPECT_THROW(sample.Assign(&bare), EConvertError);
  EXPECT_THROW(sample.Assign(nullptr), EConvertError);
  EXPECT_THROW(bare.Assign(&sample), EConvertError);
}

}  // namespace
