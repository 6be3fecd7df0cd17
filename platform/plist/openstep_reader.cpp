#include "readers.h"

namespace plist {
ParseResult ParseOpenStep(std::string_view) { return {nullptr, Format::OpenStep, {"not written yet", 0}}; }
}  // namespace plist
