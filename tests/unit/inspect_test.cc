#include "index/inspect.h"

#include <gtest/gtest.h>

#include <string>

#include "index_test_util.h"

namespace stow {
namespace {

using InspectionTest = testing_support::IndexTest;

// The reader of a copy runs without the lock (a registration gets in
// meanwhile) and sees the index as it was when the copy was taken.
TEST_F(InspectionTest, ReadCopyLetsRegistrationsInAndKeepsItsCopy) {
  ASSERT_TRUE(Add("a", 100));
  ASSERT_TRUE(Add("b", 20));
  IndexInspection inspection(index_path_);
  ASSERT_TRUE(inspection.mapped());
  const std::string head =
      inspection.ReadCopy([&](const IndexFileHeader& h, const ImageFileBlock* blocks, bool) {
        EXPECT_TRUE(Add("c", 3));
        EXPECT_EQ(2, h.TotalFileCount);
        EXPECT_EQ(120, h.CacheSize);
        return std::string(blocks[h.FirstValidBlock].ImageFileName);
      });
  EXPECT_EQ("b", head);
  EXPECT_EQ(3, H().TotalFileCount);
}

}  // namespace
}  // namespace stow
