// Two pictures of a map of single-precision values (one per sensor pixel or
// measuring point, row after row, row 0 first): a grey TIFF with one pixel per
// value, and a JPEG 2000 map of 4 x 4 cells marking the values outside -2..2.
#pragma once

#include "nk_typedef.h"

class CNK_logManager;

// Grey from light (low) to dark (high). The scale runs from the map's minimum over its
// span, unless a sigma factor (the values within sigma x standard deviation of the
// mean), a lower or an upper limit is given; kNK_noValue gives none. Errors go to the
// log manager, or to standard error without one: 0xE001 no file name or map, 0xE000 a
// width or height below 1, 0xE00A no memory, 0xE044 the picture was not written.
u16 nkImg_exportHopsImage(CNK_logManager* lm, const char* fileName, const float* map, int width, int height,
                          double sigmaFactor, double lowerLimit, double upperLimit);

// Values below -2 shade from light to full blue at -10, above 2 from light to full red
// at 10, over white; the note's lines are written in the band of 40 pixels below the
// map. The title is not drawn. Errors as above.
u16 nkImg_exportBadPixelMap(CNK_logManager* lm, const char* fileName, const float* map, const char* title,
                            int width, int height, const char* note);
