#include "core/serial/line_settings.h"

#include <gtest/gtest.h>

namespace horalign {
namespace {

TEST(LineSettings, ReadsTheTextsTheProgramUses) {
  EXPECT_EQ(ParseLineSettings("9600,N,8,1"), (LineSettings{9600, 'N', 8, 1}));
  EXPECT_EQ(ParseLineSettings("38400,n,8,1"), (LineSettings{38400, 'N', 8, 1}));
  EXPECT_EQ(ParseLineSettings("1200,E,7,2"), (LineSettings{1200, 'E', 7, 2}));
}

TEST(LineSettings, AMissingTailTakesNoParityEightBitsOneStop) {
  EXPECT_EQ(ParseLineSettings("9600"), (LineSettings{9600, 'N', 8, 1}));
  EXPECT_EQ(ParseLineSettings("2400,O"), (LineSettings{2400, 'O', 8, 1}));
}

TEST(LineSettings, RejectsWhatAPortCannotTake) {
  for (const char* bad : {"", "0,N,8,1", "abc,N,8,1", "9600,X,8,1", "9600,N,9,1", "9600,N,8,3",
                          "9600,N,8,1,0", "-9600,N,8,1", "9600,NN,8,1", "9600,,8,1"}) {
    EXPECT_FALSE(ParseLineSettings(bad)) << bad;
  }
}

}  // namespace
}  // namespace horalign
