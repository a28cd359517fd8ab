// The shape a source's pictures are shown in. A picture whose pixels are not square (an
// anamorphic source: 720x576 shown 16:9, 176x144 with 16:11 pixels) is shown wider or narrower
// than its coded size; the dialogs show it that way, and map what is drawn over it back to the
// coded pixels the conversion works in.
#pragma once

class TCustomAVProbe;

// The width one upright picture pixel is shown at, its height counting 1: the sample aspect of
// the first video stream (container's, else the codec's), turned with the picture; 1 when it
// is unknown or the file has no video.
double PixelAspect(TCustomAVProbe& probe);

// The shown width of a picture `codedWidth` pixels wide (at least 1).
int ShownWidth(int codedWidth, double pixelAspect);
