#include "sim/vmodule/Device.h"

#include <iterator>

namespace vmodule {

namespace {

// Requests by command byte; commands not listed go unanswered.
constexpr Handler kHandlers[] = {
    {3, HandleSystem},       {4, HandleSlot},         {8, HandleI2C},     {23, HandleDebug},
    {73, HandleSystemQuery}, {92, HandleEntityStore}, {93, HandleStream}, {94, HandleFactory},
};

}  // namespace

HandlerFn FindHandler(uint8_t command) {
  for (const Handler& h : kHandlers)
    if (h.command == command) return h.handle;
  return nullptr;
}

void PutBig32(Bytes& out, uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(value >> shift));
}

uint32_t GetBig32(const uint8_t* b) {
  return uint32_t{b[0]} << 24 | uint32_t{b[1]} << 16 | uint32_t{b[2]} << 8 | b[3];
}

}  // namespace vmodule
