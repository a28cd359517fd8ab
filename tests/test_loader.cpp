#include <gtest/gtest.h>

#include "media/ffapi.h"
#include "media/loader.h"
#include "tests/support/test_support.h"

TEST(Loader, LoadsEngineSetFromSystem) {
  testsupport::LoadEngineLibs();
  EXPECT_TRUE(FFLoader().LibsLoaded(kEngineLibs));
  EXPECT_EQ(int(ff::avcodec_version() >> 16), LIBAVCODEC_VERSION_MAJOR);
}
