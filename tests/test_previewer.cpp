// The previewer factory: none in the headless build, the installed one otherwise.
#include <gtest/gtest.h>

#include "media/previewer.h"

namespace {

class FixedPreviewer : public TPreviewer {
public:
  explicit FixedPreviewer(bool open) : open_(open) {}
  bool ShowPicture(const TBitmap24&, int32_t, int64_t) override { return open_; }

private:
  bool open_;
};

TEST(Previewer, FactoryIsUsedWhileInstalled) {
  EXPECT_EQ(CreatePreviewer(), nullptr);

  int made = 0;
  SetPreviewerFactory([&made] {
    ++made;
    return std::make_unique<FixedPreviewer>(made == 1);
  });
  std::unique_ptr<TPreviewer> first = CreatePreviewer();
  std::unique_ptr<TPreviewer> second = CreatePreviewer();
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  TBitmap24 picture;
  picture.SetSize(4, 2);
  EXPECT_TRUE(first->ShowPicture(picture, 1, 0));
  EXPECT_FALSE(second->ShowPicture(picture, 1, 0));

  SetPreviewerFactory(nullptr);
  EXPECT_EQ(CreatePreviewer(), nullptr);
  EXPECT_EQ(made, 2);
}

}  // namespace
