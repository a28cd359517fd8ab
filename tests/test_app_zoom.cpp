// The zoom geometry: one table of source shapes, crops and frames with the crop, scale and pad
// numbers each mode must give, and the promises that hold for every source shape.
#include <gtest/gtest.h>

#include <string>

#include "app/core/zoomgeometry.h"

namespace {

std::string Numbers(const TZoomPlan& p) {
  return "crop " + std::to_string(p.Crop.Top) + "," + std::to_string(p.Crop.Bottom) + "," +
         std::to_string(p.Crop.Left) + "," + std::to_string(p.Crop.Right) + " scale " + std::to_string(p.ScaleWidth) +
         "x" + std::to_string(p.ScaleHeight) + " at " + std::to_string(p.PadX) + "," + std::to_string(p.PadY) + " in " +
         std::to_string(p.FrameWidth) + "x" + std::to_string(p.FrameHeight) + " shows " + p.PictureAspect;
}

}  // namespace

TEST(ZoomGeometry, TableOfModesShapesCropsAndRotations) {
  struct Row {
    const char* name;
    const char* mode;
    TPictureShape source;  // width, height, sample aspect, rotation
    TCropMargins crop;     // top, bottom, left, right
    TFrameShape frame;
    const char* expect;
  };
  // clang-format off
  const Row rows[] = {
      // Letterbox: fitted inside, centred, the bands where the shapes differ.
      {"wide into 4:3", "lbox", {720, 400}, {}, {640, 480}, "crop 0,0,0,0 scale 640x356 at 0,62 in 640x480 shows 640:356"},
      {"tall into 4:3", "lbox", {480, 640}, {}, {640, 480}, "crop 0,0,0,0 scale 360x480 at 140,0 in 640x480 shows 360:480"},
      {"same shape fills", "lbox", {320, 240}, {}, {640, 480}, "crop 0,0,0,0 scale 640x480 at 0,0 in 640x480 shows 640:480"},
      {"the shape after the crop counts", "lbox", {384, 216}, {18, 18, 32, 32}, {320, 240},
       "crop 18,18,32,32 scale 320x180 at 0,30 in 320x240 shows 320:180"},
      // The display shape: a 16:9 DVD picture (720x576, pixels 64:45) is wide, a 4:3 one is not.
      {"16:9 DVD into 4:3", "lbox", {720, 576, 64, 45}, {}, {320, 240},
       "crop 0,0,0,0 scale 320x180 at 0,30 in 320x240 shows 320:180"},
      {"4:3 DVD into 4:3", "lbox", {720, 576, 16, 15}, {}, {320, 240},
       "crop 0,0,0,0 scale 320x240 at 0,0 in 320x240 shows 320:240"},
      // Rotation: a quarter turn makes a landscape coding a portrait picture; the crop is in
      // the upright picture (here 240 wide, 320 high).
      {"turned a quarter", "lbox", {320, 240, 0, 0, 90}, {}, {320, 240},
       "crop 0,0,0,0 scale 180x240 at 70,0 in 320x240 shows 180:240"},
      {"turned three quarters with a crop of the upright sides", "lbox", {320, 240, 0, 0, 270}, {0, 0, 40, 40},
       {320, 240}, "crop 0,0,40,40 scale 120x240 at 100,0 in 320x240 shows 120:240"},
      {"turned half way keeps its shape", "lbox", {320, 240, 0, 0, 180}, {}, {320, 240},
       "crop 0,0,0,0 scale 320x240 at 0,0 in 320x240 shows 320:240"},
      {"turned anamorphic picture: pixel shape turns too", "lbox", {720, 576, 64, 45, 90}, {}, {480, 272},
       "crop 0,0,0,0 scale 154x272 at 162,0 in 480x272 shows 154:272"},
      // Extreme shapes: a band of at least 2 pixels, never a size of 0.
      {"4000x16", "lbox", {4000, 16}, {}, {320, 240}, "crop 0,0,0,0 scale 320x2 at 0,118 in 320x240 shows 320:2"},
      {"16x4000", "lbox", {16, 4000}, {}, {320, 240}, "crop 0,0,0,0 scale 2x240 at 158,0 in 320x240 shows 2:240"},
      // Full screen: the crop as given, stretched.
      {"full keeps the crop", "full", {720, 400}, {8, 8, 8, 8}, {640, 480},
       "crop 8,8,8,8 scale 640x480 at 0,0 in 640x480 shows 640:480"},
      // Pan and scan: the longer sides trimmed to the frame's shape (even margins).
      {"pan of a wide source", "pan", {720, 400}, {}, {320, 240},
       "crop 0,0,92,92 scale 320x240 at 0,0 in 320x240 shows 320:240"},
      {"pan of a tall source", "pan", {480, 640}, {}, {320, 240},
       "crop 140,140,0,0 scale 320x240 at 0,0 in 320x240 shows 320:240"},
      {"pan adds to the job's crop", "pan", {720, 400}, {0, 0, 20, 40}, {320, 240},
       "crop 0,0,82,102 scale 320x240 at 0,0 in 320x240 shows 320:240"},
      {"pan of a 16:9 DVD picture", "pan", {720, 576, 64, 45}, {}, {320, 240},
       "crop 0,0,90,90 scale 320x240 at 0,0 in 320x240 shows 320:240"},
      {"pan of a turned picture", "pan", {320, 240, 0, 0, 90}, {}, {320, 240},
       "crop 70,70,0,0 scale 320x240 at 0,0 in 320x240 shows 320:240"},
      {"pan of 4000x16 keeps a picture", "pan", {4000, 16}, {}, {320, 240},
       "crop 0,0,1988,1988 scale 320x240 at 0,0 in 320x240 shows 320:240"},
      // Centre: a smaller picture keeps its size, a larger one is shrunk to fit.
      {"centre of a smaller picture", "center", {320, 240}, {}, {640, 480},
       "crop 0,0,0,0 scale 320x240 at 160,120 in 640x480 shows 320:240"},
      {"centre of a larger picture", "center", {720, 400}, {}, {640, 480},
       "crop 0,0,0,0 scale 640x356 at 0,62 in 640x480 shows 640:356"},
      {"centre of a smaller 16:9 DVD picture shows it wide", "center", {352, 288, 64, 45}, {}, {720, 480},
       "crop 0,0,0,0 scale 500x288 at 110,96 in 720x480 shows 500:288"},
      // A frame of a fixed shape (a 16:9 DVD frame of 720x576): the picture gets its share.
      {"4:3 picture in a 16:9 DVD frame", "lbox", {320, 240}, {}, {720, 576, 16, 9},
       "crop 0,0,0,0 scale 540x576 at 90,0 in 720x576 shows 4:3"},
      {"full 16:9 DVD frame keeps its shape", "full", {320, 240}, {}, {720, 576, 16, 9},
       "crop 0,0,0,0 scale 720x576 at 0,0 in 720x576 shows 16:9"},
  };
  // clang-format on
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    const TZoomPlan plan = PlanZoom(r.mode, r.source, r.crop, r.frame);
    EXPECT_EQ(plan.Error, "");
    EXPECT_EQ(Numbers(plan), r.expect);
  }
}

