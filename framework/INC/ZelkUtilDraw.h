// Text and lines drawn into a graph, axis ticks and the host's address.
#pragma once

#include "ZelkTypeDef.h"

namespace pf::draw {
class Context;
}

// Drawing happens where the context lives (the GUI thread, inside a view's drawing).
double ZUTIL_GetTextWidth(pf::draw::Context* context, const char* text);
// alignment 0 centres the text on x, 2 ends it at x, any other value starts it at x.
void ZUTIL_DrawText(pf::draw::Context* context, const char* text, SInt32 alignment, double x, double y);
void ZUTIL_DrawLine(pf::draw::Context* context, double x1, double y1, double x2, double y2);
void ZUTIL_DrawBox(pf::draw::Context* context, double x1, double y1, double x2, double y2);

// The first 1-2-5 step giving more than maxTicks whole steps between low and high
// (doubled when that makes more than 6 steps), in single precision.
// outFirstTick: the first multiple of the step at or above low (strictly above for
// low >= 0). Zero span or an end that is not finite: step 1, first tick 0.
double ZUTIL_calculateTickStep(SInt32 maxTicks, double* outFirstTick, double low, double high);

// The host's Ethernet address, or an empty text (asked again on the next call).
const char* ZUTIL_GetMacAddress();

struct iZelk_LogManager;
// The name of the serial device under a USB device (its tty node without "/dev/"),
// written into outName (outCapacity bytes with the zero byte): 0, or 95 when the
// device is unknown or has no serial function. maxChildren is kept for callers;
// the layer answers for the device itself.
SInt32 ZUTIL_GetSerialDevName(iZelk_LogManager* logManager, char* outName, size_t outCapacity, UInt32 registryEntry,
                              SInt32 maxChildren, SInt32 logLevel);