// Whatever the source's shape, pixel shape, rotation or crop, every mode gives exactly the
// frame size, with the picture inside it, even numbers for 4:2:0 pictures, and the crop
// leaving a picture.
TEST(ZoomGeometry, EveryModeGivesTheFrameSizeForEveryShape) {
  const TPictureShape sources[] = {
      {320, 240}, {720, 576, 64, 45},      {720, 576, 16, 15, 90}, {4000, 16}, {16, 4000}, {321, 241},
      {8, 8},     {1920, 1080, 1, 1, 270}, {176, 144, 12, 11, 180}};
  const TFrameShape frames[] = {{320, 240}, {480, 272}, {720, 480, 16, 9}, {176, 144}, {1920, 1080}};
  const TCropMargins crops[] = {{}, {0, 0, 0, 0}, {2, 2, 0, 0}};
  for (const char* mode : {"full", "lbox", "pan", "center"})
    for (const TPictureShape& s : sources)
      for (const TFrameShape& f : frames)
        for (const TCropMargins& c : crops) {
          SCOPED_TRACE(std::string(mode) + " " + std::to_string(s.Width) + "x" + std::to_string(s.Height) + " r" +
                       std::to_string(s.Rotation) + " into " + std::to_string(f.Width) + "x" +
                       std::to_string(f.Height));
          const TZoomPlan p = PlanZoom(mode, s, c, f);
          ASSERT_EQ(p.Error, "");
          EXPECT_EQ(p.FrameWidth, f.Width);
          EXPECT_EQ(p.FrameHeight, f.Height);
          EXPECT_GE(p.ScaleWidth, 2);
          EXPECT_GE(p.ScaleHeight, 2);
          EXPECT_LE(p.PadX + p.ScaleWidth, f.Width);
          EXPECT_LE(p.PadY + p.ScaleHeight, f.Height);
          EXPECT_EQ(p.PadX % 2, 0);
          EXPECT_EQ(p.PadY % 2, 0);
          EXPECT_EQ(p.ScaleWidth % 2, 0);
          EXPECT_EQ(p.ScaleHeight % 2, 0);
          const bool sideways = s.Rotation == 90 || s.Rotation == 270;
          const int uprightW = sideways ? s.Height : s.Width, uprightH = sideways ? s.Width : s.Height;
          EXPECT_GE(uprightW - p.Crop.Left - p.Crop.Right, 1);
          EXPECT_GE(uprightH - p.Crop.Top - p.Crop.Bottom, 1);
          EXPECT_GE(p.Crop.Top, c.Top);
          EXPECT_GE(p.Crop.Left, c.Left);
          // Only letterbox and centre leave bands.
          if (std::string(mode) == "full" || std::string(mode) == "pan") {
            EXPECT_FALSE(p.HasBands());
          }
        }
}

TEST(ZoomGeometry, RefusesWhatCannotBeFitted) {
  struct Row {
    const char* mode;
    TPictureShape source;
    TCropMargins crop;
    TFrameShape frame;
    const char* error;
    // clang-format off
  } rows[] = {
      {"lbox", {320, 240}, {0, 0, 160, 160}, {320, 240},
       "The crop (top 0, left 160, bottom 0, right 160) leaves no picture of the 320x240 source"},
      // The crop counts in the upright picture: 240 wide once turned.
      {"full", {320, 240, 0, 0, 90}, {0, 0, 120, 120}, {320, 240},
       "The crop (top 0, left 120, bottom 0, right 120) leaves no picture of the 240x320 source"},
      {"pan", {320, 240}, {-2, 0, 0, 0}, {320, 240},
       "The crop (top -2, left 0, bottom 0, right 0) leaves no picture of the 320x240 source"},
      {"zoom", {320, 240}, {}, {320, 240}, "Unknown zoom mode \"zoom\" (full, lbox, pan or center)"},
      {"lbox", {320, 240}, {}, {0, 240}, "The output frame size is unknown"},
      {"lbox", {0, 0}, {}, {320, 240}, "The size of the source picture is unknown"},
  };
  // clang-format on
  for (const Row& r : rows) EXPECT_EQ(PlanZoom(r.mode, r.source, r.crop, r.frame).Error, r.error);
}
